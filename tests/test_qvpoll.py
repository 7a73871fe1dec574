#!/usr/bin/env python3
"""qvpoll run as a user runs it, against its built-in simulator."""
import csv
import io
import json
import subprocess
import sys
import unittest

QVPOLL = sys.argv.pop(1)


def run(*args, timeout=60):
    done = subprocess.run([QVPOLL, *args], capture_output=True, timeout=timeout)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


class ArgumentErrors(unittest.TestCase):
    def test_each_names_the_bad_argument_and_exits_2(self):
        cases = [
            (["--sim"], "name at least one tag"),
            (["D1"], "--port"),
            (["--sim", "--baud", "115200", "D1"], "--baud 115200"),
            (["--sim", "--parity", "odd2", "D1"], "--parity odd2"),
            (["--sim", "--format", "xml", "D1"], "--format xml"),
            (["--sim", "--bogus", "D1"], "--bogus"),
            (["--sim", "D8200"], "D8200"),
            (["--sim", "M0013"], "M0013"),
            (["--sim", "M10=256"], "M10=256"),
            (["--sim", "--station", "40", "D1"], "--station 40"),
            (["--port", "/dev/qv-no-such-port", "D1"], "/dev/qv-no-such-port"),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                code, out, err = run(*args)
                self.assertEqual(code, 2, err)
                self.assertIn(named, err)

    def test_driver_messages_arrive_in_utf8(self):
        code, _, err = run("--sim", "X5")
        self.assertEqual(code, 2)
        self.assertIn("寄存器名字错误", err)

    def test_help_and_version(self):
        code, out, _ = run("--help")
        self.assertEqual(code, 0)
        self.assertIn("usage: qvpoll", out)
        code, out, _ = run("--version")
        self.assertEqual((code, out.strip()), (0, "qvpoll 6.0.1"))


class Polling(unittest.TestCase):
    PRESETS = ["--sim-set", "D100=1234", "--sim-set", "D131=0xBEEF", "--sim-set", "M30=0x3C"]

    def test_csv_rows_parse_back(self):
        code, out, err = run("--sim", *self.PRESETS, "--format", "csv", "--count", "2", "--interval", "50",
                             "D100", "D131", "M0030", "M0")
        self.assertEqual(code, 0, err)
        rows = list(csv.DictReader(io.StringIO(out)))
        self.assertEqual(len(rows), 8)
        values = {(r["scan"], r["tag"]): r for r in rows}
        self.assertEqual(values[("1", "D100")]["value"], "1234")
        self.assertEqual(values[("2", "D131")]["hex"], "0xBEEF")
        self.assertEqual(values[("2", "M0030")]["value"], "60")
        self.assertEqual(values[("1", "M0")]["value"], "0")
        for r in rows:
            self.assertEqual(r["quality"], "192")
            self.assertRegex(r["timestamp"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$")
        self.assertIn("2 scans", err)

    def test_json_write_then_read_back(self):
        code, out, err = run("--sim", "--format", "json", "D500=0x1234", "M40=7", "D500", "M40", "D501")
        self.assertEqual(code, 0, err)
        lines = [json.loads(line) for line in out.splitlines()]
        rows = {line["tag"]: line for line in lines if "tag" in line}
        self.assertEqual(rows["D500"]["value"], 0x1234)
        self.assertEqual(rows["M40"]["value"], 7)
        self.assertEqual(rows["D501"]["value"], 0)
        summary = lines[-1]["summary"]
        # Two writes and two read blocks (D500..D501 together, M40).
        self.assertEqual(summary["transactions"], 4)
        self.assertEqual(summary["failures"], 0)

    def test_an_unreachable_station_times_out_and_exits_1(self):
        code, out, err = run("--sim", "--station", "7", "--sim-station", "1", "--timeout", "300",
                             "--format", "json", "D1")
        self.assertEqual(code, 1, err)
        lines = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(lines[0]["error"]["code"], 5)
        self.assertEqual(lines[0]["error"]["message"], "接收数据超时错误!")
        self.assertEqual(lines[-1]["summary"]["failures_by_code"], {"5": 1})

    def test_table_output_for_people(self):
        code, out, _ = run("--sim", *self.PRESETS, "D100")
        self.assertEqual(code, 0)
        self.assertRegex(out, r"1\s+D100\s+1234\s+0x04D2\s+192\s+\d{4}-")
        self.assertIn("summary: 1 scan, 1 transaction, 0 failed", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)

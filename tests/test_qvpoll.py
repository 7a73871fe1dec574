#!/usr/bin/env python3
"""qvpoll run as a user runs it, against qvsim on a pseudo-terminal (Linux)
or on COM ports mapped to one (qvpoll.exe under Wine).

Usage: test_qvpoll.py QVPOLL | --wine PREFIX RUNNER QVPOLL.EXE QVSIM.EXE DLL
"""
import csv
import datetime
import io
import json
import os
import shlex
import subprocess
import sys
import time
import unittest

from qvpoll_harness import Programs, Simulator, runs_under_i386_emulator

P = Programs(sys.argv[1:])
del sys.argv[1:]
linux_only = unittest.skipIf(P.wine, "needs a pseudo-terminal of its own (Linux)")
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"


def poll(args, sim=(), env=None):
    """qvpoll on a line that a qvsim started with `sim` serves: (code, out, err, requests seen)."""
    with Simulator(P, sim) as s:
        code, out, err = P.run_qvpoll(args, port=s.port, env=env)
        return code, out, err, s.requests()


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


class Numbers(unittest.TestCase):
    """1: a leading zero is decimal, hex needs 0x; values read back as typed."""

    def test_values_written_and_preset_read_back_as_typed(self):
        code, out, err, _ = poll(["--format", "json", "D100=0100", "D101=0777", "D102=09", "D103=0x1F",
                                  "D100", "D101", "D102", "D103", "D200"], sim=["--set", "D200=0100"])
        self.assertEqual(code, 0, err)
        reads = {r["tag"]: r["value"] for r in json_lines(out) if r.get("operation") == "read"}
        self.assertEqual(reads, {"D100": 100, "D101": 777, "D102": 9, "D103": 31, "D200": 100})

    def test_numeric_options_take_decimal_with_leading_zeros(self):
        code, _, err, requests = poll(["--timeout", "01000", "--count", "02", "--interval", "010", "D1"])
        self.assertEqual(code, 0, err)
        self.assertEqual(len(requests), 2)

    def test_values_that_are_not_numbers_are_refused(self):
        for tag in ["D100=0x", "D100=1e3", "D100=-1", "D100= 5", "D100=65536", "M10=256", "M10=0x100"]:
            with self.subTest(tag=tag):
                code, _, err = P.run_qvpoll([tag], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(tag, err)


class Stations(unittest.TestCase):
    """2: exactly a decimal 0..31 or 255, once."""

    def test_anything_else_is_refused_naming_the_argument(self):
        for args in [["--station", "abc"], ["--station", "7x"], ["--station", "65567"], ["--station", " 7 foo"],
                     ["--station", "32"], ["--station", "0x7"], ["--station", "7", "--station", "8"]]:
            with self.subTest(args=args):
                code, _, err = P.run_qvpoll([*args, "D1"], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn("--station", err)

    def test_the_station_typed_is_the_station_polled(self):
        code, out, err, requests = poll(["--station", "07", "--format", "json", "D1=5", "D1"], sim=["--station", "7"])
        self.assertEqual(code, 0, err)
        self.assertEqual({r["station"] for r in json_lines(out) if "station" in r}, {7})
        self.assertEqual(requests, ["write D1 = 5", "read D1 x1"])


class Writes(unittest.TestCase):
    """3: once, in the order typed, before the first scan; the first failure stops the run."""

    def test_writes_go_once_in_the_order_typed(self):
        code, out, err, requests = poll(["--count", "3", "--interval", "10", "--format", "csv",
                                         "M30=1", "D100=5", "D50=6", "D100"])
        self.assertEqual(code, 0, err)
        self.assertEqual(requests, ["write M30 = 1", "write D100 = 5", "write D50 = 6"] + ["read D100 x1"] * 3)
        rows = list(csv.DictReader(io.StringIO(out)))
        writes = [(r["scan"], r["tag"], r["value"]) for r in rows if r["operation"] == "write"]
        self.assertEqual(writes, [("0", "M30", "1"), ("0", "D100", "5"), ("0", "D50", "6")])
        self.assertEqual([r["value"] for r in rows if r["operation"] == "read"], ["5"] * 3)

    def test_the_first_failed_write_stops_the_run(self):
        code, out, err, requests = poll(["--format", "json", "D100=5", "M10=1", "D100"], sim=["--fault", "status2"])
        self.assertEqual(code, 1, err)
        self.assertEqual(len(requests), 1, "nothing after the failed write is sent")
        lines = json_lines(out)
        self.assertEqual(lines[0]["operation"], "write")
        self.assertEqual(lines[0]["error"]["code"], 6)
        self.assertEqual(len(lines), 2)
        self.assertIn("--keep-going", lines[-1]["summary"]["stopped"])

    def test_keep_going_sends_the_rest_and_scans(self):
        code, out, err, requests = poll(["--keep-going", "--format", "csv", "D100=5", "M10=1", "D100"],
                                        sim=["--fault", "status2"])
        self.assertEqual(code, 1, err)
        self.assertEqual(len(requests), 3)
        self.assertEqual([r["operation"] for r in csv.DictReader(io.StringIO(out))], ["write", "write", "read"])

    def test_every_format_has_a_row_per_write(self):
        for fmt, pattern in [("table", r"write\s+1\s+D7\s+4660\s+0x1234\s+-\s+" + STAMP),
                             ("csv", r"0,1,D7,write,4660,0x1234,," + STAMP + ",,,"),
                             ("json", r'"tag":"D7","operation":"write","value":4660')]:
            with self.subTest(fmt=fmt):
                code, out, err, _ = poll(["--format", fmt, "D7=0x1234"])
                self.assertEqual(code, 0, err)
                self.assertRegex(out, pattern)


class Messages(unittest.TestCase):
    """4 and 6: code, English meaning, the driver's own text; what is wrong with a tag."""

    def test_tag_errors_say_what_is_wrong(self):
        cases = [("M13", "code 20, register data address error (寄存器数据地址错误!", "M10..M17"),
                 ("D8200", "code 20,", "up to D8199"),
                 ("X5", "code 0,", "unknown area")]
        for tag, driver, why in cases:
            with self.subTest(tag=tag):
                code, _, err = P.run_qvpoll([tag], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(f"tag '{tag}'", err)
                self.assertIn(driver, err)
                self.assertIn(why, err)
                self.assertNotIn("--help", err)

    def test_failures_carry_code_meaning_and_text_in_every_format(self):
        args = ["--station", "7", "--timeout", "200", "D1"]
        _, table, _, _ = poll(args)
        self.assertRegex(table, r"1\s+7\s+D1\s+-\s+-\s+FAILED\s+" + STAMP +
                         r"\s+code 5, receive time-out \(接收数据超时错误!\): no reply")
        _, out, _, _ = poll([*args, "--format", "csv"])
        row = next(csv.DictReader(io.StringIO(out)))
        self.assertEqual((row["error_code"], row["error_meaning"], row["error_text"]),
                         ("5", "receive time-out", "接收数据超时错误!"))
        code, out, _, _ = poll([*args, "--format", "json"])
        self.assertEqual(code, 1)
        lines = json_lines(out)
        self.assertEqual(lines[0]["error"], {"code": 5, "meaning": "receive time-out", "text": "接收数据超时错误!"})
        self.assertEqual(lines[-1]["summary"]["failures_by_code"], {"5": 1})


    @unittest.skipUnless(P.wine, "a Windows console")
    def test_a_windows_console_shows_the_driver_text(self):
        # `script` gives Wine a terminal, so qvpoll.exe writes to a console:
        # bytes in the console's code page would come out garbled.
        command = " ".join(shlex.quote(c) for c in P.qvpoll_command(["X5"], port="COM99"))
        done = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 2)
        self.assertIn("code 0, register name error (寄存器名字错误!", done.stdout.decode(errors="replace"))


class PortFailures(unittest.TestCase):
    """5: why a port cannot be used, beside the driver's code and text."""

    def check(self, args, port, reason):
        code, _, err = P.run_qvpoll([*args, "D1"], port=port)
        self.assertEqual(code, 2, err)
        self.assertIn(reason, err)
        self.assertIn("code 3, opening the serial port failed (打开串口失败!)", err)

    def test_no_such_port(self):
        if P.wine:
            self.check([], "COM99", "no such port")
        else:
            self.check([], "/dev/qv-no-such-port", "no such device")

    @linux_only
    def test_not_a_serial_device(self):
        self.check([], "/dev/null", "not a serial device")
        self.check([], P.scratch, "not a serial device")

    @linux_only
    def test_in_use_by_another_program(self):
        import fcntl
        with Simulator(P) as s:
            with open(s.port, "rb") as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                self.check([], s.port, "in use by another program")

    @linux_only
    def test_a_rate_termios_has_no_constant_for_runs(self):
        # 14400 is set as a number (termios2), as Windows takes any rate.
        # An i386 emulator without termios2 cannot set it: there the port is
        # refused plainly, with the reason.
        code, out, err, requests = poll(["--baud", "14400", "D1"])
        if runs_under_i386_emulator():
            self.assertEqual(code, 2, err)
            self.assertIn("14400 baud is not a rate this system's serial driver offers", err)
            self.assertIn("code 3, opening the serial port failed", err)
            self.assertEqual(requests, [])
        else:
            self.assertEqual(code, 0, err)
            self.assertIn("D1", out)


class Rs485(unittest.TestCase):
    """RS-485 switching is the driver's, off unless asked; a port without it refuses before a byte is sent."""

    @linux_only
    def test_a_pseudo_terminal_refuses_and_off_changes_nothing(self):
        # (args, the machine's QUORVALEND_RS485, exit status, in standard
        # error, requests the controller sees): the machine's setting holds
        # unless --rs485 says otherwise.
        table = [
            (["--rs485", "rts-on-send"], None, 2, ["the driver opened it but could not configure it",
                                                   "code 4, configuring the serial port failed (配置串口失败!)",
                                                   "the port refused RS485=rts-on-send RS485DelayBeforeUs=0",
                                                   "the kernel answered", "needs RS485 left off"], 0),
            (["--rs485", "rts-after-send", "--rs485-delay-before-us", "1500", "--rs485-delay-after-us", "20"], None, 2,
             ["RS485=rts-after-send RS485DelayBeforeUs=1500 RS485DelayAfterUs=20", "code 4"], 0),
            (["--rs485", "off"], None, 0, [], 1),
            ([], None, 0, [], 1),
            ([], "rts-on-send", 2, ["code 4"], 0),
            (["--rs485", "off"], "rts-on-send", 0, [], 1),
        ]
        for args, machine, status, said, requests in table:
            with self.subTest(args=args, machine=machine):
                env = dict(os.environ)
                env.pop("QUORVALEND_RS485", None)
                if machine is not None:
                    env["QUORVALEND_RS485"] = machine
                code, out, err, seen = poll([*args, "D1"], env=env)
                self.assertEqual(code, status, err)
                for text in said:
                    self.assertIn(text, err)
                self.assertEqual(len(seen), requests, seen)
                if status == 0:
                    self.assertIn("D1", out)
                    self.assertNotIn("RS485", err)

    @unittest.skipUnless(P.wine, "Windows")
    def test_windows_cannot_drop_rts_while_sending(self):
        # The choice reaches the objects through the user's registry values
        # and is refused by the port before a byte is sent.
        code, _, err, seen = poll(["--rs485", "rts-after-send", "D1"])
        self.assertEqual(code, 2, err)
        self.assertIn("the port refused RS485=rts-after-send RS485DelayBeforeUs=0 RS485DelayAfterUs=0, Windows can "
                      "only raise RTS while sending", err)
        self.assertIn("code 4, configuring the serial port failed", err)
        self.assertEqual(seen, [])
        code, out, err, seen = poll(["--rs485", "off", "D1"])
        self.assertEqual(code, 0, err)
        self.assertEqual(len(seen), 1, seen)

    def test_usage_errors_say_what_is_accepted(self):
        table = [
            (["--rs485", "on"], "--rs485: on not in {off,rts-on-send,rts-after-send}"),
            (["--rs485-delay-before-us", "500"], "--rs485-delay-before-us needs --rs485 rts-on-send or rts-after-send"),
            (["--rs485", "off", "--rs485-delay-after-us", "500"], "--rs485-delay-after-us needs --rs485 rts-on-send"),
            (["--rs485", "rts-on-send", "--rs485-delay-after-us", "100001"], "'100001' is outside 0..100000"),
            (["--rs485", "rts-on-send", "--rs485-delay-before-us", "-1"], "--rs485-delay-before-us"),
        ]
        # No delay is no delay: accepted without --rs485.
        code, _, err = P.run_qvpoll(["--rs485-delay-before-us", "0", "D1"], port="COM99")
        self.assertNotIn("--rs485", err)
        for args, said in table:
            with self.subTest(args=args):
                code, _, err = P.run_qvpoll([*args, "D1"], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(said, err)
        code, _, err = P.run_qvpoll(["--sim", "--rs485", "rts-on-send", "D1"])
        self.assertEqual(code, 2, err)
        self.assertIn("--rs485 rts-on-send with --sim: the simulator's pseudo-terminal has no transmitter", err)


class Times(unittest.TestCase):
    """7: ISO 8601 with the offset; --utc; failed rows carry when the failure was seen."""

    @linux_only
    def test_local_time_with_its_offset_and_utc(self):
        env = dict(os.environ, TZ="QVT-05:30")
        for args, offset in [([], "+05:30"), (["--utc"], "+00:00")]:
            with self.subTest(args=args):
                code, out, err, _ = poll(["--format", "json", *args, "D1"], env=env)
                self.assertEqual(code, 0, err)
                stamp = json_lines(out)[0]["timestamp"]
                self.assertTrue(stamp.endswith(offset), stamp)
                seen = datetime.datetime.fromisoformat(stamp).timestamp()
                self.assertLess(abs(seen - time.time()), 30)

    def test_failed_rows_carry_the_time_of_the_failure(self):
        started = time.time()
        code, out, _, _ = poll(["--format", "json", "--station", "7", "--timeout", "500", "D1"])
        self.assertEqual(code, 1)
        stamp = json_lines(out)[0]["timestamp"]
        self.assertRegex(stamp, "^" + STAMP + "$")
        failed = datetime.datetime.fromisoformat(stamp).timestamp()
        self.assertGreater(failed, started + 0.4, "after the time-out, not before the request")


class Shapes(unittest.TestCase):
    """8: the columns and fields, a station column, the order typed, --output and --append."""
    PRESETS = ["--set", "D100=1234", "--set", "D131=0xBEEF", "--set", "M30=0x3C"]
    COLUMNS = ["scan", "station", "tag", "operation", "value", "hex", "quality", "timestamp", "error_code",
               "error_meaning", "error_text", "reason"]

    def test_csv_rows_parse_back_in_the_order_typed(self):
        code, out, err, _ = poll(["--format", "csv", "--count", "2", "--interval", "50",
                                  "D131", " D100 ", "M30", "M0"], sim=self.PRESETS)
        self.assertEqual(code, 0, err)
        reader = csv.DictReader(io.StringIO(out))
        self.assertEqual(reader.fieldnames, self.COLUMNS)
        rows = list(reader)
        self.assertEqual([(r["scan"], r["tag"]) for r in rows],
                         [(s, t) for s in "12" for t in ["D131", "D100", "M30", "M0"]])
        self.assertEqual([r["value"] for r in rows[:4]], ["48879", "1234", "60", "0"])
        self.assertEqual([r["hex"] for r in rows[:4]], ["0xBEEF", "0x04D2", "0x3C", "0x00"])
        for r in rows:
            self.assertEqual((r["station"], r["operation"], r["quality"], r["error_code"]), ("1", "read", "192", ""))
            self.assertRegex(r["timestamp"], "^" + STAMP + "$")
        self.assertIn("2 scans", err)

    def test_json_fields(self):
        code, out, err, _ = poll(["--format", "json", "D500=0x1234", "D500", "D501"])
        self.assertEqual(code, 0, err)
        lines = json_lines(out)
        self.assertEqual(list(lines[1]), ["scan", "station", "tag", "operation", "value", "hex", "quality",
                                          "timestamp", "ok", "error", "reason"])
        self.assertEqual([list(line) for line in lines[:-1]], [list(lines[1])] * 3, "every row has every key")
        self.assertEqual((lines[0]["quality"], lines[1]["error"], lines[1]["reason"]), (None, None, None))
        self.assertEqual(lines[1]["value"], 0x1234)
        summary = lines[-1]["summary"]
        self.assertEqual((summary["scans"], summary["transactions"], summary["failures"], summary["stopped"]),
                         (1, 2, 0, None))

    def test_output_file_takes_one_header(self):
        path = os.path.join(P.scratch, "rows.csv")
        with open(path, "w") as f:
            f.write("")
        for _ in range(2):
            code, out, err, _ = poll(["--format", "csv", "--output", path, "--append", "D1"])
            self.assertEqual((code, out), (0, ""), err)
        with open(path) as f:
            text = f.read()
        self.assertEqual(text.count("scan,station"), 1)
        self.assertEqual(len(list(csv.DictReader(io.StringIO(text)))), 2)
        poll(["--format", "csv", "--output", path, "D1"])
        with open(path) as f:
            self.assertEqual(len(f.read().splitlines()), 2, "without --append the file starts anew")


class Usage(unittest.TestCase):
    def test_help_lists_every_option(self):
        code, out, _ = P.run_qvpoll(["-h"])
        self.assertEqual(code, 0)
        for option in ["--sim-station", "--sim-set", "--keep-going", "--output", "--append", "--utc", "--timeout"]:
            self.assertIn(option, out)
        for option in ["--station", "--type", "--word-order", "--changes", "--trace", "--quiet", "--scan", "--bauds",
                       "--parities", "two transactions", "--rs485", "--rs485-delay-before-us",
                       "--rs485-delay-after-us"]:
            self.assertIn(option, out)

    def test_version_names_the_driver_loaded(self):
        code, out, err = P.run_qvpoll(["--version"])
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0], "qvpoll 6.0.1")
        if P.wine:
            self.assertRegex(lines[1], r"^driver .*Quorvalend\.dll \(file version 6\.0\.1\.0; ")
        else:
            module = os.path.join(os.path.dirname(os.path.realpath(P.qvpoll)), "Quorvalend.so")
            self.assertEqual(lines[1], f"driver {module} (Quorvalend 6.0.1)")

    def test_other_usage_errors_name_the_argument(self):
        for args, named in [(["--parity", "odd2", "D1"], "odd2"), (["--format", "xml", "D1"], "xml"),
                            (["--bogus", "D1"], "--bogus"), (["--baud", "115200", "D1"], "--baud")]:
            with self.subTest(args=args):
                code, _, err = P.run_qvpoll(args, port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(named, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""qvpoll as a field engineer uses it: ranges, several stations on one line,
value types, finding a controller, watching for changes, the driver's
trace. Against qvsim on a pseudo-terminal (Linux) or on mapped COM ports
(qvpoll.exe under Wine).

Usage: test_qvpoll_field.py QVPOLL | --wine PREFIX RUNNER QVPOLL.EXE QVSIM.EXE DLL
"""
import itertools
import json
import os
import shlex
import subprocess
import sys
import unittest

from qvpoll_harness import Programs, Simulator

P = Programs(sys.argv[1:])
del sys.argv[1:]
linux_only = unittest.skipIf(P.wine, "needs a pseudo-terminal of its own (Linux)")


def poll(args, sim=()):
    """qvpoll on a line that a qvsim started with `sim` serves: (code, out, err, requests seen)."""
    with Simulator(P, sim) as s:
        code, out, err = P.run_qvpoll(args, port=s.port)
        return code, out, err, s.requests()


def rows(out):
    """The JSON rows, without the summary."""
    return [r for r in map(json.loads, out.splitlines()) if "summary" not in r]


def summary(out):
    return json.loads(out.splitlines()[-1])["summary"]


class Loading(unittest.TestCase):
    @unittest.skipUnless(P.wine, "Windows finds its driver by the registry or beside the program")
    def test_without_module_the_driver_is_found(self):
        done = subprocess.run(P.command(P.qvpoll, ["--version"]), capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stderr)
        # Registration may have stored the module's short (8.3) name.
        self.assertRegex(done.stdout.decode(), r"driver .*(Quorvalend\.dll|QUOR~\w+\.DLL) \(file version 6\.0\.1\.0; "
                                               r"(registered as Quorvalend\.QuorvalendPro|loaded by path)\)")


class Ranges(unittest.TestCase):
    def test_ranges_and_lower_case_expand_to_the_tags(self):
        code, out, err, requests = poll(["--format", "json", "D100..D103", "d200:2", "m0..m20"],
                                        sim=["--set", "D101=7", "--set", "D201=9", "--set", "M20=0x3C"])
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["tag"], r["value"]) for r in rows(out)],
                         [("D100", 0), ("D101", 7), ("D102", 0), ("D103", 0), ("D200", 0), ("D201", 9),
                          ("M0", 0), ("M10", 0), ("M20", 60)])
        self.assertEqual(sorted(requests), ["read D100 x4", "read D200 x2", "read M0 x3 groups"],
                         "the driver sees upper case, one block per run of registers")

    def test_a_range_that_is_not_one_areas_addresses_is_refused_by_name(self):
        for tag in ["D100..D8200", "D131..D100", "M5..M30", "D100..M130", "D8190:11", "D100:0", "X1..X4",
                    "D1..D3=5"]:
            with self.subTest(tag=tag):
                code, _, err = P.run_qvpoll([tag], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(f"range '{tag}'", err)


class SeveralStations(unittest.TestCase):
    def test_three_stations_share_one_handle(self):
        code, out, err, requests = poll(["--station", "1,2,7", "--format", "json", "--trace", "D10=0x55", "D10",
                                         "M10"], sim=["--station", "1", "--station", "2", "--station", "7"])
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["station"], r["operation"], r["tag"]) for r in rows(out)],
                         [(1, "write", "D10"), (2, "write", "D10"), (7, "write", "D10")] +
                         [(s, "read", t) for s in (1, 2, 7) for t in ("D10", "M10")])
        self.assertEqual(len(requests), 9)
        # Stations 2 and 7 borrow the first object's handle; their frames
        # go out on it.
        for station in (2, 7):
            self.assertRegex(err, rf"handle \d+ station {station} read D10 -> ")
        self.assertIn("lend handle", err)
        per_station = summary(out)["stations"]
        self.assertEqual(sorted(per_station), ["1", "2", "7"])
        for s in per_station.values():
            self.assertEqual((s["transactions"], s["failures"]), (3, 0))

    def test_a_borrower_waits_the_time_out_asked_for(self):
        code, out, err, _ = poll(["--station", "1,9", "--timeout", "200", "--format", "json", "D1"])
        self.assertEqual(code, 1, err)
        failed = summary(out)["stations"]["9"]
        self.assertEqual((failed["failures"], failed["failures_by_code"]), (1, {"5": 1}))
        self.assertLess(failed["max_ms"], 1500, "the borrower waited its 3000 ms from creation")

    def test_the_table_summary_has_a_line_per_station(self):
        code, out, err, _ = poll(["--station", "1,2", "--timeout", "200", "D1"], sim=["--station", "1"])
        self.assertEqual(code, 1, err)
        self.assertRegex(out, r"station 1: 1 transaction, 0 failed \(0\.0%\); min [\d.]+ ms")
        self.assertRegex(out, r"station 2: 1 transaction, 1 failed \(100\.0%: 1 x code 5 \(receive time-out\); "
                              r"why: 1 x no reply\)")


class Types(unittest.TestCase):
    # type and word order, the write as typed, the registers it must leave
    # (read back as u16), the value then shown.
    CASES = [
        (["--type", "s16"], "D100=-1", [65535], -1),
        (["--type", "s16"], "D100=-32768", [32768], -32768),
        (["--type", "hex"], "D100=0x1F", [31], "0x001F"),
        (["--type", "bcd"], "D100=1234", [0x1234], 1234),
        (["--type", "bits"], "D100=0000_0100_1101_0010", [1234], "0000_0100_1101_0010"),
        (["--type", "bits"], "M10=0011_1100", [60], "0011_1100"),
        (["--type", "u32"], "D100=305419896", [0x1234, 0x5678], 305419896),
        (["--type", "s32"], "D100=-100000", [0xFFFE, 0x7960], -100000),
        (["--type", "f32"], "D100=1.5", [0x3FC0, 0], 1.5),
        (["--type", "f32", "--word-order", "high-first"], "D100=-0.1", [0xBDCC, 0xCCCD], -0.1),
        (["--type", "f32", "--word-order", "low-first"], "D100=1.5", [0, 0x3FC0], 1.5),
        (["--type", "f32", "--word-order", "low-first"], "D100=-0.1", [0xCCCD, 0xBDCC], -0.1),
    ]

    def test_each_type_is_written_and_read_back(self):
        for args, write, registers, shown in self.CASES:
            with self.subTest(args=args, write=write):
                tag = write.split("=")[0]
                area, address = tag[0], int(tag[1:])
                step = 10 if area == "M" else 1
                raw = [f"{area}{address + i * step}" for i in range(len(registers))]
                with Simulator(P) as s:
                    code, out, err = P.run_qvpoll(["--format", "json", *args, write, tag], port=s.port)
                    self.assertEqual(code, 0, err)
                    written, read = rows(out)
                    self.assertEqual((written["value"], read["value"]), (shown, shown))
                    code, out, err = P.run_qvpoll(["--format", "json", *raw], port=s.port)
                    self.assertEqual(code, 0, err)
                    self.assertEqual([r["value"] for r in rows(out)], registers)
                    if len(registers) == 2:
                        self.assertEqual([r for r in s.requests() if r.startswith("write")],
                                         [f"write {raw[0]} = {registers[0]}", f"write {raw[1]} = {registers[1]}"],
                                         "a 32-bit write is two transactions, lower register first")

    def test_a_value_the_type_cannot_hold_is_refused(self):
        for args, write in [(["--type", "s16"], "D100=40000"), (["--type", "f32"], "D100=abc"),
                            (["--type", "bits"], "M10=0101"), (["--type", "u32"], "M10=1")]:
            with self.subTest(write=write):
                code, _, err = P.run_qvpoll([*args, write], port="COM99")
                self.assertEqual(code, 2, err)
                self.assertIn(write.split("=")[0], err)


class Scan(unittest.TestCase):
    def found(self, out):
        return [(r["station"], r["baud"], r["parity"]) for r in map(json.loads, out.splitlines()) if "station" in r]

    @linux_only
    def test_finds_the_stations_at_the_speed_they_answer(self):
        with Simulator(P, ["--station", "3", "--station", "17", "--line-baud", "19200"]) as s:
            code, out, err = P.run_qvpoll(["--scan", "--bauds", "9600,19200", "--timeout", "100", "--format",
                                           "json"], port=s.port)
            self.assertEqual(code, 0, err)
            self.assertEqual(self.found(out), [(3, 19200, "none"), (17, 19200, "none")])
            # 33 stations at each speed: the simulator heard those at 9600
            # and kept silent (a loaded machine may lose a frame to the
            # driver's purge before the simulator reads it).
            heard = s.requests()
            at_9600 = len(list(itertools.takewhile(lambda r: r.startswith("ignored: the line is at 9600"), heard)))
            self.assertGreater(at_9600, 20)
            self.assertFalse([r for r in heard[at_9600:] if r.startswith("ignored")], "19200 is heard")
            self.assertLessEqual(len(heard), 66)
            self.assertNotIn("\r", err, "no progress when standard error is not a terminal")
            # The command printed reaches the station.
            command = json.loads(out.splitlines()[1])["command"].split()
            self.assertEqual(command[:2], ["qvpoll", "--port"])
            code, out, err = P.run_qvpoll(command[3:], port=s.port)
            self.assertEqual(code, 0, err)
            self.assertRegex(out, r"1\s+17\s+D0\s+0\s")

    def test_parities_are_tried_in_the_order_given(self):
        # A pty keeps no parity: the simulator answers at both.
        with Simulator(P, ["--station", "3", "--station", "17"]) as s:
            code, out, err = P.run_qvpoll(["--scan", "--station", "2,3,17", "--bauds", "19200", "--parities",
                                           "even,none", "--timeout", "200", "--format", "json"], port=s.port)
            self.assertEqual(code, 0, err)
            self.assertEqual(self.found(out), [(3, 19200, "even"), (17, 19200, "even"), (3, 19200, "none"),
                                               (17, 19200, "none")])
            self.assertEqual(json.loads(out.splitlines()[-1])["scan"],
                             {"probes": 6, "settings": 2, "answered": 4, "not_opened": 0})

    @linux_only
    def test_a_terminal_sees_one_progress_line(self):
        with Simulator(P, ["--station", "3"]) as s:
            command = " ".join(shlex.quote(c) for c in P.qvpoll_command(["--scan", "--station", "2,3"], port=s.port))
            done = subprocess.run(["script", "-qec", command, "/dev/null"], capture_output=True, timeout=60,
                                  stdin=subprocess.DEVNULL)
            text = done.stdout.decode()
            self.assertEqual(done.returncode, 0, text)
            self.assertIn("\rscanning 9600 baud, parity none: station 2 (0 found)", text)
            self.assertIn("station 3 answered at 9600 baud", text)

    def test_nobody_answering_exits_1_with_advice(self):
        code, out, err, _ = poll(["--scan", "--station", "4-6", "--timeout", "50"], sim=["--station", "1"])
        self.assertEqual(code, 1, err)
        self.assertIn("scan: 3 probes at 1 setting, 0 answered; check the wiring", out)


class Watching(unittest.TestCase):
    def test_changes_prints_the_first_scan_then_only_news(self):
        code, out, err, requests = poll(["--changes", "--count", "4", "--interval", "10", "--format", "json",
                                         "D1", "D2"], sim=["--set", "D1=5"])
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["scan"], r["tag"]) for r in rows(out)], [(1, "D1"), (1, "D2")])
        self.assertEqual(len(requests), 4)

    def test_changes_prints_every_failure_and_the_recovery(self):
        code, out, err, _ = poll(["--changes", "--count", "30", "--interval", "0", "--timeout", "100", "--format",
                                  "json", "D1"], sim=["--fault-rate", "0.3", "--seed", "5", "--set", "D1=5"])
        printed = rows(out)
        failed = {r["scan"] for r in printed if r["error"] is not None}
        self.assertEqual(len(failed), summary(out)["failures"], "every failure is a row")
        self.assertTrue(failed and len(printed) < 30, "some failed, some unchanged rows were left out")
        last = None
        for r in printed:
            if r["error"] is None and r["scan"] > 1:
                self.assertTrue(r["scan"] - 1 in failed or r["value"] != last, f"scan {r['scan']} is no news")
            if r["error"] is None:
                last = r["value"]
        for scan in failed:
            if scan < 30:
                self.assertIn(scan + 1, {r["scan"] for r in printed}, "the scan after a failure shows its outcome")

    def test_quiet_prints_rows_only_and_options_take_equals_and_double_dash(self):
        code, out, err, _ = poll(["-q", "--format=csv", "--count=2", "--interval=0", "--", "D1"])
        self.assertEqual(code, 0, err)
        self.assertEqual(len(out.splitlines()), 2, out)
        self.assertEqual(err, "")

    def test_trace_shows_every_frame_with_its_time(self):
        code, out, err, _ = poll(["-v", "D1=0x1234", "D1"])
        self.assertEqual(code, 0, err)
        stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"
        self.assertRegex(err, stamp + r" .*station 1 write D1 -> 05 30 31 30 57 44 30 30 30 31 30 32 31 32 33 34")
        self.assertRegex(err, stamp + r" .*station 1 read D1 <- 06 .* ok, ")
        code, _, err, _ = poll(["D1"])
        self.assertNotRegex(err, "-> 05", "the trace is for the run that asked for it")

    @unittest.skipUnless(P.wine, "the driver reads the registry on Windows")
    def test_trace_puts_the_users_setting_back(self):
        key = r"HKCU\Software\Quorvalend"

        def reg(*args):
            done = subprocess.run(P.command("reg", list(args)), capture_output=True, stdin=subprocess.DEVNULL)
            return done.returncode, done.stdout.decode(errors="replace")

        # The user's own trace file, which keeps getting the lines as well.
        users = os.path.join(P.scratch, "users-trace.txt")
        users_windows = subprocess.run(["winepath", "-w", users], capture_output=True, text=True,
                                       env=dict(os.environ, WINEPREFIX=P.prefix)).stdout.strip()
        for before in [None, users_windows]:
            with self.subTest(before=before):
                if before is not None:
                    self.assertEqual(reg("add", key, "/v", "Trace", "/d", before, "/f")[0], 0)
                code, _, err, _ = poll(["-v", "D1"])
                self.assertRegex(err, "station 1 read D1 -> 05")
                found, text = reg("query", key, "/v", "Trace")
                if before is None:
                    self.assertNotEqual(found, 0, text)
                else:
                    self.assertIn(before, text)
                    with open(users) as f:
                        self.assertRegex(f.read(), "station 1 read D1 -> 05")
                reg("delete", key, "/f")

        # Runs started together take turns: none takes another's file for
        # the user's setting and leaves it there.
        self.assertEqual(reg("add", key, "/v", "Trace", "/d", users_windows, "/f")[0], 0)
        runs = [subprocess.Popen(P.qvpoll_command(["-v", "--timeout", "50", "D1"], port=P.driver_port),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                for _ in range(10)]
        for run in runs:
            run.wait(120)
        found, text = reg("query", key, "/v", "Trace")
        reg("delete", key, "/f")
        self.assertEqual(found, 0, text)
        self.assertIn(users_windows, text)


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""qvpoll tells the truth about every row, against qvsim faults on a
pseudo-terminal: no station's value shown as another's, no write swallowed
or claimed, the real reason of a failure, recovery after a lost line, port
names as the system has them, settings that did not take named.

Usage: test_qvpoll_truth.py QVPOLL | --wine PREFIX RUNNER QVPOLL.EXE QVSIM.EXE DLL
"""
import csv
import io
import json
import os
import subprocess
import sys
import tempfile
import unittest

from qvpoll_harness import Programs, Simulator

P = Programs(sys.argv[1:])
del sys.argv[1:]
# Some runs start in another folder.
P.qvpoll, P.qvsim = os.path.abspath(P.qvpoll), os.path.abspath(P.qvsim)
# --sim, the environment's settings, /dev/full, pty links and unplugging a
# pty are Linux's; under Wine the line is a mapped COM port.
linux_only = unittest.skipIf(P.wine, "needs Linux: --sim, the environment's settings, ptys of its own")


def rows(out):
    return [r for r in map(json.loads, out.splitlines()) if "summary" not in r]


def good(row):
    return row.get("error") is None


def summary(out):
    return json.loads(out.splitlines()[-1])["summary"]


def run(args, cwd=None, env=None, stdout=subprocess.PIPE):
    done = subprocess.run(P.qvpoll_command(args), cwd=cwd, env=env, stdout=stdout, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL, timeout=120)
    return done.returncode, (done.stdout or b"").decode(), done.stderr.decode()


class CrossedStations(unittest.TestCase):
    """1: a late reply of one station is never shown as another's value."""

    def test_a_late_reply_is_never_another_stations_value(self):
        # Requests 1 and 2 preset the stations; the 6th (station 2's second
        # read) is answered 1.3 s late, into station 1's next read.
        cases = [([], 1), (["--check-station"], 1)]
        for extra, status in cases:
            with self.subTest(extra=extra), Simulator(P, ["--station", "1", "--station", "2", "--fault", "late:1300",
                                                          "--fault-at", "6", "--fault-station", "2"]) as s:
                for station, value in ((1, 111), (2, 222)):
                    code, _, err = P.run_qvpoll(["--station", str(station), f"D100={value}"], port=s.port)
                    self.assertEqual(code, 0, err)
                code, out, err = P.run_qvpoll(["--station", "1,2", "--count", "3", "--interval", "0", "--format",
                                               "json", *extra, "D100"], port=s.port)
                self.assertEqual(code, status, err)
                shown = [(r["station"], r["value"]) for r in rows(out) if good(r)]
                self.assertTrue(shown, out)
                for station, value in shown:
                    self.assertEqual(value, {1: 111, 2: 222}[station], f"station {station} shown {value}: {out}")
                failed = [r for r in rows(out) if not good(r)]
                self.assertTrue(any("station digits" in (r.get("reason") or "") for r in failed), out)

    @linux_only
    def test_the_check_can_be_turned_off_for_controllers_that_do_not_repeat_their_station(self):
        code, _, err = P.run_qvpoll(["--sim", "-v", "--station", "1,2", "--no-check-station", "D1"])
        self.assertEqual(code, 0, err)
        self.assertIn("CheckStation=0", err)
        code, _, err = P.run_qvpoll(["--sim", "-v", "--station", "1,2", "D1"])
        self.assertIn("CheckStation=1", err)
        code, _, err = P.run_qvpoll(["--sim", "--check-station", "--no-check-station", "D1"])
        self.assertEqual(code, 2, err)


class EmptyValues(unittest.TestCase):
    """2: an option with an empty value, or a tag for a value, is refused before the line is touched."""

    def test_refused_naming_the_option_and_nothing_is_sent_or_made(self):
        cases = [(["--output=", "D100=5", "D100"], "--output has an empty value"),
                 (["--output", "", "D100"], "--output has an empty value"),
                 (["--output=", "D100", "D200"], "--output has an empty value"),
                 (["--output", "D100=5", "D100"], "--output D100=5: that is a tag or a write"),
                 (["--timeout=", "D100"], "--timeout has an empty value"),
                 (["--format=", "D100"], "--format has an empty value"),
                 (["--station", "", "D100=5"], "--station has an empty value")]
        for args, message in cases:
            with self.subTest(args=args), Simulator(P) as s, tempfile.TemporaryDirectory(dir=P.scratch) as here:
                code, out, err = run(["--port", s.port, *args], cwd=here)
                self.assertEqual(code, 2, err)
                self.assertIn(message, err)
                self.assertEqual((os.listdir(here), s.requests(), out), ([], [], ""))


class HalfWrites(unittest.TestCase):
    """3: a 32-bit write whose second half failed says what is known about it."""

    def test_the_summary_says_what_the_controller_may_hold(self):
        cases = [("silent", "D101: unknown (no reply)", 0x5678),
                 ("nak", "D101: not written", 0)]
        for fault, said, held in cases:
            with self.subTest(fault=fault), Simulator(P, ["--fault", fault, "--fault-at", "2"]) as s:
                code, out, err = P.run_qvpoll(["--timeout", "1000", "--type", "u32", "D100=0x12345678"], port=s.port)
                self.assertEqual(code, 1, err)
                self.assertIn("D100 was written, " + said, out)
                self.assertNotIn("D101 was not", out)
                code, out, err = P.run_qvpoll(["--format", "json", "D101"], port=s.port)
                self.assertEqual(rows(out)[0]["value"], held, "what the controller holds")


class FailedWrites(unittest.TestCase):
    def test_a_failed_write_is_visibly_failed(self):
        with Simulator(P, ["--fault", "nak"]) as s:
            code, out, err = P.run_qvpoll(["D100=5"], port=s.port)
        self.assertEqual(code, 1, err)
        self.assertRegex(out.splitlines()[1], r"^write\s+1\s+D100\s+5\s+0x0005\s+FAILED ")


@linux_only
class UnwritableOutput(unittest.TestCase):
    """4: rows that cannot be written stop the run with the system's reason and exit status 3."""

    def test_a_full_output_stops_the_run(self):
        args = ["--sim", "--count", "3", "--interval", "10", "--format", "csv", "D100:64"]
        cases = [(["--output", "/dev/full"], None), ([], "/dev/full")]
        for extra, stdout in cases:
            with self.subTest(extra=extra, stdout=stdout):
                with open(stdout or os.devnull, "wb") as sink:
                    code, _, err = run([*args, *extra], stdout=sink)
                self.assertEqual(code, 3, err)
                self.assertIn("No space left on device", err)
                self.assertIn("could not be written", err)


@linux_only
class LostLine(unittest.TestCase):
    """5: an unplugged line is reported as lost, opened again, and read again without a restart."""

    def test_rows_are_good_again_when_the_line_is_back(self):
        with Simulator(P, ["--fault", "drop:1500", "--fault-at", "3"]) as s:
            code, out, err = P.run_qvpoll(["--count", "14", "--interval", "300", "--format", "json", "D100=7",
                                           "D100"], port=s.port)
        self.assertEqual(code, 1, err)
        reads = [r for r in rows(out) if r["operation"] == "read"]
        lost = [r for r in reads if (r.get("reason") or "").startswith("line lost") or
                (r.get("error") or {}).get("meaning") == "line lost"]
        self.assertTrue(lost, out)
        self.assertIn("port write failed, system error", lost[0]["reason"])
        after = reads[reads.index(lost[-1]) + 1:]
        self.assertTrue(after and all(good(r) and r["value"] == 7 for r in after), out)
        self.assertIn("opened again", err)


class Reasons(unittest.TestCase):
    """6: every failed row and the summary carry the driver's reason, in every format."""

    def test_each_fault_has_its_reason(self):
        cases = [("nak", 6, "the controller refused (NAK)"),
                 ("status2", 6, "the controller refused (status 2)"),
                 ("garbage", 5, "no complete reply; arrived: <7F>#garbage"),
                 ("silent", 5, "no reply"),
                 ("short", 6, "the reply lacks the hexadecimal digits of an item")]
        for fault, code, reason in cases:
            for fmt in ("table", "csv", "json"):
                with self.subTest(fault=fault, fmt=fmt), Simulator(P, ["--fault", fault]) as s:
                    status, out, err = P.run_qvpoll(["--timeout", "300", "--format", fmt, "D100"], port=s.port)
                    self.assertEqual(status, 1, err)
                    if fmt == "json":
                        row = rows(out)[0]
                        self.assertEqual(row["error"]["code"], code)
                        self.assertTrue(row["reason"].startswith(reason), row)
                        self.assertEqual(list(summary(out)["failures_by_reason"]), [reason.split(";")[0]])
                    elif fmt == "csv":
                        row = next(csv.DictReader(io.StringIO(out)))
                        self.assertEqual(row["error_code"], str(code))
                        self.assertTrue(row["reason"].startswith(reason), row)
                        self.assertIn("why: 1 x " + reason.split(";")[0], err)
                    else:
                        self.assertIn(f"code {code}, ", out)
                        self.assertIn("): " + reason, out)
                        self.assertIn("why: 1 x " + reason.split(";")[0], out)

    @linux_only
    def test_the_users_trace_still_works(self):
        trace = os.path.join(P.scratch, "user-trace.txt")
        env = dict(os.environ, QUORVALEND_TRACE=trace)
        with Simulator(P, ["--fault", "nak"]) as s:
            code, out, err = run(["--port", s.port, "D100"], env=env)
            self.assertEqual(code, 1, err)
            self.assertIn("the controller refused (NAK)", out)
            with open(trace) as f:
                text = f.read()
            self.assertIn("<NAK>", text)
            self.assertEqual("", err, "the user's own trace goes to the file only")
            code, out, err = run(["--port", s.port, "-v", "D100"], env=env)
            self.assertIn("<NAK>", err, "-v shows it too")
            with open(trace) as f:
                self.assertEqual(f.read().count("<NAK>"), 2, "and the file still gets it")
        os.unlink(trace)


@unittest.skipUnless(P.wine, "the driver reads the registry on Windows")
class WindowsSettings(unittest.TestCase):
    """6 and 8 on Windows: the user's registry settings still work, and those that do not take are named."""

    key = r"HKCU\Software\Quorvalend"

    def reg(self, *args):
        done = subprocess.run(P.command("reg", list(args)), capture_output=True, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode(errors="replace")

    def tearDown(self):
        self.reg("delete", self.key, "/f")

    def test_the_users_trace_file_and_a_setting_that_does_not_take(self):
        trace = os.path.join(P.scratch, "user-trace.txt")
        windows_path = subprocess.run(["winepath", "-w", trace], capture_output=True, text=True,
                                      env=dict(os.environ, WINEPREFIX=P.prefix)).stdout.strip()
        self.assertEqual(self.reg("add", self.key, "/v", "Trace", "/d", windows_path, "/f")[0], 0)
        self.assertEqual(self.reg("add", self.key, "/v", "CheckStation", "/d", "maybe", "/f")[0], 0)
        with Simulator(P, ["--fault", "nak"]) as s:
            code, out, err = P.run_qvpoll(["D100"], port=s.port)
        self.assertEqual(code, 1, err)
        self.assertIn("the controller refused (NAK)", out)
        self.assertEqual(err.count("the driver did not take CheckStation"), 1, err)
        with open(trace) as f:
            self.assertIn("<NAK>", f.read(), "the user's trace file gets the lines")
        self.assertIn(windows_path, self.reg("query", self.key, "/v", "Trace")[1], "the user's value is back")
        os.unlink(trace)


@linux_only
class PortNames(unittest.TestCase):
    """7: a relative path and a stable link longer than the driver takes reach the device."""

    def test_names_reach_the_device(self):
        with Simulator(P, ["--set", "D100=42"]) as s:
            long_link = os.path.join(P.scratch, "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")
            os.symlink(s.port, long_link)
            cases = [(["--port", long_link], None, "leads to /dev/pts/"),
                     (["--port", "./" + os.path.basename(s.port)], P.scratch, "is " + s.port)]
            for args, cwd, note in cases:
                with self.subTest(args=args):
                    code, out, err = run([*args, "--format", "json", "-v", "D100"], cwd=cwd)
                    self.assertEqual(code, 0, err)
                    self.assertEqual(rows(out)[0]["value"], 42)
                    self.assertIn(note, err)
            os.unlink(long_link)
        code, _, err = run(["--port", "/" + "x" * 40, "D100"])
        self.assertEqual(code, 2, err)
        self.assertIn("No such file or directory", err)


@linux_only
class SettingsThatDoNotTake(unittest.TestCase):
    """8: each driver setting the driver did not take, and a trace that cannot be opened, is named once."""

    def test_warnings(self):
        folder = os.path.join(P.scratch, "a-folder")
        os.makedirs(folder, exist_ok=True)
        link = os.path.join(P.scratch, "a-link")
        if not os.path.lexists(link):
            os.symlink(os.path.join(P.scratch, "elsewhere.txt"), link)
        cases = [({"QUORVALEND_CHECK_STATION": "maybe"}, ["QUORVALEND_CHECK_STATION=maybe"]),
                 ({"QUORVALEND_REPLY_WAIT": "fast"}, ["QUORVALEND_REPLY_WAIT=fast"]),
                 ({"QUORVALEND_CHECK_STATION": "yes"}, []),
                 ({"QUORVALEND_CHECK_STATION": "TRUE"}, []),
                 ({"QUORVALEND_TRACE": "/nonexistent/folder/t.txt"}, ["No such file or directory"]),
                 ({"QUORVALEND_TRACE": folder}, ["Is a directory"]),
                 ({"QUORVALEND_TRACE": link}, ["symbolic link"])]
        for settings, said in cases:
            with self.subTest(settings=settings):
                code, _, err = run(["--sim", "D1"], env=dict(os.environ, **settings))
                self.assertEqual(code, 0, err)
                for text in said:
                    self.assertEqual(err.count(text), 1, err)
                if not said:
                    self.assertEqual(err, "")
        self.assertFalse(os.path.exists(os.path.join(P.scratch, "elsewhere.txt")), "no trace through a link")

    def test_yes_turns_the_check_on(self):
        code, _, err = run(["--sim", "-v", "D1"], env=dict(os.environ, QUORVALEND_CHECK_STATION="yes"))
        self.assertEqual(code, 0, err)
        self.assertIn("CheckStation=1", err)


@linux_only
class MGroups(unittest.TestCase):
    """9: a bit write is refused, saying that writing the group writes all eight bits."""

    def test_the_hint_points_the_right_way(self):
        cases = [("m13=1", "writing M10 writes all eight bits M10..M17 at once"),
                 ("M25=0", "writing M20 writes all eight bits M20..M27 at once"),
                 ("M13", "read M10")]
        for tag, hint in cases:
            with self.subTest(tag=tag):
                code, _, err = run(["--sim", tag])
                self.assertEqual(code, 2, err)
                self.assertIn(hint, err)


@linux_only
class AsAUserMeetsThem(unittest.TestCase):
    """The smaller points: messages, shapes, alignment, rounding, --scan's settings."""

    def test_refusals_say_what_to_do(self):
        output = os.path.join(P.scratch, "rows.csv")
        cases = [(["D100=-1"], "a negative value needs a signed type, --type s16"),
                 (["--type", "u32", "D100=-1"], "--type s32"),
                 (["D100:0"], "a count of 1..8200"),
                 (["--type", "f32", "D100=1e-46"], "too small for f32"),
                 (["--type", "f32", "D100=1e39"], "too large for f32"),
                 (["--type", "f32", "D100=1e999"], "too large for f32"),
                 (["--type", "f32", "D100=nan"], "not a finite"),
                 ([], "--port ttyUSB0"),
                 (["--output", "/nonexistent/folder/rows.csv", "D1"], "No such file or directory"),
                 (["--format", "json", "--append", "--output", output, "D1"], "rows of another format")]
        with open(output, "w") as f:
            f.write("scan,station,tag,operation,value,hex,quality,timestamp,error_code,error_meaning,error_text\n")
        for args, message in cases:
            with self.subTest(args=args):
                code, out, err = run(["--sim", *args])
                self.assertEqual(code, 2, err)
                self.assertIn(message, err)
        os.unlink(output)

    def test_hex_counts_and_numbers(self):
        code, out, err = run(["--sim", "--count", "0x2", "--interval", "0x0", "--format", "json", "D100:0x2"])
        self.assertEqual(code, 0, err)
        self.assertEqual([(r["scan"], r["tag"]) for r in rows(out)], [(1, "D100"), (1, "D101"), (2, "D100"),
                                                                     (2, "D101")])

    def test_values_a_type_cannot_hold_are_said(self):
        code, out, err = run(["--sim", "--sim-set", "D100=0x7FC0", "--type", "f32", "--format", "json",
                              "D102=16777217", "D100", "D102"])
        self.assertEqual(code, 0, err)
        write, nan, rounded = rows(out)
        self.assertEqual((write["value"], write["reason"]), (16777216, "f32 cannot hold 16777217 exactly: written "
                                                                       "as 16777216"))
        self.assertEqual((nan["value"], nan["reason"], nan["ok"]), (None, "not a finite number: NaN", True))
        self.assertEqual((rounded["value"], rounded["reason"]), (16777216, None))

    def test_table_columns_stay_aligned(self):
        cases = [("bits", ["--sim-set", "D100=0x1234", "D100", "M10"]),
                 ("u32", ["--sim-set", "D100=0xFFFF", "--sim-set", "D101=0xFFFF", "D100"]),
                 ("s32", ["--sim-set", "D100=0x8000", "D100"]),
                 ("f32", ["--sim-set", "D100=0x8080", "--sim-set", "D101=0x1234", "D100"])]
        for kind, args in cases:
            with self.subTest(kind=kind):
                code, out, err = run(["--sim", "--type", kind, *args])
                self.assertEqual(code, 0, err)
                header, *lines = out.splitlines()[:-1]
                end = header.index(" hex") + 4
                for line in lines:
                    self.assertRegex(line[:end], r"0x[0-9A-F]+$", out)
                    self.assertEqual(line[end], " ", out)

    def test_scan_names_the_settings_it_could_not_open(self):
        code, out, err = run(["--sim", "--scan", "--station", "1", "--parities", "none,even,odd"])
        self.assertEqual(code, 0, err)
        self.assertIn("qvpoll --sim --baud 9600 --parity none --station 1 D0", out)
        self.assertNotIn("/dev/pts", out, "the simulator's pty is gone when the scan ends")
        opened = 3 - err.count("could not open")
        self.assertIn(f"probes at {opened} setting", out)
        if opened < 3:
            self.assertIn("not scanned, the port could not be opened at: 9600 baud, parity even", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""qvpoll's own simulator (--sim) and how qvpoll ends: the simulator never
outlives it, Ctrl-C waits for the transaction in flight once and not twice,
and qvsim never replaces a file that is not its own link. Linux only.

Usage: test_qvpoll_processes.py QVPOLL
"""
import json
import os
import signal
import subprocess
import sys
import time
import unittest

from qvpoll_harness import Programs, children_of, wait_gone

P = Programs(sys.argv[1:])
del sys.argv[1:]


class Running:
    """qvpoll --sim in the background, with its simulator's PID."""

    def __init__(self, args):
        self.process = subprocess.Popen([P.qvpoll, "--sim", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.started = time.monotonic()
        deadline = time.monotonic() + 10
        self.simulator = None
        while self.simulator is None and time.monotonic() < deadline:
            found = [pid for pid in children_of(self.process.pid) if "qvsim" in open(f"/proc/{pid}/cmdline").read()]
            self.simulator = found[0] if found else None
            time.sleep(0.02)
        # The simulator is up once the header is out.
        self.first_line = self.process.stdout.readline()

    def wait(self, seconds=15):
        code = self.process.wait(seconds)
        out, err = self.process.communicate()
        return code, out.decode(), err.decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            stream.close()
        if self.simulator is not None:
            wait_gone(self.simulator, 5)


class NoOrphanSimulator(unittest.TestCase):
    """9: whatever ends qvpoll ends its simulator."""

    def test_each_signal(self):
        for signal_number in [signal.SIGPIPE, signal.SIGHUP, signal.SIGTERM, signal.SIGKILL]:
            with self.subTest(signal=signal_number.name), Running(["--count", "0", "--interval", "20", "D1"]) as r:
                self.assertIsNotNone(r.simulator)
                if signal_number == signal.SIGPIPE:
                    r.process.stdout.close()  # as `| head -1` does when it has its line
                else:
                    r.process.send_signal(signal_number)
                code = r.process.wait(10)
                self.assertEqual(code, -signal_number)
                self.assertTrue(wait_gone(r.simulator), f"qvsim {r.simulator} outlived qvpoll")

    def test_two_ctrl_c_quit_at_once_during_a_long_transaction(self):
        with Running(["--station", "7", "--sim-station", "1", "--timeout", "8000", "D1"]) as r:
            time.sleep(0.3)
            r.process.send_signal(signal.SIGINT)
            time.sleep(0.3)
            self.assertIsNone(r.process.poll(), "the first Ctrl-C waits for the transaction")
            second = time.monotonic()
            r.process.send_signal(signal.SIGINT)
            code, _, err = r.wait()
            self.assertLess(time.monotonic() - second, 2)
            self.assertEqual(code, -signal.SIGINT)
            self.assertIn("Ctrl-C again", err)
            self.assertTrue(wait_gone(r.simulator))


class CtrlC(unittest.TestCase):
    """10: one Ctrl-C ends the run after the transaction in flight, with the summary."""

    def test_stops_after_the_current_transaction(self):
        with Running(["--station", "7", "--sim-station", "1", "--timeout", "1500", "--count", "0",
                      "--format", "json", "D1"]) as r:
            time.sleep(0.3)
            r.process.send_signal(signal.SIGINT)
            code, out, err = r.wait()
            self.assertGreater(time.monotonic() - r.started, 1.4, "the transaction ran to its time-out")
            self.assertEqual(code, 130, err)
            summary = json.loads(out.splitlines()[-1])["summary"]
            self.assertEqual((summary["transactions"], summary["stopped"]), (1, "interrupted"))
            self.assertTrue(wait_gone(r.simulator))

    def test_a_good_run_stopped_by_ctrl_c_exits_130_after_its_summary(self):
        # A script can tell an interrupted run from a finished one.
        with Running(["--count", "0", "--interval", "20", "D1"]) as r:
            time.sleep(0.5)
            r.process.send_signal(signal.SIGINT)
            code, out, _ = r.wait()
            self.assertEqual(code, 130)
            self.assertRegex(out, r"summary: \d+ scans, \d+ transactions, 0 failed.*stopped: interrupted")


class SimulatorArguments(unittest.TestCase):
    """11: refused before any simulator starts, naming the argument."""

    def test_bad_presets_and_stations(self):
        for args, named in [(["--sim-set", "D100=0x10000"], "--sim-set"), (["--sim-set", "D8200=1"], "--sim-set"),
                            (["--sim-set", "M13=1"], "--sim-set"), (["--sim-set", "D100"], "--sim-set"),
                            (["--sim-station", "256"], "--sim-station"), (["--sim-station", "x"], "--sim-station")]:
            with self.subTest(args=args):
                done = subprocess.run([P.qvpoll, "--sim", *args, "D1"], capture_output=True, timeout=30)
                self.assertEqual(done.returncode, 2)
                self.assertIn(named, done.stderr.decode())
                self.assertNotIn("time-out", done.stderr.decode())

    def test_sim_presets_and_station_reach_the_simulator(self):
        done = subprocess.run([P.qvpoll, "--sim", "--sim-set", "D100=0100", "--sim-set", "M10=0x3C", "--station", "5",
                               "--sim-station", "5", "--format", "json", "D100", "M10"], capture_output=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = [json.loads(line) for line in done.stdout.decode().splitlines()]
        self.assertEqual([(r["tag"], r["value"], r["station"]) for r in rows[:2]], [("D100", 100, 5), ("M10", 60, 5)])


class SimulatorPty(unittest.TestCase):
    """12: qvsim --pty replaces only a link it made, and removes only its own."""

    def serve(self, path):
        sim = subprocess.Popen([P.qvsim, "--pty", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
        line = sim.stdout.readline().decode()
        return sim, line

    def test_an_existing_file_is_refused_and_kept(self):
        notes = os.path.join(P.scratch, "notes.txt")
        other = os.path.join(P.scratch, "elsewhere")
        with open(notes, "w") as f:
            f.write("field notes\n")
        os.symlink(notes, other)
        for path in [notes, other, P.scratch]:
            with self.subTest(path=path):
                sim, _ = self.serve(path)
                code = sim.wait(10)
                err = sim.stderr.read().decode()
                sim.stdout.close()
                sim.stderr.close()
                self.assertEqual(code, 2)
                self.assertIn("--pty " + path, err)
        with open(notes) as f:
            self.assertEqual(f.read(), "field notes\n")
        self.assertEqual(os.readlink(other), notes)

    def test_a_stale_link_of_its_own_is_replaced_and_removed_on_exit(self):
        link = os.path.join(P.scratch, "plc")
        os.symlink("/dev/pts/999999", link)
        sim, line = self.serve(link)
        try:
            self.assertIn("serving station 1 on " + link, line)
            self.assertTrue(os.readlink(link).startswith("/dev/pts/"))
            self.assertNotEqual(os.readlink(link), "/dev/pts/999999")
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(10)
            sim.stdout.close()
            sim.stderr.close()
        self.assertFalse(os.path.lexists(link))


if __name__ == "__main__":
    unittest.main(verbosity=2)

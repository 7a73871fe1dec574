#!/usr/bin/env python3
"""qvgateway when the line goes wrong, through qvsim's faults: a silent
station answers 0x0B and is demoted without slowing the other station;
late, garbled and refused replies never reach a client as values; an
unplugged adapter is reopened without a restart; a signal ends the
gateway cleanly. Linux only.

Usage: test_qvgateway_faults.py QVPOLL   (qvgateway and qvsim beside it)
"""
import os
import signal
import statistics
import sys
import threading
import time
import unittest

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from qvpoll_harness import children_of, wait_gone

P = Programs(sys.argv[1:])
del sys.argv[1:]

TIMEOUT_S = 0.2  # the line's timeout_ms in config_toml
D_VALUES = {100 + i: 500 + 11 * i for i in range(10)}
D_VALUES.update({200 + i: 9000 + 7 * i for i in range(10)})
M_VALUES = {10: 0x5A, 20: 0xA5}
PRESETS = [a for r, v in D_VALUES.items() for a in ("--set", f"D{r}={v}")] + \
          [a for g, v in M_VALUES.items() for a in ("--set", f"M{g}={v}")]


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


class SilentStation(unittest.TestCase):
    def test_demotion_answers_at_once_and_the_other_station_keeps_its_speed(self):
        stations = [station_toml(1, read=["D100..D109"], max_age_ms=1), station_toml(2, read=["D0..D9"])]
        with Simulator(P, ["--station", "1", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\ndemote_s = 2\n")) as gw:
            times, stop = [], threading.Event()

            def station_one():
                c = gw.client()
                while not stop.is_set():
                    r, took = timed(lambda: c.read_holding_registers(100, 10, slave=1))
                    self.assertEqual(r.registers, [D_VALUES[100 + i] for i in range(10)])
                    times.append((time.monotonic(), took))
                c.close()

            reader = threading.Thread(target=station_one)
            reader.start()
            try:
                c = gw.client()
                for n in range(3):
                    r, took = timed(lambda: c.read_holding_registers(0, 1, slave=2))
                    self.assertEqual(r.exception_code, 0x0B, f"time-out {n + 1}")
                    self.assertGreaterEqual(took, TIMEOUT_S * 0.9)
                demoted_at = time.monotonic()
                r, took = timed(lambda: c.read_holding_registers(0, 1, slave=2))
                self.assertEqual(r.exception_code, 0x0B)
                self.assertLess(took, 0.1, "a demoted station's request is answered at once")
                status = c.read_input_registers(9000, 10, slave=2).registers
                self.assertEqual((status[0], status[4], status[6], status[7]), (0, 3, 1, 5))
                time.sleep(3)  # past one demotion period: one probe
                after = c.read_input_registers(9000, 10, slave=2).registers
                c.close()
            finally:
                stop.set()
                reader.join()
            # A little over one demotion period: the silent station got one
            # probe (its transactions 3 -> 4), so station 1's reads waited
            # for at most one time-out; otherwise they kept their own speed.
            self.assertEqual((after[3], after[6]), (4, 1))
            during = [took for at, took in times if at - took > demoted_at]
            self.assertGreater(len(during), 20)
            waited_a_timeout = [took for took in during if took > TIMEOUT_S * 0.9]
            self.assertLessEqual(len(waited_a_timeout), 1, waited_a_timeout)
            self.assertLess(statistics.median(during), 0.05)
            self.assertIn("station 2 demoted", gw.log())

    def test_first_good_reply_restores(self):
        stations = [station_toml(2, read=["D100..D109"], max_age_ms=1)]
        with Simulator(P, ["--station", "2", "--fault", "silent", "--fault-at", "1,2,3", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\ndemote_s = 1\n")) as gw:
            c = gw.client()
            try:
                codes = [c.read_holding_registers(100, 1, slave=2).exception_code for _ in range(4)]
                self.assertEqual(codes, [0x0B] * 4)
                time.sleep(1.5)
                r = c.read_holding_registers(100, 2, slave=2)
                self.assertEqual(r.registers, [D_VALUES[100], D_VALUES[101]])
                self.assertEqual(c.read_input_registers(9006, 1, slave=2).registers, [0])
            finally:
                c.close()
            self.assertIn("station 2 restored", gw.log())


class BadReplies(unittest.TestCase):
    """Whatever qvsim sends wrong, a client gets the right value or an exception."""

    def check_reads(self, sim_args, reads):
        stations = [station_toml(1, read=["D100..D109", "D200..D209", "M10..M20"], max_age_ms=1)]
        with Simulator(P, ["--station", "1", *sim_args, *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="check_station = true\ndemote_after = 1000\nretries = 0\n")) as gw:
            c = gw.client(timeout=5)
            outcomes = {"good": 0}
            try:
                for n in range(reads):
                    time.sleep(0.003)  # past max_age_ms: every read goes to the line
                    if n % 3 == 2:
                        r = c.read_coils(20, 8, slave=1)
                        want = [(M_VALUES[20] >> b) & 1 == 1 for b in range(8)]
                        got = None if r.isError() else r.bits[:8]
                    else:
                        first = 100 if n % 3 == 0 else 200
                        r = c.read_holding_registers(first, 10, slave=1)
                        want = [D_VALUES[first + i] for i in range(10)]
                        got = None if r.isError() else r.registers
                    if got is None:
                        self.assertIn(r.exception_code, (0x04, 0x0B), str(r))
                        outcomes[r.exception_code] = outcomes.get(r.exception_code, 0) + 1
                    else:
                        self.assertEqual(got, want, f"read {n}")
                        outcomes["good"] += 1
            finally:
                c.close()
            return outcomes

    def test_garbled_refused_and_silent_replies(self):
        outcomes = self.check_reads(["--fault-rate", "0.3", "--seed", "7"], 240)
        self.assertGreater(outcomes["good"], 60)
        self.assertGreater(outcomes.get(0x04, 0), 5, outcomes)

    def test_late_replies(self):
        outcomes = self.check_reads(["--fault", "late:300", "--fault-every", "4"], 90)
        self.assertGreater(outcomes["good"], 20)


class Writes(unittest.TestCase):
    def test_answered_after_the_controller_and_a_refusal_part_way_is_0x04(self):
        stations = [station_toml(1, read=["D100..D109"], write=["D100..D109"])]
        # The controller takes 100 ms to answer and refuses the third write.
        with Simulator(P, ["--station", "1", "--turnaround", "100", "--fault", "nak", "--fault-at", "3",
                           *PRESETS]) as sim, Gateway(P, config_toml(sim.port, stations)) as gw:
            c = gw.client()
            try:
                r, took = timed(lambda: c.write_register(100, 11, slave=1))
                self.assertFalse(r.isError(), str(r))
                self.assertGreaterEqual(took, 0.1, "acknowledged before the controller answered")
                r = c.write_registers(101, [21, 22, 23], slave=1)
                self.assertEqual(r.exception_code, 0x04)
                # What was refused is not served as written.
                self.assertEqual(c.read_holding_registers(100, 4, slave=1).registers,
                                 [11, 21, D_VALUES[102], D_VALUES[103]])
            finally:
                c.close()
            requests = sim.requests()
            self.assertIn("write D101 = 21", requests)
            self.assertIn("write D102 = 22 [fault nak]", requests)
            self.assertFalse(any(r.startswith("write D103") for r in requests), requests)
            self.assertIn("partial write: D101 written, D102 failed", gw.log())

    def test_after_a_time_out_a_write_waits_until_the_line_is_in_step(self):
        # The first reply comes 100 ms after the time-out; the driver would
        # take it as a write's acknowledgement if the write were on the
        # line by then. The line stays quiet for one more time-out first.
        stations = [station_toml(1, read=["D100..D109"], write=["D100..D109"], max_age_ms=1)]
        with Simulator(P, ["--station", "1", "--fault", "late:300", "--fault-at", "1", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\n")) as gw:
            c = gw.client()
            try:
                self.assertEqual(c.read_holding_registers(100, 1, slave=1).exception_code, 0x0B)
                r, took = timed(lambda: c.write_register(105, 5, slave=1))
                self.assertFalse(r.isError(), str(r))
                self.assertGreaterEqual(took, 0.15, "the write went on the line while the late reply could come")
                time.sleep(0.01)  # past max_age_ms: the read goes to the controller
                self.assertEqual(c.read_holding_registers(105, 1, slave=1).registers, [5])
            finally:
                c.close()
            self.assertEqual(sim.requests().count("write D105 = 5"), 1)

    def test_after_a_time_out_changing_values_read_good_again(self):
        # Counters change at every read: two reads never agree, and after
        # the time-out they must still be served, each newer than the last.
        stations = [station_toml(1, read=["D100..D109"], max_age_ms=1)]
        with Simulator(P, ["--station", "1", "--counting", "D100..D109", "--fault", "late:300", "--fault-at", "1",
                           *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\n")) as gw:
            c = gw.client()
            try:
                self.assertEqual(c.read_holding_registers(100, 10, slave=1).exception_code, 0x0B)
                served = []
                for _ in range(5):
                    time.sleep(0.01)
                    r = c.read_holding_registers(100, 10, slave=1)
                    self.assertFalse(r.isError(), f"{r} after {served}")
                    served.append(r.registers[0])
                self.assertEqual(served, sorted(set(served)), "a counter went back or stood still")
            finally:
                c.close()

    def test_clients_waiting_on_one_block_share_one_transaction(self):
        stations = [station_toml(1, read=["D100..D109"], max_age_ms=1)]
        with Simulator(P, ["--station", "1", "--turnaround", "300", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations).replace("timeout_ms = 200", "timeout_ms = 1000")) as gw:
            results = []

            def read(first):
                c = gw.client()
                results.append(c.read_holding_registers(first, 2, slave=1).registers)
                c.close()

            threads = [threading.Thread(target=read, args=(100 + 2 * k,)) for k in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(sorted(results), [[D_VALUES[100 + 2 * k], D_VALUES[101 + 2 * k]] for k in range(4)])
            # The first read is on the line when the others come: they share
            # the next one.
            self.assertLessEqual(len([r for r in sim.requests() if r.startswith("read D100")]), 2)


class Unplugged(unittest.TestCase):
    def test_unplug_and_replug_recover_without_restart(self):
        stations = [station_toml(1, read=["D100..D109"], max_age_ms=1)]
        with Simulator(P, ["--station", "1", "--fault", "drop:800", "--fault-at", "5", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\n")) as gw:
            c = gw.client()
            seen = []
            try:
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline and not (0x0B in seen and seen[-1] == "good"):
                    r = c.read_holding_registers(100, 2, slave=1)
                    if r.isError():
                        seen.append(r.exception_code)
                    else:
                        self.assertEqual(r.registers, [D_VALUES[100], D_VALUES[101]])
                        seen.append("good")
                    time.sleep(0.05)
            finally:
                c.close()
            self.assertIn(0x0B, seen)
            self.assertEqual(seen[-1], "good", seen)
            self.assertTrue(set(seen) <= {"good", 0x0B}, seen)
            log = gw.log()
            self.assertIn("lost", log)
            self.assertIn("back: serving again", log)


class Signals(unittest.TestCase):
    def test_sigterm_mid_transaction_exits_0_within_two_seconds(self):
        stations = [station_toml(1, read=["D100..D109"]), station_toml(2, read=["D0..D9"])]
        cfg = config_toml("sim", stations, line='sim_set = ["D100=5"]\n').replace("timeout_ms = 200", "timeout_ms = 1000")
        with Gateway(P, cfg) as gw:
            simulators = [p for p in children_of(gw.process.pid)]
            self.assertEqual(len(simulators), 1)
            c = gw.client()
            waiting = threading.Thread(target=lambda: c.read_holding_registers(0, 1, slave=2))
            waiting.start()
            time.sleep(0.3)  # the silent station's transaction is on the line
            code, took = gw.stop(signal.SIGTERM)
            waiting.join()
            c.close()
            self.assertEqual(code, 0, gw.log())
            self.assertLess(took, 2.0)
            self.assertIn("stopped: port closed", gw.log())
            self.assertTrue(wait_gone(simulators[0]) or not os.path.exists(f"/proc/{simulators[0]}"))

    def test_second_signal_exits_at_once(self):
        stations = [station_toml(2, read=["D0..D9"])]
        with Simulator(P, ["--station", "1"]) as sim, \
                Gateway(P, config_toml(sim.port, stations).replace("timeout_ms = 200", "timeout_ms = 5000")) as gw:
            c = gw.client(timeout=10)

            def wait_for_answer():
                try:
                    c.read_holding_registers(0, 1, slave=2)
                except Exception:  # the gateway is gone: that is the point
                    pass

            waiting = threading.Thread(target=wait_for_answer)
            waiting.start()
            time.sleep(0.3)
            gw.process.send_signal(signal.SIGINT)
            time.sleep(0.1)
            code, took = gw.stop(signal.SIGINT)
            waiting.join()
            c.close()
            self.assertNotEqual(code, 0)
            self.assertLess(took, 0.5)


if __name__ == "__main__":
    unittest.main(verbosity=2)

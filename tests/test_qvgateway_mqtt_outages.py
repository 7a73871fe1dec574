#!/usr/bin/env python3
"""qvgateway's MQTT side when something goes away: a station switched off in
qvsim turns its tags bad with code 5 within one time-out plus one poll, and
good again once it answers; a broker stopped, or frozen with its
connection still up, never makes the gateway's memory grow with the updates
it misses: only each tag's latest state waits, the rest is counted as
folded, and the latest state is what the broker gets back. Linux only.

Usage: test_qvgateway_mqtt_outages.py QVPOLL   (qvgateway and qvsim beside it)
"""
import re
import signal
import sys
import time
import unittest

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import Broker, Watcher, mqtt_toml, retained_tags

P = Programs(sys.argv[1:])
del sys.argv[1:]

TIMEOUT_S = 0.2  # timeout_ms in config_toml
POLL_S = 0.1
# From a poll's time-out to the subscriber: the adapter looks at the cache
# every 50 ms, and one transaction of the other station may hold the line.
DELIVERY_S = 0.3


def resident_kb(pid):
    """VmRSS of `pid` (under a user-mode emulator, the emulator's: larger,
    but it grows with the program's own memory all the same)."""
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


def folded(log):
    counts = [int(n) for n in re.findall(r"(\d+) updates folded so far", log)]
    return counts[-1] if counts else 0


class SilencedStation(unittest.TestCase):
    def test_bad_with_code_5_within_a_time_out_and_a_poll_and_good_again(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        sim = Simulator(P, ["--station", "1", "--station", "2", "--silence-station", "2",
                            "--set", "D100=5", "--set", "D200=6"])
        self.addCleanup(sim.stop)
        stations = [station_toml(1, read=["D100"], poll_ms=100), station_toml(2, read=["D200"], poll_ms=100)]
        gateway = Gateway(P, config_toml(sim.port, stations, line="retries = 0\ndemote_s = 1\n") +
                          mqtt_toml(broker, "qv/off"))
        self.addCleanup(gateway.close)
        watcher = Watcher(broker, ["qv/off/+/+"])
        self.addCleanup(watcher.stop)

        def tag(topic, quality, value=None):
            return lambda t, p: t == f"qv/off/{topic}" and isinstance(p, dict) and p["quality"] == quality and \
                (value is None or p["value"] == value)

        self.assertIsNotNone(watcher.wait_for(tag("2/D200", "good", 6)), gateway.log())
        off = time.monotonic()
        sim.process.send_signal(signal.SIGUSR1)
        bad = watcher.wait_for(tag("2/D200", "bad"), since=off)
        self.assertIsNotNone(bad, gateway.log())
        self.assertEqual((bad[2]["value"], bad[2]["code"], bad[2]["meaning"]), (None, 5, "receive time-out"))
        self.assertLessEqual(bad[0] - off, TIMEOUT_S + POLL_S + DELIVERY_S, "seconds from silence to bad")

        on = time.monotonic()
        sim.process.send_signal(signal.SIGUSR2)
        good = watcher.wait_for(tag("2/D200", "good", 6), since=on)
        self.assertIsNotNone(good, gateway.log())
        # Demoted after three time-outs, it is tried again after demote_s.
        self.assertLessEqual(good[0] - on, 1 + TIMEOUT_S + POLL_S + DELIVERY_S, "seconds from answering to good")
        print(f"station silenced: bad after {bad[0] - off:.2f} s, good again {good[0] - on:.2f} s after it answered",
              file=sys.stderr)
        self.assertIn("silenced: no reply", sim.trace())
        # The other station on the line never lost its value.
        self.assertEqual([p for _, t, p in watcher.messages() if t == "qv/off/1/D100" and p["quality"] != "good"], [])


class BrokerGone(unittest.TestCase):
    TAGS = 240  # D100..D339: more updates per round than the adapter's allowance of unacknowledged messages
    ROUNDS = 40

    def gateway(self, broker, prefix, extra=""):
        stations = [station_toml(1, read=[f"D100..D{99 + self.TAGS}"], write=[f"D100..D{99 + self.TAGS}"],
                                 poll_ms=1000, max_age_ms=5000)]
        gateway = Gateway(P, config_toml("sim", stations) + mqtt_toml(broker, prefix, extra=extra))
        self.addCleanup(gateway.close)
        return gateway

    def change_every_tag(self, client, gateway, value):
        for first in range(100, 100 + self.TAGS, 120):
            count = min(120, 100 + self.TAGS - first)
            r = client.write_registers(first, [value] * count, slave=1)
            self.assertFalse(r.isError(), f"{r}: {gateway.log()[-1500:]}")
        time.sleep(0.15)  # the adapter looks every 50 ms: it sees each round

    def test_memory_stays_flat_and_only_the_latest_state_is_published(self):
        # How the broker goes: its process ended (the connection drops at
        # once), or stopped (the connection stays up, nothing is answered).
        for how in ("ended", "frozen"):
            with self.subTest(broker=how):
                broker = Broker()
                self.addCleanup(broker.stop)
                prefix = f"qv/gone-{how}"
                # Keep-alive long enough that the frozen broker's connection
                # is not given up during the test.
                gateway = self.gateway(broker, prefix, extra="keepalive_s = 600\n")
                self.assertEqual(len(retained_tags(broker, prefix, 1, self.TAGS, seconds=30)), self.TAGS)
                port = broker.port
                if how == "ended":
                    broker.stop()
                else:
                    broker.freeze()
                client = gateway.client(timeout=10)
                try:
                    warm = 5
                    for n in range(warm):
                        self.change_every_tag(client, gateway, 1000 + n)
                    before = resident_kb(gateway.process.pid)
                    for n in range(warm, self.ROUNDS):
                        self.change_every_tag(client, gateway, 1000 + n)
                    after = resident_kb(gateway.process.pid)
                finally:
                    client.close()
                last = 1000 + self.ROUNDS - 1
                if how == "ended":
                    broker = Broker(port)
                    self.addCleanup(broker.stop)
                else:
                    broker.thaw()
                deadline = time.monotonic() + 30
                got = {}
                while time.monotonic() < deadline:
                    got = retained_tags(broker, prefix, 1, self.TAGS, seconds=5)
                    if len(got) == self.TAGS and all(v["value"] == last for v in got.values()):
                        break
                self.assertEqual({v["value"] for v in got.values()}, {last}, gateway.log()[-2000:])
                updates = self.TAGS * (self.ROUNDS - warm)
                count = folded(gateway.log())
                print(f"broker {how}: resident {before} kB -> {after} kB over {updates} updates; "
                      f"{count} folded", file=sys.stderr)
                # Kept, each update would cost its topic, payload and the
                # library's record: over 100 bytes apiece.
                self.assertLess(after - before, updates * 100 // 1024 // 4)
                # All but the last round waited and were folded, less what
                # went out before the adapter held back: its allowance of
                # unacknowledged messages (one per tag and station, and 16).
                self.assertGreaterEqual(count, self.TAGS * (self.ROUNDS - 1) - (self.TAGS + 1 + 16))
                self.assertLessEqual(count, self.TAGS * (self.ROUNDS - 1))
                broker.stop()

    def test_only_the_latest_of_a_few_changes_waits(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        stations = [station_toml(1, read=["D100..D101"], write=["D101"], poll_ms=100)]
        gateway = Gateway(P, config_toml("sim", stations, line='sim_set = ["D101=7"]\n') + mqtt_toml(broker, "qv/few"))
        self.addCleanup(gateway.close)
        self.assertEqual(len(retained_tags(broker, "qv/few", 1, 2)), 2)
        port = broker.port
        broker.stop()
        client = gateway.client()
        try:
            for value in (1, 2, 3):  # Modbus writes change the tag meanwhile
                self.assertFalse(client.write_register(101, value, slave=1).isError())
                time.sleep(0.5)
        finally:
            client.close()
        broker = Broker(port)
        self.addCleanup(broker.stop)
        got = retained_tags(broker, "qv/few", 1, 2, seconds=20)
        self.assertEqual(got["D101"]["value"], 3, gateway.log())
        # 1 and 2 never went out: folded into 3.
        self.assertIn("(2 updates folded so far while it was gone)", gateway.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)

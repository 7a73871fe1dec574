#!/usr/bin/env python3
"""qvgateway's MQTT side when something goes away: a station switched off in
qvsim turns its tags bad with code 5 within one time-out plus one poll, and
good again once it answers; a port lost turns every tag bad with "port
lost", and a write meanwhile is answered so; a write to a demoted station
says so and when it is tried next; a broker stopped, or frozen with its
connection still up, never makes the gateway's memory grow with the updates
it misses: only each tag's latest state waits, the rest is counted as
folded, and the latest state is what the broker gets back. Linux only.

Usage: test_qvgateway_mqtt_outages.py QVPOLL   (qvgateway and qvsim beside it)
"""
import json
import os
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
    """The resident memory of `pid` in kB, less the mappings that asked for
    huge pages: under a user-mode emulator (then `pid` is the emulator's)
    that is its buffer of translated code, which grows in 2 MB steps as code
    runs for the first time; the gateway's own memory asks for none."""
    total, rss = 0, 0
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            if line.startswith("Rss:"):
                rss = int(line.split()[1])
            elif line.startswith("VmFlags:"):
                total += 0 if "hg" in line.split()[1:] else rss
    return total


def folded(log):
    counts = [int(n) for n in re.findall(r"(\d+) updates folded so far", log)]
    return counts[-1] if counts else 0


class SilencedStation(unittest.TestCase):
    def test_bad_with_code_5_within_a_time_out_and_a_poll_and_good_again(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        sim = Simulator(P, ["--station", "1", "--station", "2", "--silence-station", "2",
                            "--set", "D100=5", "--set", "D200=6", "--set", "D300=7"])
        self.addCleanup(sim.stop)
        # Station 2 in two blocks, demoted at its first time-out: the block
        # not tried then must turn bad too, not linger as stale.
        stations = [station_toml(1, read=["D100"], poll_ms=100), station_toml(2, read=["D200", "D300"], poll_ms=100)]
        gateway = Gateway(P, config_toml(sim.port, stations, line="retries = 0\ndemote_after = 1\ndemote_s = 1\n") +
                          mqtt_toml(broker, "qv/off"))
        self.addCleanup(gateway.close)
        watcher = Watcher(broker, ["qv/off/+/+"])
        self.addCleanup(watcher.stop)

        def tag(topic, quality, value=None):
            return lambda t, p: t == f"qv/off/{topic}" and isinstance(p, dict) and p["quality"] == quality and \
                (value is None or p["value"] == value)

        silenced = {"2/D200": 6, "2/D300": 7}
        # Station 1 is counted from its first good value: before its first
        # read a tag is bad, "not read yet", whatever the schedule.
        self.assertIsNotNone(watcher.wait_for(tag("1/D100", "good", 5)), gateway.log())
        for topic, value in silenced.items():
            self.assertIsNotNone(watcher.wait_for(tag(topic, "good", value)), gateway.log())
        off = time.monotonic()
        sim.process.send_signal(signal.SIGUSR1)
        for topic in silenced:
            with self.subTest(topic=topic):
                bad = watcher.wait_for(tag(topic, "bad"), since=off)
                self.assertIsNotNone(bad, gateway.log())
                self.assertEqual((bad[2]["value"], bad[2]["code"], bad[2]["meaning"]),
                                 (None, 5, "station demoted: receive time-out"))
                self.assertLessEqual(bad[0] - off, TIMEOUT_S + POLL_S + DELIVERY_S, "seconds from silence to bad")
                print(f"{topic} bad {bad[0] - off:.2f} s after the station was silenced", file=sys.stderr)
        self.assertEqual([p for _, t, p in watcher.messages(off) if t in silenced and p["quality"] == "stale"], [])

        on = time.monotonic()
        sim.process.send_signal(signal.SIGUSR2)
        for topic, value in silenced.items():
            with self.subTest(topic=topic):
                good = watcher.wait_for(tag(topic, "good", value), since=on)
                self.assertIsNotNone(good, gateway.log())
                # Demoted, it is tried again after demote_s.
                self.assertLessEqual(good[0] - on, 1 + TIMEOUT_S + POLL_S + DELIVERY_S, "seconds to good")
                print(f"{topic} good again {good[0] - on:.2f} s after the station answered again", file=sys.stderr)
        self.assertIn("silenced: no reply", sim.trace())
        # The other station on the line never lost its value once read.
        station1 = [p for _, t, p in watcher.messages() if t == "qv/off/1/D100"]
        first_good = next(i for i, p in enumerate(station1) if p["quality"] == "good")
        for p in station1[:first_good]:
            self.assertEqual((p["quality"], p["value"], p["code"], p["meaning"]), ("bad", None, None, "not read yet"))
        self.assertEqual([p for p in station1[first_good:] if p["quality"] != "good"], [])


class PortLost(unittest.TestCase):
    def test_every_tag_is_bad_with_port_lost_and_a_write_says_so(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        # The adapter unplugged at qvsim's fifth request, for long enough to
        # write through MQTT meanwhile.
        sim = Simulator(P, ["--station", "1", "--set", "D100=5", "--set", "M10=129",
                            "--fault", "drop:8000", "--fault-at", "5"])
        self.addCleanup(sim.stop)
        stations = [station_toml(1, read=["D100..D101", "M10"], write=["D101"], poll_ms=100)]
        gateway = Gateway(P, config_toml(sim.port, stations, line="retries = 0\n") + mqtt_toml(broker, "qv/lost"))
        self.addCleanup(gateway.close)
        watcher = Watcher(broker, ["qv/lost/1/+"])
        self.addCleanup(watcher.stop)

        def tag(name, quality, meaning=None):
            return lambda t, p: t == f"qv/lost/1/{name}" and isinstance(p, dict) and p["quality"] == quality and \
                (meaning is None or p.get("meaning") == meaning)

        for name in ("D100", "M10"):
            with self.subTest(tag=name):
                bad = watcher.wait_for(tag(name, "bad", "port lost"), seconds=20)
                self.assertIsNotNone(bad, gateway.log())
                self.assertEqual((bad[2]["value"], bad[2]["code"]), (None, None))
        result, _ = broker.ask("qv/lost/status", "qv/lost/1/D101/set", '{"value": 3, "id": "lost"}')
        self.assertEqual(result, {"id": "lost", "ok": False, "code": None, "meaning": "port lost"}, gateway.log())
        self.assertNotIn("write D101 = 3", sim.requests())
        # The port back, the values are read again; nothing ever stale.
        for name in ("D100", "M10"):
            with self.subTest(tag=name):
                self.assertIsNotNone(watcher.wait_for(tag(name, "good"), seconds=30), gateway.log())
        self.assertEqual([p for _, _, p in watcher.messages() if isinstance(p, dict) and p.get("quality") == "stale"], [])


class DemotedStation(unittest.TestCase):
    def test_a_write_says_the_station_is_demoted_and_when_it_is_tried_next(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        sim = Simulator(P, ["--station", "2", "--fault", "silent", "--fault-station", "2"])
        self.addCleanup(sim.stop)
        stations = [station_toml(2, read=["D200..D201"], write=["D201"], poll_ms=100)]
        line = "retries = 0\ndemote_after = 1\ndemote_s = 600\n"
        gateway = Gateway(P, config_toml(sim.port, stations, line=line) + mqtt_toml(broker, "qv/dem"))
        self.addCleanup(gateway.close)
        watcher = Watcher(broker, ["qv/dem/2/D200"])
        self.addCleanup(watcher.stop)
        bad = watcher.wait_for(lambda t, p: isinstance(p, dict) and p.get("meaning") == "station demoted: receive time-out",
                               seconds=20)
        self.assertIsNotNone(bad, gateway.log())
        self.assertEqual(bad[2]["code"], 5)
        writes_before = [r for r in sim.requests() if r.startswith("write")]
        result, _ = broker.ask("qv/dem/status", "qv/dem/2/D201/set", '{"value": 3, "id": "d"}')
        self.assertIsNotNone(result, gateway.log())
        # Refused before the line: no driver code of its own.
        self.assertEqual((result["id"], result["ok"], result["code"]), ("d", False, None))
        self.assertRegex(result["meaning"], r"^station demoted: time-outs in a row; next try in \d+\.\d s$")
        self.assertEqual([r for r in sim.requests() if r.startswith("write")], writes_before)


class BrokerGone(unittest.TestCase):
    # Every tag a counter in qvsim: each poll changes all of them, so the
    # updates far outrun the adapter's allowance of unacknowledged messages
    # (one per tag and station, and 16) while the line stays lightly used.
    TAGS = 120  # D100..D219
    POLL_MS = 200
    WARM_S, MEASURED_S = 3, 15

    def test_memory_stays_flat_and_only_the_latest_state_is_published(self):
        # How the broker goes: its process ended (the connection drops at
        # once), or stopped (the connection stays up, nothing is answered).
        for how in ("ended", "frozen"):
            with self.subTest(broker=how):
                self.check_outage(how)

    def check_outage(self, how):
        broker = Broker()
        self.addCleanup(broker.stop)
        last = f"D{99 + self.TAGS}"
        sim = Simulator(P, ["--station", "1", "--counting", f"D100..{last}"])
        self.addCleanup(sim.stop)
        prefix = f"qv/gone-{how}"
        stations = [station_toml(1, read=[f"D100..{last}"], poll_ms=self.POLL_MS)]
        # A keep-alive long enough that the frozen broker's connection is
        # not given up during the test.
        gateway = Gateway(P, config_toml(sim.port, stations) + mqtt_toml(broker, prefix, extra="keepalive_s = 600\n"))
        self.addCleanup(gateway.close)
        self.assertEqual(len(retained_tags(broker, prefix, 1, self.TAGS, seconds=30)), self.TAGS, gateway.log())
        port = broker.port
        read_before = self.registers_read(sim)
        if how == "ended":
            broker.stop()
        else:
            broker.freeze()
        time.sleep(self.WARM_S)
        before = resident_kb(gateway.process.pid)
        time.sleep(self.MEASURED_S)
        after = resident_kb(gateway.process.pid)
        # The counters stop: the station is switched off, every tag's latest
        # state is bad with code 5, and that is what the broker must get.
        sim.process.send_signal(signal.SIGUSR1)
        updates = self.registers_read(sim) - read_before
        time.sleep(4 * TIMEOUT_S + self.POLL_MS / 1000)
        if how == "ended":
            broker = Broker(port)
            self.addCleanup(broker.stop)
        else:
            broker.thaw()
        deadline = time.monotonic() + 30
        got = {}
        while time.monotonic() < deadline:
            got = {t: json.loads(p) for t, p in broker.subscribe([f"{prefix}/1/+"], self.TAGS + 1, 5)}
            got.pop(f"{prefix}/1/status", None)
            if len(got) == self.TAGS and all(v["code"] == 5 for v in got.values()):
                break
            time.sleep(0.5)
        self.assertEqual({(v["quality"], v["code"]) for v in got.values()}, {("bad", 5)}, gateway.log()[-2000:])
        self.assertEqual(len(got), self.TAGS)
        count = folded(gateway.log())
        print(f"broker {how}: resident {before} kB -> {after} kB while {updates} updates came in; {count} folded",
              file=sys.stderr)
        self.assertGreater(updates, 20 * self.TAGS, "too few updates to tell")
        # Kept, each update would cost its topic, payload and the library's
        # record: over 100 bytes apiece. Those of the measured stretch:
        measured = updates * self.MEASURED_S // (self.WARM_S + self.MEASURED_S)
        if os.environ.get("QUORVALEND_SANITIZED") == "1":
            # The sanitizer keeps freed memory resident in its quarantine.
            print("resident size not checked: a sanitizer build", file=sys.stderr)
        else:
            self.assertLess(after - before, measured * 100 // 1024 // 4)
        # Folded: at most every update, and each tag's last value when it
        # turned bad; at least most of them (the adapter looks every 50 ms,
        # a poll comes every 200 ms).
        self.assertLessEqual(count, updates + self.TAGS)
        self.assertGreater(count, updates // 2)
        broker.stop()

    @staticmethod
    def registers_read(sim):
        return sum(int(r.split(" x")[1]) for r in sim.requests() if r.startswith("read D"))

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

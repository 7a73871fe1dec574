#!/usr/bin/env python3
"""Named, typed tags seen with mosquitto_sub and written with mosquitto_pub:
one table of tags (every type, scale, offset and unit, both word orders, an
M bit and a D register's bit) against qvsim's preset memory; writes in
engineering units landing as the right raw registers, read back with qvpoll
once the gateway let go of the line; a bit write that leaves the other bits
alone; writes refused without touching the line; a deadband holding back a
small change while a quality change passes. Linux only.

Usage: test_qvgateway_tags.py QVPOLL   (qvgateway and qvsim beside it)
"""
import json
import re
import signal
import sys
import time
import unittest
import urllib.request

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import Broker, Watcher, mqtt_toml

P = Programs(sys.argv[1:])
del sys.argv[1:]

PREFIX = "qv/tags"

# name, tag keys, registers preset in qvsim, the value subscribers see
TAGS = [
    ("tank1/level", 'address = "D200"\ntype = "u16"\nscale = 0.1\nunit = "degC"\nwritable = true\nmin = 0.0\nmax = 100.0',
     {"D200": 425}, 42.5),
    ("s16/negative", 'address = "D201"\ntype = "s16"\nscale = 0.5\noffset = -10.0\nunit = "bar"\nwritable = true',
     {"D201": 0xFFF6}, -15.0),
    ("u32/high", 'address = "D202"\ntype = "u32"', {"D202": 1, "D203": 2}, 65538),
    ("u32/low", 'address = "D204"\ntype = "u32"\nword_order = "low-first"\nwritable = true',
     {"D204": 1, "D205": 2}, 131073),
    ("s32/high", 'address = "D206"\ntype = "s32"\nscale = 0.001\nunit = "m"', {"D206": 0xFFFF, "D207": 0xFFFE}, -0.002),
    ("s32/low", 'address = "D208"\ntype = "s32"\nword_order = "low-first"', {"D208": 0xFFFE, "D209": 0xFFFF}, -2),
    ("f32/high", 'address = "D210"\ntype = "f32"\nunit = "kg"\nwritable = true', {"D210": 0x4228, "D211": 0x6666}, 42.1),
    ("f32/low", 'address = "D212"\ntype = "f32"\nword_order = "low-first"\nscale = 10\noffset = 1',
     {"D212": 0, "D213": 0x3FC0}, 16.0),
    ("bcd", 'address = "D214"\ntype = "bcd"\nscale = 0.01\nwritable = true', {"D214": 0x1234}, 12.34),
    ("bits/m12", 'address = "M12"\ntype = "bool"\nwritable = true', {"M10": 0x0C}, True),
    ("bits/d300.4", 'address = "D300.4"\ntype = "bool"\nwritable = true', {"D300": 0x8811}, True),
    ("counter", 'address = "D400"\ntype = "u16"\ndeadband = 1000', {"D400": 0}, None),
]
WRITES = ["D200", "D201", "D204", "D205", "D210", "D211", "D214", "D300", "M10"]

# tag, payload, the registers it must leave in qvsim (qvpoll's u16 reading)
GOOD_WRITES = [
    ("tank1/level", '{"value": 55.5, "id": "a"}', {"D200": 555}),
    ("s16/negative", "-20", {"D201": 65516}),
    ("u32/low", '{"value": 196612}', {"D204": 4, "D205": 3}),
    ("f32/high", '{"value": 1.5}', {"D210": 0x3FC0, "D211": 0}),
    ("bcd", "56.78", {"D214": 0x5678}),
    ("bits/m12", "false", {"M10": 0x08}),
    ("bits/d300.4", '{"value": 0}', {"D300": 0x8801}),
]

# tag, payload, a part of the refusal
REFUSED_WRITES = [
    ("tank1/level", '{"value": 100.1, "id": 7}', "outside 0..100"),
    ("tank1/level", "42.55", "whole raw value"),
    ("u32/high", "1", "not writable"),
    ("bits/m12", "2", "true, false, 1 or 0"),
    ("bcd", "100.00", "raw range 0..9999"),
]


def tag_tables():
    return "".join(f'\n[[tag]]\nname = "{name}"\nstation = 1\n{keys}\n' for name, keys, _, _ in TAGS)


def preset_args():
    args = []
    for _, _, registers, _ in TAGS:
        for register, value in registers.items():
            args += ["--set", f"{register}={value}"]
    return args


class NamedTags(unittest.TestCase):
    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.stop)
        self.sim = Simulator(P, ["--silence-station", "1", "--counting", "D400", *preset_args()])
        self.addCleanup(self.sim.stop)
        station = station_toml(1, read=["D100"], write=WRITES, poll_ms=100)
        # Never demoted here: a write after the simulator falls silent must try its fresh read.
        self.gateway = Gateway(P, config_toml(self.sim.port, [station], line="demote_after = 1000\n") +
                               mqtt_toml(self.broker, PREFIX) +
                               '\n[http]\nlisten = "127.0.0.1:0"\n' + tag_tables())
        self.addCleanup(self.gateway.close)
        self.watcher = Watcher(self.broker, [f"{PREFIX}/#"])
        self.addCleanup(self.watcher.stop)

    def latest(self, name, match=lambda p: p["quality"] == "good", since=0.0):
        """The first message on the tag's topic after `since` that `match`es
        (before the first poll a tag is bad: not read yet)."""
        got = self.watcher.wait_for(lambda t, p: t == f"{PREFIX}/{name}" and isinstance(p, dict) and match(p), since)
        self.assertIsNotNone(got, f"{name}: {self.gateway.log()}")
        return got[2]

    def ask(self, name, payload):
        answer, _ = self.broker.ask(f"{PREFIX}/{name}", f"{PREFIX}/{name}/set", payload)
        self.assertIsNotNone(answer, self.gateway.log())
        return answer

    def test_every_type_scaled_with_its_unit(self):
        for name, keys, _, value in TAGS:
            if value is None:
                continue
            with self.subTest(tag=name):
                got = self.latest(name)
                self.assertEqual((got["value"], got["quality"], got["code"]), (value, "good", None), got)
                self.assertIs(type(got["value"]), type(value), got)
                unit = keys.split('unit = "')[1].split('"')[0] if 'unit = "' in keys else ""
                self.assertEqual(got["unit"], unit)
                self.assertRegex(got["ts"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
        # Register topics are only for files without tags, unless asked.
        self.assertEqual([t for _, t, _ in self.watcher.messages() if t.startswith(f"{PREFIX}/1/D")], [])
        # The status page shows the tags, with their units, and no registers.
        port = re.search(r"HTTP on 127\.0\.0\.1:(\d+)", self.gateway.log()).group(1)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/status.json", timeout=5) as reply:
            shown = json.load(reply)["stations"][0]["tags"]
        self.assertEqual([t["tag"] for t in shown], [name for name, _, _, _ in TAGS])
        self.assertEqual(shown[0]["unit"], "degC")

    def test_writes_land_as_raw_registers_and_refusals_never_reach_the_line(self):
        self.latest("tank1/level")
        for name, payload, why in REFUSED_WRITES:
            with self.subTest(refused=name, payload=payload):
                before = len(self.sim.requests())
                answer = self.ask(name, payload)
                self.assertFalse(answer["ok"], answer)
                self.assertIn(why, answer["meaning"])
                writes = [r for r in self.sim.requests()[before:] if "write" in r.lower()]
                self.assertEqual(writes, [], "a refused write reached the line")
        self.assertEqual(self.ask("tank1/level", '{"value": 100.1, "id": 7}')["id"], 7)
        for name, payload, _ in GOOD_WRITES:
            with self.subTest(written=name):
                answer = self.ask(name, payload)
                self.assertTrue(answer["ok"], (answer, self.gateway.log()))
        self.assertEqual(self.latest("tank1/level", lambda p: p["value"] == 55.5)["value"], 55.5)
        # The D bit: its register read from the line just before it is written.
        requests = self.sim.requests()
        written = requests.index(f"write D300 = {0x8801}")
        self.assertTrue(requests[written - 1].startswith("read D300"), requests[written - 3:written + 1])
        code, _ = self.gateway.stop(signal.SIGTERM)
        self.assertEqual(code, 0, self.gateway.log())
        expected = {r: v for _, _, registers in GOOD_WRITES for r, v in registers.items()}
        code, out, err = P.run_qvpoll(["--baud", "57600", "--format", "json", "-q", *expected], port=self.sim.port)
        self.assertEqual(code, 0, err)
        rows = [json.loads(line) for line in out.splitlines() if line.strip()]
        got = {row["tag"]: row["value"] for row in rows}
        self.assertEqual(got, expected, out)

    def status_tag(self, name):
        port = re.search(r"HTTP on 127\.0\.0\.1:(\d+)", self.gateway.log()).group(1)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/status.json", timeout=5) as reply:
            return {t["tag"]: t for t in json.load(reply)["stations"][0]["tags"]}[name]

    def test_deadband_holds_small_changes_and_lets_quality_through(self):
        # D400 counts up by one at every read: far inside the deadband of 1000.
        first = self.latest("counter")
        since = time.monotonic()
        deadline = since + 10
        while self.status_tag("counter")["value"] < first["value"] + 5 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertGreaterEqual(self.status_tag("counter")["value"], first["value"] + 5, "the counter did not move")
        counter = [p for _, t, p in self.watcher.messages(since) if t == f"{PREFIX}/counter"]
        self.assertEqual(counter, [], "a change inside the deadband was published")
        off = time.monotonic()
        self.sim.process.send_signal(signal.SIGUSR1)
        bad = self.latest("counter", lambda p: p["quality"] == "bad", since=off)
        self.assertEqual((bad["value"], bad["code"]), (None, 5), bad)
        # A bit's write whose fresh read fails writes nothing.
        before = len(self.sim.requests())
        answer = self.ask("bits/d300.4", "false")
        self.assertEqual((answer["ok"], answer["code"]), (False, 5), answer)
        self.assertEqual([r for r in self.sim.requests()[before:] if r.startswith("write")], [])


class RegisterTopicsBesideTags(unittest.TestCase):
    def test_registers_true_publishes_both(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        station = station_toml(1, read=["D100"], poll_ms=100)
        gateway = Gateway(P, config_toml("sim", [station], line='sim_set = ["D100=7", "D200=425"]\n') +
                          mqtt_toml(broker, PREFIX, extra="registers = true\n") +
                          '\n[[tag]]\nname = "tank1/level"\nstation = 1\naddress = "D200"\nscale = 0.1\n')
        self.addCleanup(gateway.close)
        watcher = Watcher(broker, [f"{PREFIX}/#"])
        self.addCleanup(watcher.stop)
        for topic, value in [("1/D100", 7), ("1/D200", 425), ("tank1/level", 42.5)]:
            with self.subTest(topic=topic):
                got = watcher.wait_for(lambda t, p: t == f"{PREFIX}/{topic}" and isinstance(p, dict) and
                                       p["quality"] == "good")
                self.assertIsNotNone(got, gateway.log())
                self.assertEqual(got[2]["value"], value)


if __name__ == "__main__":
    unittest.main(verbosity=2)

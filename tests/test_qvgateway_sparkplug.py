#!/usr/bin/env python3
"""qvgateway as a Sparkplug B edge node, seen by a host application built
from npm packages nobody here wrote (tests/sparkplug/host.js: `mqtt` and
`sparkplug-payload`), through mosquitto, with qvsim on the line: births
with every tag's type, unit and quality against qvsim's memory; seq
continuity over 1,000 messages; NDEATH with the NBIRTH's bdSeq on SIGKILL
(the Will) and on SIGTERM; Rebirth; DCMD writes that land in qvsim and come
back as DDATA, one to a read-only tag refused before the line, and one
the controller refuses logged and never published; a station silenced and
back (DDEATH, DBIRTH), and the port lost and back; the primary host offline and
back; a broker outage (10 s here, to keep the suite short) with a counter
changing every 100 ms, every change arriving in order, once, the held ones
flagged historical; the same across a gateway restart during the outage; a
full buffer dropping the oldest and saying so. Linux only; it fails when
`make deps` has not installed the npm packages.

Usage: test_qvgateway_sparkplug.py QVPOLL   (qvgateway and qvsim beside it)
"""
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest
import urllib.request

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import free_port

ARGS = sys.argv[1:]
P = Programs(ARGS)
sys.argv[1:] = ARGS  # test names, if any

HOST_JS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sparkplug", "host.js")
if not os.path.isdir(os.path.join(os.path.dirname(HOST_JS), "node_modules", "sparkplug-payload")):
    # make deps installs them; a missing host is a broken setup, not a reason to skip
    print("failed: the test host's npm packages are not installed: run make deps", file=sys.stderr)
    sys.exit(1)

GROUP, NODE = "plant1", "line1"
OUTAGE_S = 10  # the outage; a minute in the field, shortened to keep make test reasonable

# name, [[tag]] keys, qvsim's memory for it, the metric's type, value, engUnit
TAGS = [
    ("temp", 'address = "D200"\ntype = "u16"\nscale = 0.1\nunit = "degC"\nwritable = true\nmin = 0.0\nmax = 100.0',
     {"D200": 425}, "Double", 42.5, "degC"),
    ("offset", 'address = "D201"\ntype = "s16"', {"D201": 0xFFF6}, "Int16", -10, None),
    ("count32", 'address = "D202"\ntype = "u32"', {"D202": 1, "D203": 2}, "UInt32", 65538, None),
    ("signed32", 'address = "D204"\ntype = "s32"\nword_order = "low-first"', {"D204": 0xFFFE, "D205": 0xFFFF},
     "Int32", -2, None),
    ("weight", 'address = "D206"\ntype = "f32"\nunit = "kg"', {"D206": 0x4228, "D207": 0x6666}, "Float", 42.1, "kg"),
    ("running", 'address = "M12"\ntype = "bool"\nwritable = true', {"M10": 0x0C}, "Boolean", True, None),
    ("speed", 'address = "D210"\ntype = "u16"\nwritable = true', {"D210": 1234}, "UInt16", 1234, None),
    ("fixed", 'address = "D211"\ntype = "u16"', {"D211": 7}, "UInt16", 7, None),
]
WRITES = ["D200", "D210", "M10"]


def tag_tables(tags, station=1):
    return "".join(f'\n[[tag]]\nname = "{t[0]}"\nstation = {station}\n{t[1]}\n' for t in tags)


def presets(tags):
    return [a for t in tags for r, v in t[2].items() for a in ("--set", f"{r}={v}")]


def sparkplug_toml(port, extra=""):
    return f'\n[sparkplug]\nbroker = "127.0.0.1:{port}"\ngroup_id = "{GROUP}"\nedge_node_id = "{NODE}"\n{extra}'


class Broker:
    """mosquitto on a loopback port of its own, keeping sessions across its
    own restart (persistence in the scratch folder), so that what it
    acknowledged to the edge node reaches the host after an outage."""

    serial = 0

    def __init__(self):
        Broker.serial += 1
        self.port = free_port()
        folder = os.path.join(P.scratch, f"broker{Broker.serial}")
        os.makedirs(folder)
        self.conf = os.path.join(folder, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"user root\nlistener {self.port} 127.0.0.1\nallow_anonymous true\npersistence true\n"
                    f"persistence_location {folder}/\nautosave_interval 0\n")
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                import socket
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("mosquitto did not listen")
                time.sleep(0.05)

    def freeze(self):
        """The broker stops reading and acknowledging; its connections stay."""
        self.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.thaw()  # a stopped process would not hear SIGTERM
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Host:
    """node host.js: every message as a dict with its arrival index."""

    def __init__(self, broker, host_id="scada1"):
        self.process = subprocess.Popen(["node", HOST_JS, str(broker.port), GROUP, host_id], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.seen, self.lock = [], threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if self.wait_for(lambda m: m.get("connected"), seconds=20) is None:
            self.stop()
            raise RuntimeError("the test host did not connect")

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.seen.append(json.loads(line))

    def messages(self, since=0):
        with self.lock:
            return self.seen[since:]

    def mark(self):
        with self.lock:
            return len(self.seen)

    def wait_for(self, match, since=0, seconds=15):
        deadline = time.monotonic() + seconds
        while True:
            for m in self.messages(since):
                if match(m):
                    return m
            if time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def send(self, command):
        mark = self.mark()
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        return self.wait_for(lambda m: "sent" in m, since=mark)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        self.process.stdout.close()
        self.process.stdin.close()


def of(kind, device=None, match=lambda m: True):
    return lambda m: m.get("type") == kind and (device is None or m.get("device") == device) and match(m)


def metric(message, name):
    return next((x for x in message["metrics"] if x.get("name") == name), None)


class EdgeNode(unittest.TestCase):
    """One node with two devices: press1 (every tag type) and pump2 (a
    station that can be silenced)."""

    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.stop)
        self.host = Host(self.broker)
        self.addCleanup(self.host.stop)
        self.sim_args = ["--station", "1", "--station", "2", "--silence-station", "2", "--set", "D300=5",
                         *presets(TAGS)]
        self.sim = Simulator(P, self.sim_args)
        self.addCleanup(lambda: self.sim.stop())
        stations = [station_toml(1, read=["D100"], write=WRITES, poll_ms=100) + 'name = "press1"\n',
                    station_toml(2, read=["D300"], poll_ms=100) + 'name = "pump2"\n']
        self.buffer = os.path.join(P.scratch, f"buffer-{self.id().rsplit('.', 1)[1]}")
        self.toml = (config_toml(self.sim.port, stations, line="retries = 0\ndemote_after = 1\ndemote_s = 1\n") +
                     sparkplug_toml(self.broker.port, f'buffer_dir = "{self.buffer}"\n') + tag_tables(TAGS) +
                     '\n[[tag]]\nname = "flow"\nstation = 2\naddress = "D300"\ntype = "u16"\n')
        self.gateway = Gateway(P, self.toml)
        self.addCleanup(lambda: self.gateway.close())

    def births(self, since=0):
        nbirth = self.host.wait_for(of("NBIRTH"), since)
        self.assertIsNotNone(nbirth, self.gateway.log())
        dbirth = self.host.wait_for(of("DBIRTH", "press1"), since)
        self.assertIsNotNone(dbirth, self.gateway.log())
        return nbirth, dbirth

    def test_births_carry_every_tag_with_type_unit_and_quality(self):
        nbirth, dbirth = self.births()
        self.assertEqual(nbirth["seq"], 0)
        self.assertEqual(metric(nbirth, "bdSeq")["type"], "Int64")
        self.assertEqual((metric(nbirth, "Node Control/Rebirth")["type"], metric(nbirth, "Node Control/Rebirth")["value"]),
                         ("Boolean", False))
        self.assertEqual(metric(nbirth, "Line/Port Open")["value"], True)
        self.assertEqual(metric(nbirth, "Line/Utilisation")["type"], "Double")
        aliases = set()
        for name, _, _, kind, value, unit in TAGS:
            with self.subTest(tag=name):
                m = metric(dbirth, name)
                self.assertIsNotNone(m, dbirth)
                self.assertEqual(m["type"], kind)
                if isinstance(value, float):
                    self.assertAlmostEqual(m["value"], value, places=5)
                else:
                    self.assertEqual(m["value"], value)
                self.assertEqual(m["properties"]["Quality"]["value"], 192)
                self.assertEqual(m["properties"].get("engUnit", {}).get("value"), unit)
                aliases.add(m["alias"])
        self.assertEqual(len(aliases), len(TAGS), "each tag its own alias")
        pump = self.host.wait_for(of("DBIRTH", "pump2"))
        self.assertIsNotNone(pump)
        self.assertEqual((metric(pump, "flow")["value"], metric(pump, "flow")["type"]), (5, "UInt16"))
        self.assertNotIn(metric(pump, "flow")["alias"], aliases, "aliases are unique across the node")

    def test_rebirth_says_every_birth_again_with_the_same_bdseq(self):
        nbirth, _ = self.births()
        mark = self.host.mark()
        self.host.send({"cmd": "ncmd", "node": NODE,
                        "metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": True}]})
        again, dbirth = self.births(mark)
        self.assertEqual(again["seq"], 0)
        self.assertEqual(metric(again, "bdSeq")["value"], metric(nbirth, "bdSeq")["value"])
        self.assertEqual(dbirth["seq"] in range(1, 256), True)
        self.assertIsNotNone(self.host.wait_for(of("DBIRTH", "pump2"), mark))

    def test_dcmd_writes_land_in_qvsim_and_come_back_as_ddata(self):
        _, dbirth = self.births()
        alias = metric(dbirth, "temp")["alias"]
        # by name, by alias, a bool: the value the host reads back, and the
        # request qvsim received
        cases = [({"name": "speed", "type": "UInt16", "value": 4321}, "speed", 4321, r"write D210 = 4321"),
                 ({"alias": alias, "type": "Double", "value": 55.5}, "temp", 55.5, r"write D200 = 555"),
                 ({"name": "running", "type": "Boolean", "value": False}, "running", False, r"write M10 = 8")]
        for command, name, value, landed in cases:
            with self.subTest(tag=name):
                mark = self.host.mark()
                self.host.send({"cmd": "dcmd", "node": NODE, "device": "press1", "metrics": [command]})
                data = self.host.wait_for(of("DDATA", "press1", lambda m: any(
                    x.get("alias") == metric(dbirth, name)["alias"] and x["value"] == value for x in m["metrics"])),
                                          mark)
                self.assertIsNotNone(data, self.gateway.log())
                self.assertRegex(self.gateway.log(), rf"write from sparkplug DCMD press1: station 1 tag {name} = .*: done")
                self.assertRegex(self.sim.trace(), landed, "the write reached qvsim")

    def test_a_dcmd_to_a_read_only_tag_never_reaches_the_line(self):
        self.births()
        requests = len(self.sim.requests())
        mark = self.host.mark()
        speed = {"name": "speed", "type": "UInt16", "value": 1234}
        # A command is written whole or not at all: first, so that a write
        # of its good metric would have the other cases' time to show.
        cases = [([speed, {"name": "fixed", "type": "UInt16", "value": 9}], "another metric of this command"),
                 ([{"name": "fixed", "type": "UInt16", "value": 9}], "not writable"),
                 ([{"name": "nosuch", "type": "UInt16", "value": 9}], "no tag nosuch"),
                 ([{"name": "temp", "type": "Double", "value": 100.5}], "outside"),
                 ([{"name": "running", "type": "UInt16", "value": 2}], "a Boolean, 1 or 0")]
        for command, why in cases:
            with self.subTest(command=command):
                self.host.send({"cmd": "dcmd", "node": NODE, "device": "press1", "metrics": command})
                deadline = time.monotonic() + 5
                while why not in self.gateway.log() and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertRegex(self.gateway.log(), r"refused before the line: .*" + re.escape(why))
        writes = [r for r in self.sim.requests()[requests:] if "write" in r.lower()]
        self.assertEqual(writes, [], "nothing written")
        changed = [m for m in self.host.messages(mark) if m.get("type") == "DDATA" and m["device"] == "press1"]
        self.assertEqual(changed, [], "no tag reported changed")

    def test_a_station_silenced_dies_and_is_born_again(self):
        self.births()
        self.assertIsNotNone(self.host.wait_for(of("DBIRTH", "pump2")), self.gateway.log())
        mark = self.host.mark()
        self.sim.process.send_signal(signal.SIGUSR1)
        death = self.host.wait_for(of("DDEATH", "pump2"), mark)
        self.assertIsNotNone(death, self.gateway.log())
        mark = self.host.mark()
        self.sim.process.send_signal(signal.SIGUSR2)
        birth = self.host.wait_for(of("DBIRTH", "pump2"), mark)
        self.assertIsNotNone(birth, self.gateway.log())
        self.assertEqual((metric(birth, "flow")["value"], metric(birth, "flow")["properties"]["Quality"]["value"]),
                         (5, 192))
        # The other device lived on throughout.
        self.assertEqual([m for m in self.host.messages() if m.get("type") == "DDEATH" and m["device"] == "press1"], [])

    def test_ndeath_carries_the_nbirths_bdseq_and_bdseq_survives_a_restart(self):
        previous, since = None, 0
        for sig in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                nbirth, _ = self.births(since)
                bdseq = metric(nbirth, "bdSeq")["value"]
                if previous is not None:
                    self.assertEqual(bdseq, (previous + 1) % 256, "kept in buffer_dir across the restart")
                mark = self.host.mark()
                self.gateway.process.send_signal(sig)
                self.gateway.process.wait(10)
                death = self.host.wait_for(of("NDEATH"), mark)
                self.assertIsNotNone(death, self.gateway.log())
                self.assertEqual(metric(death, "bdSeq")["value"], bdseq)
                self.gateway.close()
                if sig == signal.SIGKILL:
                    # A pseudo-terminal keeps the exclusive flag of a holder
                    # that was killed for as long as its other side is open,
                    # and only a privileged open passes it; a real port's last
                    # close clears it. A new simulator gives the restarted
                    # gateway a free line, as the port would be.
                    self.sim.stop()
                    old_port = self.sim.port
                    self.sim = Simulator(P, self.sim_args)
                    self.toml = self.toml.replace(f'"{old_port}"', f'"{self.sim.port}"')
                previous, since = bdseq, self.host.mark()
                self.gateway = Gateway(P, self.toml)

    def test_a_reload_says_death_and_is_born_again_with_the_new_file(self):
        nbirth, _ = self.births()
        bdseq = metric(nbirth, "bdSeq")["value"]
        mark = self.host.mark()
        with open(self.gateway.config_path, "w") as f:
            f.write(self.toml + '\n[[tag]]\nname = "temp_raw"\nstation = 1\naddress = "D200"\nunit = "raw"\n')
        self.gateway.process.send_signal(signal.SIGHUP)
        death = self.host.wait_for(of("NDEATH"), mark)
        self.assertIsNotNone(death, self.gateway.log())
        self.assertEqual(metric(death, "bdSeq")["value"], bdseq)
        again, dbirth = self.births(mark)
        self.assertEqual(metric(again, "bdSeq")["value"], (bdseq + 1) % 256, "a new session after the reload")
        raw = metric(dbirth, "temp_raw")
        self.assertEqual((raw["value"], raw["properties"]["engUnit"]["value"]), (425, "raw"))
        self.assertIn("reloaded", self.gateway.log())


class RefusedWrite(unittest.TestCase):
    def test_a_write_the_controller_refuses_is_logged_and_never_published(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        host = Host(broker)
        self.addCleanup(host.stop)
        # Station 1 answers every request with a NAK: reads and writes refused.
        sim = Simulator(P, ["--station", "1", "--fault", "nak"])
        self.addCleanup(sim.stop)
        gateway = Gateway(P, config_toml(sim.port, [station_toml(1, read=["D100"], write=["D100"], poll_ms=100)]) +
                          sparkplug_toml(broker.port) +
                          '\n[[tag]]\nname = "speed"\nstation = 1\naddress = "D100"\nwritable = true\n')
        self.addCleanup(gateway.close)
        self.assertIsNotNone(host.wait_for(of("NBIRTH")), gateway.log())
        mark = host.mark()
        host.send({"cmd": "dcmd", "node": NODE, "device": "station1",
                   "metrics": [{"name": "speed", "type": "UInt16", "value": 77}]})
        deadline = time.monotonic() + 10
        while "tag speed = 77: failed" not in gateway.log() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertRegex(gateway.log(), r"write from sparkplug DCMD station1: station 1 tag speed = 77: failed: ")
        time.sleep(0.5)  # a few scans: nothing may say 77
        said = [x for m in host.messages(mark) if m.get("type") in ("DDATA", "DBIRTH") for x in m["metrics"]
                if x.get("value") == 77]
        self.assertEqual(said, [], "no value the controller did not take")


class PortLost(unittest.TestCase):
    def test_every_device_dies_with_the_port_and_is_born_again(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        host = Host(broker)
        self.addCleanup(host.stop)
        # The adapter unplugged at qvsim's tenth request, for 3 s.
        sim = Simulator(P, ["--station", "1", "--station", "2", "--set", "D300=5", "--fault", "drop:3000",
                            "--fault-at", "10"])
        self.addCleanup(sim.stop)
        stations = [station_toml(1, read=["D100"], poll_ms=100) + 'name = "press1"\n',
                    station_toml(2, read=["D300"], poll_ms=100) + 'name = "pump2"\n']
        gateway = Gateway(P, config_toml(sim.port, stations) + sparkplug_toml(broker.port) +
                          '\n[[tag]]\nname = "a"\nstation = 1\naddress = "D100"\n'
                          '\n[[tag]]\nname = "flow"\nstation = 2\naddress = "D300"\n')
        self.addCleanup(gateway.close)
        nbirth = host.wait_for(of("NBIRTH"))
        self.assertIsNotNone(nbirth, gateway.log())
        port_open = metric(nbirth, "Line/Port Open")["alias"]
        for device in ("press1", "pump2"):
            with self.subTest(device=device):
                self.assertIsNotNone(host.wait_for(of("DDEATH", device)), gateway.log())
                self.assertIsNotNone(host.wait_for(of("DBIRTH", device, lambda m: host.messages().index(m) > [
                    i for i, x in enumerate(host.messages()) if x.get("type") == "DDEATH" and x["device"] == device][0]),
                    seconds=20), gateway.log())
        said = [x["value"] for m in host.messages() if m.get("type") == "NDATA" for x in m["metrics"]
                if x.get("alias") == port_open]
        self.assertEqual(said[:2], [False, True], "the line's port said lost, then open again")


class SeqContinuity(unittest.TestCase):
    def test_seq_steps_by_one_over_a_thousand_messages(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        host = Host(broker)
        self.addCleanup(host.stop)
        # Two stations counting at every read: two devices' DDATA interleave.
        sim = Simulator(P, ["--station", "1", "--station", "2", "--counting", "D400", "--counting", "D500"])
        self.addCleanup(sim.stop)
        stations = [station_toml(1, read=["D400"], poll_ms=10), station_toml(2, read=["D500"], poll_ms=10)]
        gateway = Gateway(P, config_toml(sim.port, stations) + sparkplug_toml(broker.port) +
                          '\n[[tag]]\nname = "a"\nstation = 1\naddress = "D400"\n'
                          '\n[[tag]]\nname = "b"\nstation = 2\naddress = "D500"\n')
        self.addCleanup(gateway.close)
        self.assertIsNotNone(host.wait_for(of("NBIRTH")), gateway.log())
        self.assertIsNotNone(host.wait_for(lambda m: len([x for x in host.messages() if "seq" in x]) >= 1001,
                                           seconds=120), gateway.log())
        node = [m for m in host.messages() if "seq" in m]
        self.assertEqual(node[0]["type"], "NBIRTH")
        seqs = [m["seq"] for m in node[:1001]]
        gaps = [(i, a, b) for i, (a, b) in enumerate(zip(seqs, seqs[1:])) if b != (a + 1) % 256]
        self.assertEqual(gaps, [])
        self.assertIn(255, seqs)


def counter_values(messages, alias, since=0):
    """(value, historical, timestamp) of every DDATA metric of `alias`; a
    message the broker delivered again after its own restart (dup, the
    same seq and time as one already seen) is counted once, as a host
    does."""
    seen, values = set(), []
    for m in messages[since:]:
        if m.get("type") != "DDATA":
            continue
        key = (m["topic"], m["seq"], m["timestamp"])
        if m.get("dup") and key in seen:
            continue
        seen.add(key)
        values += [(x["value"], bool(x.get("isHistorical")), x["timestamp"]) for x in m["metrics"]
                   if x.get("alias") == alias]
    return values


class StoreAndForward(unittest.TestCase):
    """A counter changing every 100 ms in qvsim, polled every 30 ms."""

    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.stop)
        self.host = Host(self.broker)
        self.addCleanup(self.host.stop)
        self.sim = Simulator(P, ["--counting", "D400", "--tick-ms", "100"])
        self.addCleanup(self.sim.stop)
        self.buffer = os.path.join(P.scratch, f"sf-{self.id().rsplit('.', 1)[1]}")

    def start(self, extra=""):
        self.toml = (config_toml(self.sim.port, [station_toml(1, read=["D400"], poll_ms=30)]) +
                     sparkplug_toml(self.broker.port, f'buffer_dir = "{self.buffer}"\n{extra}') +
                     '\n[http]\nlisten = "127.0.0.1:0"\n'
                     '\n[[tag]]\nname = "count"\nstation = 1\naddress = "D400"\n')
        self.gateway = Gateway(P, self.toml)
        self.addCleanup(lambda: self.gateway.close())
        dbirth = self.host.wait_for(of("DBIRTH"))
        self.assertIsNotNone(dbirth, self.gateway.log())
        return metric(dbirth, "count")["alias"]

    def check_every_change_once_in_order(self, alias, historical_at_least=OUTAGE_S * 10 * 0.8, down=None):
        """`down`: wall-clock (ms) when a gateway was told to stop and when
        the next one had started. The counter steps on without anyone
        reading it then: those steps are the one gap allowed, and only as
        many as the times of the reads on either side of it explain."""
        values = counter_values(self.host.messages(), alias)
        numbers = [v for v, _, _ in values]
        gaps = [(i, a, b) for i, (a, b) in enumerate(zip(numbers, numbers[1:])) if b != a + 1]
        if down and len(gaps) == 1:
            i, a, b = gaps[0]
            before, after = values[i][2], values[i + 1][2]
            # The old gateway read until shortly before its stop, the new one
            # soon after its start, and no step seen by a reader is missing.
            if (b > a and before >= down[0] - 1000 and after <= down[1] + 2000 and
                    b - a <= (after - before) // 100 + 2):
                gaps = []
        self.assertEqual(gaps, [], f"every change once, in order: {values[:8]}...")
        historical = [v for v, h, _ in values if h]
        self.assertGreaterEqual(len(historical), historical_at_least, "the outage's changes, flagged historical")
        stamps = [t for _, _, t in values]
        self.assertEqual(stamps, sorted(stamps), "each with its original time")
        return values

    def metrics(self):
        port = int(re.search(r"HTTP on 127\.0\.0\.1:(\d+)", self.gateway.log()).group(1))
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as reply:
            text = reply.read().decode()
        return {k: float(v) for k, v in re.findall(r"^quorvalend_(sparkplug_\w+) (\S+)$", text, re.M)}

    def between_changes(self):
        """Returns just after a change reached the host: the broker has
        acknowledged it, and the next is 100 ms away."""
        mark = self.host.mark()
        for _ in range(3):
            got = self.host.wait_for(of("DDATA"), mark)
            self.assertIsNotNone(got, self.gateway.log())
            mark = self.host.messages().index(got) + 1

    def outage(self, during=lambda: None):
        self.between_changes()
        self.broker.stop()
        started = time.monotonic()
        during()
        while time.monotonic() - started < OUTAGE_S:
            time.sleep(0.2)
        mark = self.host.mark()
        self.broker.start()
        return mark

    def wait_replayed(self, mark, births=True):
        if births:
            self.assertIsNotNone(self.host.wait_for(of("NBIRTH"), mark, seconds=30), self.gateway.log())
        done = self.host.wait_for(of("DDATA", None, lambda m: not any(x.get("isHistorical") for x in m["metrics"])),
                                  mark, seconds=30)
        self.assertIsNotNone(done, self.gateway.log())
        deadline = time.monotonic() + 10
        while "buffer replayed" not in self.gateway.log() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.5)  # a few live changes after the replay, for the continuity check

    def test_a_broker_outage_loses_nothing(self):
        alias = self.start()
        mark = self.outage()
        self.wait_replayed(mark)
        self.check_every_change_once_in_order(alias)
        got = self.metrics()
        self.assertGreaterEqual(got["sparkplug_replayed_total"], OUTAGE_S * 10 * 0.8)
        self.assertEqual(got["sparkplug_buffer_dropped_total"], 0)

    def test_a_broker_that_stops_acknowledging_loses_nothing(self):
        alias = self.start()
        self.between_changes()
        mark = self.host.mark()
        self.broker.freeze()
        time.sleep(OUTAGE_S)
        self.broker.thaw()
        self.assertIsNotNone(self.host.wait_for(of("DDATA", None, lambda m: any(
            x.get("isHistorical") for x in m["metrics"])), mark, seconds=30), self.gateway.log())
        self.wait_replayed(mark, births=False)
        # 64 messages wait for their acknowledgement; the rest was held in the buffer.
        self.check_every_change_once_in_order(alias, historical_at_least=OUTAGE_S * 10 - 64 - 10)

    def test_a_restart_during_the_outage_loses_nothing(self):
        alias = self.start()
        down = []

        def restart():
            time.sleep(OUTAGE_S / 2)
            down.append(int(time.time() * 1000))
            code, _ = self.gateway.stop(signal.SIGTERM, wait=10)
            self.assertEqual(code, 0, self.gateway.log())
            self.assertIn("stay in the buffer", self.gateway.log())
            self.gateway.close()
            self.gateway = Gateway(P, self.toml)
            down.append(int(time.time() * 1000))

        mark = self.outage(restart)
        self.wait_replayed(mark)
        self.check_every_change_once_in_order(alias, down=down)


class FullBuffer(unittest.TestCase):
    def test_a_full_buffer_drops_the_oldest_and_says_so(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        host = Host(broker)
        self.addCleanup(host.stop)
        sim = Simulator(P, ["--counting", "D400..D599"])
        self.addCleanup(sim.stop)
        # Long names make long records: the bound is reached in seconds.
        tags = "".join(f'\n[[tag]]\nname = "c{i}/{"x" * 200}"\nstation = 1\naddress = "D{400 + i}"\n'
                       for i in range(200))
        buffer = os.path.join(P.scratch, "full")
        gateway = Gateway(P, config_toml(sim.port, [station_toml(1, read=["D400..D599"], poll_ms=250)]) +
                          sparkplug_toml(broker.port, f'buffer_dir = "{buffer}"\nbuffer_max_mb = 1\n') +
                          '\n[http]\nlisten = "127.0.0.1:0"\n' + tags)
        self.addCleanup(gateway.close)
        self.assertIsNotNone(host.wait_for(of("DBIRTH")), gateway.log())
        broker.stop()
        deadline = time.monotonic() + 60
        while "oldest changes are dropped" not in gateway.log() and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertEqual(gateway.log().count("oldest changes are dropped"), 1, gateway.log())
        port = int(re.search(r"HTTP on 127\.0\.0\.1:(\d+)", gateway.log()).group(1))
        time.sleep(1.5)  # a few more drops in the same episode: said once
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as reply:
            text = reply.read().decode()
        got = {k: float(v) for k, v in re.findall(r"^quorvalend_(sparkplug_\w+) (\S+)$", text, re.M)}
        self.assertGreater(got["sparkplug_buffer_dropped_total"], 0)
        self.assertLessEqual(got["sparkplug_buffer_bytes"], 1 << 20)
        self.assertGreater(got["sparkplug_buffer_age_seconds"], 0)
        self.assertEqual(gateway.log().count("oldest changes are dropped"), 1)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/status.json", timeout=5) as reply:
            page = json.loads(reply.read())["sparkplug"]
        self.assertEqual((page["connected"], page["online"]), (False, False))
        self.assertGreater(page["buffer"]["depth"], 0)
        self.assertGreater(page["buffer"]["dropped"], 0)
        self.assertIsNotNone(page["buffer"]["oldest"])


class PrimaryHost(unittest.TestCase):
    def test_births_only_while_the_primary_host_is_online(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        host = Host(broker)
        self.addCleanup(host.stop)
        sim = Simulator(P, ["--counting", "D400", "--tick-ms", "100"])
        self.addCleanup(sim.stop)
        gateway = Gateway(P, config_toml(sim.port, [station_toml(1, read=["D400"], poll_ms=30)]) +
                          sparkplug_toml(broker.port, f'primary_host_id = "scada1"\n'
                                                      f'buffer_dir = "{os.path.join(P.scratch, "primary")}"\n') +
                          '\n[[tag]]\nname = "count"\nstation = 1\naddress = "D400"\n')
        self.addCleanup(gateway.close)
        deadline = time.monotonic() + 10
        while "waiting for primary host scada1" not in gateway.log() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn("waiting for primary host scada1", gateway.log())
        self.assertIsNone(host.wait_for(of("NBIRTH"), seconds=1), "no birth before the host is online")
        host.send({"cmd": "state", "online": True})
        dbirth = host.wait_for(of("DBIRTH"))
        self.assertIsNotNone(dbirth, gateway.log())
        alias = metric(dbirth, "count")["alias"]
        nbirth = host.wait_for(of("NBIRTH"))
        mark = host.mark()
        host.send({"cmd": "state", "online": False})
        death = host.wait_for(of("NDEATH"), mark)
        self.assertIsNotNone(death, gateway.log())
        self.assertEqual(metric(death, "bdSeq")["value"], metric(nbirth, "bdSeq")["value"])
        time.sleep(2)  # the counter changes 20 times meanwhile
        after = host.messages().index(death) + 1
        quiet = [m for m in host.messages(after) if m.get("type") in ("DDATA", "NBIRTH", "DBIRTH")]
        self.assertEqual(quiet, [], "nothing while the primary host is offline")
        mark = host.mark()
        host.send({"cmd": "state", "online": True})
        self.assertIsNotNone(host.wait_for(of("NBIRTH"), mark), gateway.log())
        self.assertIsNotNone(host.wait_for(of("DDATA", None, lambda m: any(x.get("isHistorical") for x in m["metrics"])),
                                           mark), "the held changes replayed")
        live = host.wait_for(of("DDATA", None, lambda m: not any(x.get("isHistorical") for x in m["metrics"])), mark)
        self.assertIsNotNone(live, gateway.log())
        numbers = [v for v, _, _ in counter_values(host.messages(), alias)]
        self.assertEqual([(a, b) for a, b in zip(numbers, numbers[1:]) if b != a + 1], [])


if __name__ == "__main__":
    unittest.main()

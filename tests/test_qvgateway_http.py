#!/usr/bin/env python3
"""qvgateway's HTTP side as a monitoring system and a supervisor see it:
/metrics is text promtool accepts, every family with its help and type,
and its counters are what the test did (Modbus requests by function and
outcome, transactions by station and outcome, a silent station's
time-outs and their times, the port lost once); /healthz is 200 only while
the port is open, every station answers and the broker (when configured) is
connected, 503 naming the parts down otherwise; only GET and HEAD, only
known paths. Linux only.

Usage: test_qvgateway_http.py QVPOLL   (qvgateway and qvsim beside it)
"""
import http.client
import json
import math
import re
import shutil
import subprocess
import sys
import time
import unittest

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import Broker

P = Programs(sys.argv[1:])
del sys.argv[1:]

HTTP = '\n[http]\nlisten = "127.0.0.1:0"\n'
TIMEOUT_S = 0.2  # the line's timeout_ms in config_toml
D_VALUES = {100 + i: 500 + 11 * i for i in range(10)}
M_VALUES = {10: 0x5A, 20: 0xA5}
SIM_SET = "sim_set = [" + ", ".join([f'"D{r}={v}"' for r, v in D_VALUES.items()] +
                                    [f'"M{g}={v}"' for g, v in M_VALUES.items()]) + "]\n"
PRESETS = [a for r, v in D_VALUES.items() for a in ("--set", f"D{r}={v}")]


def web_port(gateway):
    found = re.search(r"HTTP on 127\.0\.0\.1:(\d+)", gateway.log())
    if not found:
        raise AssertionError("no HTTP port in the start line: " + gateway.log())
    return int(found.group(1))


def fetch(port, path, method="GET"):
    """(status, content type, body) of one request."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    try:
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read().decode(), response
    finally:
        connection.close()


SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$")
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(,|$)')


class Scrape:
    """One /metrics answer: its samples by name and labels, its families'
    types and help."""

    def __init__(self, text):
        self.text = text
        self.samples, self.types, self.helps = {}, {}, {}
        for line in text.splitlines():
            if line.startswith("# HELP "):
                name, help_text = line[7:].split(" ", 1)
                self.helps[name] = help_text
            elif line.startswith("# TYPE "):
                name, kind = line[7:].split(" ")
                self.types[name] = kind
            elif line:
                found = SAMPLE.match(line)
                if not found:
                    raise AssertionError("not a sample line: " + repr(line))
                labels = {}
                rest = found.group(2) or ""
                while rest:
                    label = LABEL.match(rest)
                    if not label:
                        raise AssertionError("bad labels: " + repr(line))
                    labels[label.group(1)] = label.group(2)
                    rest = rest[label.end():]
                self.samples[(found.group(1), frozenset(labels.items()))] = float(found.group(3))

    def value(self, name, **labels):
        return self.samples.get(("quorvalend_" + name, frozenset(labels.items())))

    def series(self, name):
        """{frozenset(labels): value} of every sample named `name`."""
        return {labels: v for (n, labels), v in self.samples.items() if n == "quorvalend_" + name}


def scrape(port):
    status, kind, body, _ = fetch(port, "/metrics")
    if status != 200 or not kind.startswith("text/plain; version=0.0.4"):
        raise AssertionError(f"/metrics: {status} {kind}: {body}")
    return Scrape(body)


class ExpositionChecks:
    """What every answer of /metrics must be, whatever it counts."""

    def check_exposition(self, scraped):
        for (name, labels), value in scraped.samples.items():
            self.assertTrue(name.startswith("quorvalend_"), name)
            family = re.sub(r"_(bucket|sum|count)$", "", name) if scraped.types.get(name) is None else name
            self.assertIn(family, scraped.types, f"{name} has no # TYPE")
            self.assertIn(family, scraped.helps, f"{name} has no # HELP")
            self.assertEqual(scraped.types[family] == "counter", family.endswith("_total"), family)
            if scraped.types[family] == "counter":
                self.assertGreaterEqual(value, 0, name)
        for family, kind in scraped.types.items():
            if kind == "histogram":
                self.check_histogram(scraped, family[len("quorvalend_"):])
        self.promtool_accepts(scraped.text)

    def check_histogram(self, scraped, name):
        """Per series: buckets cumulative in `le` order, the last +Inf and
        equal to _count."""
        series = {}
        for labels, count in scraped.series(name + "_bucket").items():
            rest = frozenset(label for label in labels if label[0] != "le")
            series.setdefault(rest, []).append((float(dict(labels)["le"]), count))
        for rest, buckets in series.items():
            buckets.sort()
            counts = [count for _, count in buckets]
            self.assertEqual(counts, sorted(counts), f"{name}{dict(rest)}: buckets are cumulative")
            self.assertEqual(buckets[-1], (math.inf, scraped.value(name + "_count", **dict(rest))), name)

    def promtool_accepts(self, text):
        if shutil.which("promtool") is None:
            print("promtool check metrics: NOT RUN, promtool is absent (Debian's prometheus package)")
            return
        done = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr + "\n" + text)


class OnTheBuiltInSimulator(unittest.TestCase, ExpositionChecks):
    """port = "sim", nothing polled: every transaction is one a request
    made, and the values stay fresh for ten minutes once read."""

    @classmethod
    def setUpClass(cls):
        stations = [station_toml(1, read=["D100..D109", "M10..M20"], max_age_ms=600000)]
        cls.gateway = Gateway(P, config_toml("sim", stations, line=SIM_SET) + HTTP)
        cls.web = web_port(cls.gateway)

    @classmethod
    def tearDownClass(cls):
        cls.gateway.close()

    def test_counters_are_what_the_clients_did(self):
        start = time.monotonic()
        self.check_exposition(scrape(self.web))
        c = self.gateway.client(timeout=10)
        try:
            for _ in range(7):
                self.assertEqual(c.read_holding_registers(100, 10, slave=1).registers, [D_VALUES[100 + i] for i in range(10)])
            for _ in range(3):
                self.assertEqual(c.read_coils(10, 8, slave=1).bits[:8], [(M_VALUES[10] >> b) & 1 == 1 for b in range(8)])
            for _ in range(2):
                self.assertEqual(c.read_holding_registers(500, 1, slave=1).exception_code, 0x02)
            self.assertEqual(c.read_holding_registers(100, 1, slave=9).exception_code, 0x0A)
            for _ in range(4):
                status = c.read_input_registers(9000, 4, slave=1).registers
            connected = scrape(self.web)
        finally:
            c.close()
        m = connected
        self.check_exposition(m)
        self.assertEqual(m.value("modbus_clients"), 1)
        self.assertEqual(m.series("modbus_requests_total"), {
            frozenset({("function", "3"), ("outcome", "ok")}): 7,
            frozenset({("function", "1"), ("outcome", "ok")}): 3,
            frozenset({("function", "3"), ("outcome", "0x02")}): 2,
            frozenset({("function", "3"), ("outcome", "0x0A")}): 1,
            frozenset({("function", "4"), ("outcome", "ok")}): 4,
        })
        # One read of the D block and one of the M block reached the line;
        # the rest came from the cache. The status registers agree.
        self.assertEqual(status[2] << 16 | status[3], 2)
        outcomes = {o: m.value("transactions_total", station="1", outcome=o) for o in ("ok", "timeout", "bad_reply", "error")}
        self.assertEqual(outcomes, {"ok": 2, "timeout": 0, "bad_reply": 0, "error": 0})
        self.assertEqual(m.value("transaction_seconds_count", station="1"), 2)
        self.assertGreater(m.value("transaction_seconds_sum", station="1"), 0)
        self.assertAlmostEqual(m.value("transaction_seconds_sum", station="1"), m.value("line_busy_seconds_total"), 3)
        utilisation = m.value("line_utilisation_ratio")
        self.assertTrue(0 < utilisation <= 1, utilisation)
        self.assertEqual((m.value("station_up", station="1"), m.value("station_demoted", station="1")), (1, 0))
        self.assertEqual((m.value("port_open"), m.value("port_lost_total")), (1, 0))
        self.assertEqual((m.value("queue_depth"), m.value("queue_full_total")), (0, 0))
        self.assertEqual(m.value("requests_dropped_total", station="1"), 0)
        age = m.value("oldest_value_age_seconds", station="1")
        self.assertTrue(0 <= age <= time.monotonic() - start, age)
        self.assertIsNone(m.value("mqtt_connected"), "no [mqtt]: no MQTT metrics")
        # The client's thread ends within its poll of the socket.
        deadline = time.monotonic() + 10
        while scrape(self.web).value("modbus_clients") != 0 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(scrape(self.web).value("modbus_clients"), 0)

    def test_only_get_and_head_on_known_paths(self):
        status, _, body, response = fetch(self.web, "/metrics", "POST")
        self.assertEqual((status, response.getheader("Allow")), (405, "GET, HEAD"), body)
        self.assertEqual(fetch(self.web, "/healthz", "PUT")[0], 405)
        self.assertEqual(fetch(self.web, "/nothing-here")[0], 404)
        self.assertEqual(fetch(self.web, "/metrics/")[0], 404)
        status, kind, body, _ = fetch(self.web, "/metrics", "HEAD")
        self.assertEqual((status, body), (200, ""))
        self.assertTrue(kind.startswith("text/plain"), kind)
        status, _, body, _ = fetch(self.web, "/metrics?x=1")
        self.assertEqual(status, 200)
        self.assertIn("# TYPE quorvalend_transactions_total counter", body)


class ASilentStation(unittest.TestCase, ExpositionChecks):
    def test_its_timeouts_times_and_demotion_are_counted(self):
        stations = [station_toml(1, read=["D100..D109"], max_age_ms=1), station_toml(2, read=["D0..D9"])]
        line = "retries = 0\ndemote_after = 3\ndemote_s = 600\n"
        with Simulator(P, ["--station", "1", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line=line) + HTTP) as gw:
            web = web_port(gw)
            c = gw.client(timeout=10)
            try:
                # Three time-outs demote it; the fourth request is answered
                # at once, without a transaction.
                codes = [c.read_holding_registers(0, 1, slave=2).exception_code for _ in range(4)]
                self.assertEqual(c.read_holding_registers(100, 2, slave=1).registers, [D_VALUES[100], D_VALUES[101]])
            finally:
                c.close()
            self.assertEqual(codes, [0x0B] * 4)
            m = scrape(web)
            self.check_exposition(m)
            two = {o: m.value("transactions_total", station="2", outcome=o) for o in ("ok", "timeout", "bad_reply", "error")}
            self.assertEqual(two, {"ok": 0, "timeout": 3, "bad_reply": 0, "error": 0})
            self.assertEqual(m.value("transactions_total", station="1", outcome="ok"), 1)
            # Each time-out waited the whole reply time-out.
            self.assertEqual(m.value("transaction_seconds_bucket", station="2", le="0.15"), 0)
            self.assertEqual(m.value("transaction_seconds_count", station="2"), 3)
            self.assertGreaterEqual(m.value("transaction_seconds_sum", station="2"), 3 * TIMEOUT_S * 0.95)
            self.assertEqual((m.value("station_demoted", station="2"), m.value("station_up", station="2")), (1, 0))
            self.assertEqual((m.value("station_demoted", station="1"), m.value("station_up", station="1")), (0, 1))
            self.assertEqual(m.value("oldest_value_age_seconds", station="2"), math.inf)
            self.assertEqual(m.value("modbus_requests_total", function="3", outcome="0x0B"), 4)
            self.assertEqual(m.value("modbus_requests_total", function="3", outcome="ok"), 1)

            # One station of two answering is a part down.
            status, kind, body, _ = fetch(web, "/healthz")
            self.assertEqual((status, kind), (503, "application/json"), body)
            health = json.loads(body)
            self.assertEqual((health["down"], health["reason"], health["answering"], health["not_answering"]),
                             (["stations"], "station 2 does not answer", [1], [2]))


class Healthz(unittest.TestCase):
    def watch(self, web, until, seconds=30):
        """(status, JSON) of /healthz, every 0.1 s, until `until(status, json)`
        or `seconds` pass; all of them."""
        seen, deadline = [], time.monotonic() + seconds
        while time.monotonic() < deadline:
            status, kind, body, _ = fetch(web, "/healthz")
            self.assertEqual(kind, "application/json")
            seen.append((status, json.loads(body)))
            health = seen[-1][1]
            self.assertEqual((status == 200, health["ok"], not health["down"]),
                             (health["port_open"] and not health["not_answering"],) * 3, seen[-1])
            if until(*seen[-1]):
                break
            time.sleep(0.1)
        return seen

    def test_503_with_the_reason_while_no_station_answers(self):
        stations = [station_toml(1, read=["D100"], poll_ms=100), station_toml(2, read=["D0"], poll_ms=100)]
        with Simulator(P, ["--station", "5"]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="demote_after = 1000\n") + HTTP) as gw:
            web = web_port(gw)
            # Both have been tried and timed out.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                m = scrape(web)
                if all(m.value("transactions_total", station=s, outcome="timeout") for s in ("1", "2")):
                    break
                time.sleep(0.1)
            status, _, body, _ = fetch(web, "/healthz")
            self.assertEqual(status, 503, body)
            self.assertEqual(json.loads(body), {"ok": False, "down": ["stations"],
                                                "reason": "stations 1, 2 do not answer", "port_open": True,
                                                "answering": [], "not_answering": [1, 2]})

    def test_503_while_the_port_is_gone_then_200_again(self):
        stations = [station_toml(1, read=["D100", "M10"], poll_ms=100)]
        with Simulator(P, ["--station", "1", "--fault", "drop:4000", "--fault-at", "15", *PRESETS]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\n") + HTTP) as gw:
            web = web_port(gw)
            up = self.watch(web, lambda status, _: status == 200)
            self.assertEqual(up[-1][0], 200, up[-1])
            gone = self.watch(web, lambda _, health: not health["port_open"])
            self.assertEqual(gone[-1], (503, {"ok": False, "down": ["line"], "reason": "the port is not open",
                                              "port_open": False, "answering": [], "not_answering": [1]}), gw.log())
            # Every tag of the lost line is bad and says why, the M group too.
            line = json.loads(fetch(web, "/status.json")[2])
            self.assertFalse(line["line"]["port_open"])
            self.assertEqual({t["tag"]: (t["quality"], t["value"], t["code"], t["meaning"])
                              for t in line["stations"][0]["tags"]},
                             {tag: ("bad", None, None, "port lost") for tag in ("D100", "M10")}, gw.log())
            m = scrape(web)
            self.assertEqual((m.value("port_open"), m.value("port_lost_total")), (0, 1))
            back = self.watch(web, lambda status, _: status == 200)
            self.assertEqual(back[-1], (200, {"ok": True, "down": [], "reason": "every station answers",
                                              "port_open": True, "answering": [1], "not_answering": []}), gw.log())
            m = scrape(web)
            self.assertEqual((m.value("port_open"), m.value("port_lost_total")), (1, 1))


class WithABroker(unittest.TestCase, ExpositionChecks):
    def test_connected_and_folded_updates(self):
        broker = Broker()
        self.addCleanup(lambda: self.broker_now.stop())
        self.broker_now = broker
        stations = [station_toml(1, read=["D100..D101"], write=["D101"], poll_ms=100, max_age_ms=600000)]
        mqtt = f'\n[mqtt]\nbroker = "127.0.0.1:{broker.port}"\nprefix = "qv/http"\n'
        with Gateway(P, config_toml("sim", stations, line=SIM_SET) + mqtt + HTTP) as gw:
            web = web_port(gw)
            self.assertTrue(self.until(web, lambda m: m.value("mqtt_connected") == 1), gw.log())
            m = scrape(web)
            self.assertEqual(m.value("mqtt_folded_updates_total"), 0)
            self.check_exposition(m)
            self.assertEqual(self.broker_seen(web), (200, [], True), gw.log())
            broker.stop()
            self.assertTrue(self.until(web, lambda m: m.value("mqtt_connected") == 0), gw.log())
            # The broker gone is a part down, named, and shown on the page's data.
            self.assertEqual(self.broker_seen(web), (503, ["broker"], False), gw.log())
            self.assertEqual(json.loads(fetch(web, "/healthz")[2])["reason"], "the MQTT broker is not connected")
            # Three values while the broker is gone: the first two are
            # folded into the last, which alone waits for it. (The scan
            # looks at the cache more often than once a second.)
            c = gw.client(timeout=10)
            try:
                for value in (1, 2, 3):
                    self.assertFalse(c.write_register(101, value, slave=1).isError())
                    time.sleep(1)
            finally:
                c.close()
            folded = scrape(web).value("mqtt_folded_updates_total")
            self.assertEqual(folded, 2)
            self.broker_now = Broker(port=broker.port)
            self.assertTrue(self.until(web, lambda m: m.value("mqtt_connected") == 1), gw.log())
            self.assertIn(f"({int(folded)} updates folded so far", gw.log())
            self.assertEqual(self.broker_seen(web), (200, [], True), gw.log())

    def broker_seen(self, web):
        """(/healthz's status, the parts it names down, /status.json's MQTT connection)."""
        status, _, body, _ = fetch(web, "/healthz")
        health = json.loads(body)
        line = json.loads(fetch(web, "/status.json")[2])
        self.assertEqual(health["broker"]["connected"], line["mqtt"]["connected"])
        self.assertRegex(line["mqtt"]["since"], r"^\d{4}-\d\d-\d\dT")
        return status, health["down"], line["mqtt"]["connected"]

    def until(self, web, check, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if check(scrape(web)):
                return True
            time.sleep(0.1)
        return False


if __name__ == "__main__":
    unittest.main(verbosity=2)

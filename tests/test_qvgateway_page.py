#!/usr/bin/env python3
"""qvgateway's status page in headless Chromium, as a technician's browser
shows it: qvsim's values in the DOM; a line silenced in qvsim turns every
station and tag to the failed look within a few seconds of the page's own
refresh, and back when it answers again; a station silenced beside a good
one looks failed while the other does not; a gateway gone is said to be
gone, its last data greyed out; a lost port and a missing broker are red in
the header and every tag of the lost line says "port lost"; the page
fetches nothing from elsewhere and offers nothing to write. Screenshots and DOMs stay in OUTPUT. Linux only.

Usage: test_qvgateway_page.py QVPOLL OUTPUT   (qvgateway and qvsim beside QVPOLL)
"""
import html.parser
import json
import os
import re
import signal
import sys
import time
import unittest
import urllib.error
import urllib.request

import chromium_harness
from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import free_port
from qvpoll_harness import children_of

ARGS = sys.argv[1:]
P = Programs(ARGS)
OUTPUT = ARGS[0]
del sys.argv[1:]

PRESET = {"D100": 1234, "D101": 7, "D102": 65535, "D103": 0, "M10": 0x3C, "D0": 4321}
SIM_SET = "sim_set = [" + ", ".join(f'"{k}={v}"' for k, v in PRESET.items()) + "]\n"
STATIONS = [station_toml(1, read=["D100..D103", "M10"], poll_ms=100), station_toml(2, read=["D0"], poll_ms=100)]
SHOWN = {("1", tag): value for tag, value in PRESET.items() if tag != "D0"} | {("2", "D0"): PRESET["D0"]}
# A silent station is demoted after three time-outs; one probe every 2 s then.
LINE = "demote_s = 2\n"
HTTP = '\n[http]\nlisten = "127.0.0.1:0"\n'
# The page's own bound: a refresh a second; the time-out of the line's
# reads and their retry; and Chromium and the gateway under an emulator.
FAILED_LOOK_WITHIN_S = 6

# What the test reads of the open page: the connection, each station row's
# and tag row's look, and the values shown.
SNAPSHOT = """(() => {
  const lost = document.getElementById("lost");
  if (lost === null) return { connection: "not loaded yet", stations: {}, tags: {}, lost: "", dimmed: false };
  const rows = (kind) => [...document.querySelectorAll("tr." + kind)];
  return {
    connection: document.body.dataset.connection,
    stations: Object.fromEntries(rows("station").map((r) => [r.dataset.station, r.dataset.state])),
    tags: Object.fromEntries(rows("tag").map((r) => [r.dataset.station + "/" + r.dataset.tag, r.dataset.state])),
    lost: getComputedStyle(lost).display === "none" ? "" : lost.innerText,
    dimmed: Number(getComputedStyle(document.querySelector("main")).opacity) < 1,
  };
})()"""


def http_port(gateway):
    found = re.search(r"HTTP on 127\.0\.0\.1:(\d+)", gateway.log())
    if not found:
        raise AssertionError("no HTTP listener in the start line: " + gateway.log())
    return int(found.group(1))


def get(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as reply:
            return reply.status, reply.headers.get("Content-Type"), reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type"), error.read().decode()


class Rows(html.parser.HTMLParser):
    """The rows of a dumped DOM: {(station, tag): (state, value)} and {station: (state, text)}."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.stations, self.body = {}, {}, {}
        self._row, self._cells, self._value = None, [], None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "body":
            self.body = a
        elif tag == "tr" and a.get("class") in ("tag", "station"):
            self._row, self._cells, self._value = a, [], None
        elif tag == "td" and self._row is not None:
            self._cells.append("")
            if "value" in (a.get("class") or "").split():
                self._value = a.get("data-value")

    def handle_data(self, data):
        if self._row is not None and self._cells:
            self._cells[-1] += data

    def handle_endtag(self, tag):
        if tag != "tr" or self._row is None:
            return
        row = self._row
        if row["class"] == "tag":
            self.tags[(row["data-station"], row["data-tag"])] = (row["data-state"], self._value)
        else:
            self.stations[row["data-station"]] = (row["data-state"], " | ".join(self._cells))
        self._row = None


def wait_for(page, until, seconds, what):
    """Snapshots of the open page every 0.1 s until `until(snapshot)`; the
    seconds it took."""
    start = time.monotonic()
    seen = None
    while time.monotonic() - start < seconds:
        seen = page.evaluate(SNAPSHOT)
        if until(seen):
            return time.monotonic() - start
        time.sleep(0.1)
    raise AssertionError(f"{what}: not within {seconds} s; the page showed {seen}")


def keep(name, text):
    with open(os.path.join(OUTPUT, name), "w", encoding="utf-8") as f:
        f.write(text)


class OnTheSimulatedLine(unittest.TestCase):
    """port = "sim": qvsim's memory is the preset; the whole line silenced
    by stopping qvsim."""

    @classmethod
    def setUpClass(cls):
        cls.gateway = Gateway(P, config_toml("sim", STATIONS, line=SIM_SET + LINE) + HTTP)
        cls.url = f"http://127.0.0.1:{http_port(cls.gateway)}/"

    @classmethod
    def tearDownClass(cls):
        cls.gateway.close()

    def test_the_page_pulls_nothing_from_elsewhere_and_offers_no_write(self):
        status, kind, page = get(self.url)
        self.assertEqual((status, kind), (200, "text/html; charset=utf-8"))
        self.assertIn("status.json", page)
        for outside in ("http://", "https://", "src=", "href=", "<link", "@import", "url(", "<iframe", "<object",
                        "<embed", "<img"):
            self.assertNotIn(outside, page.lower())
        self.assertIsNone(re.search(r"""["'(]//[a-z0-9]""", page), "no address without a scheme either")
        for write in ("<form", "<input", "<button", "<textarea", "<select", '"post"', '"put"'):
            self.assertNotIn(write, page.lower())
        for method in ("POST", "PUT", "DELETE"):
            self.assertEqual(get(self.url, method)[0], 405, method)
            self.assertEqual(get(self.url + "status.json", method)[0], 405, method)

    def test_the_dom_shows_the_simulators_values(self):
        deadline = time.monotonic() + 60
        while True:
            dom = chromium_harness.dump_dom(self.url, P.scratch)
            rows = Rows(dom)
            good = {key: state for key, (state, _) in rows.tags.items()}
            if set(good.values()) == {"good"} or time.monotonic() > deadline:
                break
        keep("values.html", dom)
        self.assertEqual(rows.body.get("data-connection"), "live")
        self.assertEqual({key: (state, int(value)) for key, (state, value) in rows.tags.items()},
                         {key: ("good", value) for key, value in SHOWN.items()})
        self.assertEqual({n: state for n, (state, _) in rows.stations.items()}, {"1": "good", "2": "good"})
        # An M group shows its eight coils, M17 first.
        self.assertRegex(dom, r'<span class="bits" title="M17 \u2026 M10">0011 1100</span>')

    def test_a_silenced_line_turns_to_the_failed_look_and_back(self):
        simulators = children_of(self.gateway.process.pid)
        self.assertEqual(len(simulators), 1)
        with chromium_harness.LivePage(self.url, P.scratch) as page:
            wait_for(page, lambda s: s["connection"] == "live" and set(s["tags"].values()) == {"good"} and
                     len(s["tags"]) == len(SHOWN), 60, "every tag good")
            os.kill(simulators[0], signal.SIGSTOP)
            try:
                silenced = time.monotonic()
                took = wait_for(page, lambda s: set(s["stations"].values()) == {"bad"} and
                                set(s["tags"].values()) == {"bad"}, 30, "every station and tag failed")
                json_says = get(self.url + "status.json")[2]
                print(f"\n  line silenced: the page showed every station and tag failed after {took:.1f} s",
                      file=sys.stderr)
                page.screenshot(os.path.join(OUTPUT, "line-silenced.png"))
                self.assertLess(time.monotonic() - silenced, 30)
                self.assertLess(took, FAILED_LOOK_WITHIN_S)
                self.assertEqual(page.evaluate(SNAPSHOT)["connection"], "live", "the gateway itself still answers")
                for station in json.loads(json_says)["stations"]:
                    self.assertIn(station["state"], ("not answering", "demoted"))
                    self.assertEqual((station["last_error"], station["meaning"]), (5, "receive time-out"))
            finally:
                os.kill(simulators[0], signal.SIGCONT)
            took = wait_for(page, lambda s: set(s["stations"].values()) == {"good"} and
                            set(s["tags"].values()) == {"good"}, 30, "every station and tag good again")
            print(f"  answering again: every station and tag good after {took:.1f} s", file=sys.stderr)


class WhenTheGatewayGoes(unittest.TestCase):
    def test_the_page_says_so_and_greys_out_what_it_showed(self):
        with Gateway(P, config_toml("sim", STATIONS, line=SIM_SET + LINE) + HTTP) as gateway:
            url = f"http://127.0.0.1:{http_port(gateway)}/"
            with chromium_harness.LivePage(url, P.scratch) as page:
                wait_for(page, lambda s: s["connection"] == "live" and set(s["tags"].values()) == {"good"} and
                         len(s["tags"]) == len(SHOWN), 60, "every tag good")
                self.assertEqual((page.evaluate(SNAPSHOT)["lost"], page.evaluate(SNAPSHOT)["dimmed"]), ("", False))
                self.assertEqual(gateway.stop()[0], 0)
                took = wait_for(page, lambda s: s["connection"] == "lost", 15, "gateway unreachable")
                seen = page.evaluate(SNAPSHOT)
                print(f"\n  gateway stopped: the page said so after {took:.1f} s", file=sys.stderr)
                self.assertIn("does not answer", seen["lost"])
                self.assertIn("is not current", seen["lost"])
                self.assertTrue(seen["dimmed"], "old data greyed out")
                self.assertEqual(page.evaluate('document.getElementById("connection").textContent'),
                                 "GATEWAY UNREACHABLE")


class OneStationSilenced(unittest.TestCase):
    """qvsim on a pseudo-terminal of the test's, station 2 silenced in it as
    the fault tests do: only station 2 and its tag look failed."""

    def test_only_the_silent_station_looks_failed(self):
        sets = [a for k, v in PRESET.items() for a in ("--set", f"{k}={v}")]
        with Simulator(P, ["--station", "1", "--station", "2", "--fault", "silent", "--fault-station", "2",
                           *sets]) as sim, \
                Gateway(P, config_toml(sim.port, STATIONS, line=LINE) + HTTP) as gateway:
            url = f"http://127.0.0.1:{http_port(gateway)}/"
            time.sleep(5)  # a few seconds of polls, for the chart in the screenshot
            deadline = time.monotonic() + 60
            while True:
                rows = Rows(chromium_harness.dump_dom(url, P.scratch))
                if rows.stations.get("2", ("",))[0] == "bad" and rows.stations.get("1", ("",))[0] == "good" and \
                        "next try" in rows.stations["2"][1] or time.monotonic() > deadline:
                    break
            chromium_harness.screenshot(url, os.path.join(OUTPUT, "gateway-page.png"), P.scratch)
            self.assertEqual(rows.stations["1"][0], "good", rows.stations)
            self.assertEqual(rows.stations["2"][0], "bad", rows.stations)
            self.assertIn("5 receive time-out", rows.stations["2"][1])
            self.assertRegex(rows.stations["2"][1], r"demoted since \d\d:\d\d:\d\d, next try \d\d:\d\d:\d\d")
            self.assertEqual({key: state for key, (state, _) in rows.tags.items()},
                             {key: "bad" if key[0] == "2" else "good" for key in SHOWN})
            self.assertEqual(rows.tags[("2", "D0")][1], None, "a failed tag shows no value")
            with open(os.path.join(OUTPUT, "gateway-page.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


# The header, the banners and each tag's error cell, for a lost port and a
# broker that is not there.
PARTS = """(() => ({
  port: document.body.dataset.port || "",
  connection: document.getElementById("connection").textContent,
  line: document.getElementById("line").textContent,
  lineLook: document.getElementById("line").dataset.state || "",
  broker: document.getElementById("broker").hidden ? "" : document.getElementById("broker").textContent,
  brokerLook: document.getElementById("broker").dataset.state || "",
  banner: getComputedStyle(document.getElementById("portlost")).display === "none" ? ""
    : document.getElementById("portlost").innerText,
  errors: Object.fromEntries([...document.querySelectorAll("tr.tag")].map((r) =>
    [r.dataset.tag, r.dataset.state + " " + r.querySelector("td.error").textContent])),
}))()"""


class PortLostBrokerDown(unittest.TestCase):
    """The gateway answers, but its port is unplugged in qvsim and its
    broker was never there: both are said in red in the header, never a
    green "live", and every tag says why it is bad."""

    def test_the_header_names_the_lost_port_and_the_missing_broker(self):
        sets = [a for k, v in PRESET.items() for a in ("--set", f"{k}={v}")]
        stations = [station_toml(1, read=["D100..D103", "M10"], poll_ms=100)]
        mqtt = f'\n[mqtt]\nbroker = "127.0.0.1:{free_port()}"\nprefix = "qv/page"\n'
        with Simulator(P, ["--station", "1", "--fault", "drop:10000", "--fault-at", "15", *sets]) as sim, \
                Gateway(P, config_toml(sim.port, stations, line="retries = 0\n") + HTTP + mqtt) as gateway:
            url = f"http://127.0.0.1:{http_port(gateway)}/"
            with chromium_harness.LivePage(url, P.scratch) as page:
                wait_for(page, lambda s: s["connection"] == "live" and len(s["tags"]) == 5, 60, "the page live")
                start = time.monotonic()
                while page.evaluate(PARTS)["port"] != "lost" and time.monotonic() - start < 30:
                    time.sleep(0.1)
                seen = page.evaluate(PARTS)
                page.screenshot(os.path.join(OUTPUT, "port-lost.png"))
                self.assertEqual(seen["port"], "lost", gateway.log())
                self.assertIn("PORT LOST", seen["connection"])
                self.assertRegex(seen["line"], r"port LOST since \d\d:\d\d:\d\d")
                self.assertEqual(seen["lineLook"], "down")
                self.assertIn("every tag is bad until it is back", seen["banner"])
                self.assertRegex(seen["broker"], r"^MQTT NOT CONNECTED since \d\d:\d\d:\d\d$")
                self.assertEqual(seen["brokerLook"], "down")
                self.assertEqual(seen["errors"], {tag: "bad port lost" for tag in ("D100", "D101", "D102", "D103",
                                                                                   "M10")})
                start = time.monotonic()
                while page.evaluate(PARTS)["port"] != "open" and time.monotonic() - start < 30:
                    time.sleep(0.1)
                back = page.evaluate(PARTS)
                self.assertEqual((back["port"], back["lineLook"], back["banner"]), ("open", "up", ""), gateway.log())
                self.assertTrue(back["connection"].startswith("live, "), back["connection"])
                self.assertEqual(back["brokerLook"], "down", "the broker is still not there")
                status, _, body = get(url + "healthz")
                self.assertEqual((status, json.loads(body)["down"]), (503, ["broker"]))


class NamedTags(unittest.TestCase):
    def test_named_tags_with_their_units_instead_of_registers(self):
        tags = ('\n[[tag]]\nname = "tank1/level"\nstation = 1\naddress = "D100"\nscale = 0.1\nunit = "degC"\n'
                '\n[[tag]]\nname = "pump/run"\nstation = 1\naddress = "M12"\ntype = "bool"\n')
        with Gateway(P, config_toml("sim", STATIONS[:1], line=SIM_SET + LINE) + HTTP + tags) as gateway:
            url = f"http://127.0.0.1:{http_port(gateway)}/"
            deadline = time.monotonic() + 60
            while True:
                dom = chromium_harness.dump_dom(url, P.scratch)
                rows = Rows(dom)
                if {state for state, _ in rows.tags.values()} == {"good"} or time.monotonic() > deadline:
                    break
        self.assertEqual(rows.tags, {("1", "tank1/level"): ("good", "123.4"), ("1", "pump/run"): ("good", "true")})
        self.assertIn("123.4 degC", dom)


if __name__ == "__main__":
    reason = chromium_harness.missing()
    if reason:
        print(f"skipped: {reason}")
        sys.exit(77)
    os.makedirs(OUTPUT, exist_ok=True)
    unittest.main(verbosity=2)

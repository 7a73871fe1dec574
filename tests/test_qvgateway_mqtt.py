#!/usr/bin/env python3
"""qvgateway seen from the mosquitto clients, through a mosquitto broker of
the test's own: every read tag retained with qvsim's value and "good"; a
write lands in qvsim's memory and its result comes only after the
controller answered (a silent station's write says so, with code 5, and its
tags are bad with that code and no value); a
register outside `write` is refused and never reaches the line; "online"
while it runs, "offline" when it stops, and the Last Will "offline" when
it is killed; a broker restarted, or started after the gateway, gets every
tag (what waits meanwhile: test_qvgateway_mqtt_outages.py); a user and
password from its file log in, a wrong one is refused and never logged;
hostile write payloads (huge, deep, a key twice, a huge id) are refused
and the gateway goes on serving.
Linux only.

Usage: test_qvgateway_mqtt.py QVPOLL   (qvgateway and qvsim beside it)
"""
import json
import os
import signal
import sys
import time
import unittest

from gateway_harness import Gateway, Programs, Simulator, config_toml, station_toml
from mqtt_harness import Broker, mqtt_toml, retained_tags, station_status, status

P = Programs(sys.argv[1:])
del sys.argv[1:]

PRESET = {"D100": 1234, "D101": 7, "D102": 65535, "D103": 0, "M10": 0x3C}
SIM_SET = "sim_set = [" + ", ".join(f'"{k}={v}"' for k, v in PRESET.items()) + "]\n"


class WithTheBuiltInSimulator(unittest.TestCase):
    """port = "sim": qvsim's memory is the preset."""

    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.stop)
        stations = [station_toml(1, read=["D100..D103", "M10"], write=["D101"], poll_ms=100)]
        self.gateway = Gateway(P, config_toml("sim", stations, line=SIM_SET) + mqtt_toml(self.broker, "qv/sim"))
        self.addCleanup(self.gateway.close)

    def test_every_tag_retained_with_the_controllers_value(self):
        got = retained_tags(self.broker, "qv/sim", 1, len(PRESET))
        self.assertEqual({k: v["value"] for k, v in got.items()}, PRESET, got)
        for tag, value in got.items():
            self.assertEqual((value["quality"], value["code"]), ("good", None), tag)
            self.assertRegex(value["ts"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$", tag)
        self.assertEqual(status(self.broker, "qv/sim"), "online")
        station = station_status(self.broker, "qv/sim", 1, lambda s: s["transactions"] > 0)
        self.assertEqual((station["communication_good"], station["demoted"], station["last_error"]), (True, False, None))
        self.assertGreater(station["transactions"], 0)

    def test_stop_says_offline_and_kill_leaves_the_last_will(self):
        self.assertEqual(status(self.broker, "qv/sim"), "online")
        code, seconds = self.gateway.stop(signal.SIGTERM)
        self.assertEqual(code, 0, self.gateway.log())
        self.assertLess(seconds, 2.5)
        self.assertEqual(status(self.broker, "qv/sim"), "offline")
        self.assertIn("offline said", self.gateway.log())
        # Killed outright, it says nothing: the broker sends its will.
        self.broker.publish("qv/sim/status", "", retain=True)
        second = Gateway(P, config_toml("sim", [station_toml(1, read=["D100"])]) + mqtt_toml(self.broker, "qv/sim"))
        self.addCleanup(second.close)
        deadline = time.monotonic() + 10
        while status(self.broker, "qv/sim") != "online" and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(status(self.broker, "qv/sim"), "online")
        # Its station says poll_ms = 0: the start log says what that means here.
        self.assertIn("station[1].poll_ms: 0 with [mqtt]: station 1's MQTT topics will not update", second.log())
        second.process.kill()
        second.process.wait()
        deadline = time.monotonic() + 10
        while status(self.broker, "qv/sim") != "offline" and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(status(self.broker, "qv/sim"), "offline")
        self.assertNotIn("offline said", second.log())

    def test_a_broker_restarted_gets_every_tag_again(self):
        self.assertEqual(len(retained_tags(self.broker, "qv/sim", 1, len(PRESET))), len(PRESET))
        port = self.broker.port
        self.broker.stop()
        time.sleep(0.5)
        self.broker = Broker(port)  # nothing retained: a new broker
        self.addCleanup(self.broker.stop)
        got = retained_tags(self.broker, "qv/sim", 1, len(PRESET), seconds=20)
        self.assertEqual({k: v["value"] for k, v in got.items()}, PRESET, self.gateway.log())
        self.assertEqual(status(self.broker, "qv/sim"), "online")
        self.assertIn("lost", self.gateway.log())


class BeforeTheBroker(unittest.TestCase):
    def test_a_broker_started_later_is_reached_and_a_stop_does_not_wait_for_one(self):
        broker = Broker()
        port = broker.port
        broker.stop()
        stations = [station_toml(1, read=["D100..D103", "M10"], poll_ms=100)]
        config = config_toml("sim", stations, line=SIM_SET) + mqtt_toml(broker, "qv/late")
        with Gateway(P, config) as gateway:
            time.sleep(1.5)
            self.assertIn("not reached", gateway.log())
            broker = Broker(port)
            self.addCleanup(broker.stop)
            got = retained_tags(broker, "qv/late", 1, len(PRESET), seconds=20)
            self.assertEqual({k: v["value"] for k, v in got.items()}, PRESET, gateway.log())
            broker.stop()
            time.sleep(0.5)
            code, seconds = gateway.stop(signal.SIGTERM)
            self.assertEqual(code, 0, gateway.log())
            self.assertLess(seconds, 2.5)


class WithAPassword(unittest.TestCase):
    def test_the_password_from_its_file_logs_in_and_a_wrong_one_is_refused(self):
        broker = Broker(users={"gw": "right-word", "viewer": "other"}, scratch=P.scratch)
        self.addCleanup(broker.stop)
        stations = [station_toml(1, read=["D100"], poll_ms=100)]
        for user, word, prefix in [("gw", "right-word", "qv/pw"), ("gw", "wrong-word", "qv/bad")]:
            secret = os.path.join(P.scratch, f"{prefix.replace('/', '-')}.password")
            with open(secret, "w") as f:
                f.write(word + "\n")
            text = (config_toml("sim", stations, line=SIM_SET) + mqtt_toml(broker, prefix) +
                    f'username = "{user}"\npassword_file = "{secret}"\n')
            with Gateway(P, text) as gateway:
                deadline = time.monotonic() + 10
                while status(broker, prefix) != "online" and "refused" not in gateway.log() \
                        and time.monotonic() < deadline:
                    time.sleep(0.1)
                log = gateway.log()
                self.assertNotIn(word, log)
                if word == "right-word":
                    self.assertEqual(status(broker, prefix), "online", log)
                    self.assertEqual(retained_tags(broker, prefix, 1, 1)["D100"]["value"], PRESET["D100"])
                else:
                    self.assertIsNone(status(broker, prefix))
                    self.assertIn("refused the connection", log)


class WritesThroughTheLine(unittest.TestCase):
    """qvsim on a pseudo-terminal of the test's, so that its own trace shows
    what reached the controller. Station 2 is silent."""

    @classmethod
    def setUpClass(cls):
        cls.broker = Broker()
        try:
            sets = [a for k, v in PRESET.items() for a in ("--set", f"{k}={v}")]
            cls.sim = Simulator(P, ["--station", "1", *sets])
        except Exception:
            cls.broker.stop()
            raise
        stations = [station_toml(1, read=["D100..D103", "M10"], write=["D101", "M10"], poll_ms=100),
                    station_toml(2, read=["D0"], write=["D0"], poll_ms=300)]
        try:
            cls.broker.publish("qv/w/1/D101/set", "99", retain=True)
            cls.gateway = Gateway(P, config_toml(cls.sim.port, stations, line="demote_after = 1000\n") +
                                  mqtt_toml(cls.broker, "qv/w"))
        except Exception:
            cls.sim.stop()
            cls.broker.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.gateway.close()
        cls.sim.stop()
        cls.broker.stop()

    def ask(self, topic, payload):
        result, _ = self.broker.ask("qv/w/status", "qv/w/" + topic, payload)
        return result

    def test_a_write_lands_in_the_controller_before_its_result(self):
        self.assertEqual(self.ask("1/D101/set", '{"value": 4321, "id": "w1"}'), {"id": "w1", "ok": True})
        # The controller had it when the result came.
        self.assertIn("write D101 = 4321", self.sim.requests())
        got = retained_tags(self.broker, "qv/w", 1, len(PRESET))
        self.assertEqual(got["D101"]["value"], 4321)
        # A bare number; an M group as one byte, M10 = bit 0.
        self.assertEqual(self.ask("1/D101/set", "17"), {"id": None, "ok": True})
        self.assertEqual(self.ask("1/M10/set", '{"value": 129, "id": 5}'), {"id": 5, "ok": True})
        requests = self.sim.requests()
        self.assertEqual(requests.count("write D101 = 17"), 1)
        self.assertIn("write M10 = 129", " ".join(requests).replace("0x81", "129"), requests[-4:])

    def test_a_silent_station_s_write_fails_with_the_drivers_code(self):
        result = self.ask("2/D0/set", '{"value": 1, "id": "silent"}')
        self.assertEqual(result, {"id": "silent", "ok": False, "code": 5, "meaning": "receive time-out"})

    def test_a_silent_station_s_tags_are_bad_with_code_5_and_no_value(self):
        deadline = time.monotonic() + 10
        got = None
        while time.monotonic() < deadline:
            got = dict(self.broker.subscribe(["qv/w/2/D0"], 1, 3))
            if "qv/w/2/D0" in got and json.loads(got["qv/w/2/D0"])["code"] is not None:
                break
            time.sleep(0.2)
        value = json.loads(got["qv/w/2/D0"])
        del value["ts"]
        self.assertEqual(value, {"value": None, "quality": "bad", "code": 5, "meaning": "receive time-out"})
        station = station_status(self.broker, "qv/w", 2, lambda s: s["last_error"] is not None)
        self.assertEqual((station["communication_good"], station["last_error"], station["meaning"]),
                         (False, 5, "receive time-out"))
        self.assertGreater(station["timeouts"], 0)

    def test_refused_writes_never_reach_the_line(self):
        before = len(self.sim.requests())
        table = [
            ("1/D100/set", '{"value": 1, "id": "r"}', "not writable"),  # readable, not writable
            ("1/D102/set", "1", "not writable"),
            ("1/D105/set", "1", "not writable"),  # not configured at all
            ("1/D101/set", '{"value": 70000, "id": "big"}', "outside 0..65535"),
            ("1/D101/set", "4.5", "not a whole number"),
            ("1/D101/set", "{oops", "not JSON"),
            ("1/M10/set", "256", "outside 0..255"),
            ("1/M12/set", "1", "is not a register"),
            ("9/D101/set", "1", "no station 9"),
        ]
        for topic, payload, why in table:
            with self.subTest(topic=topic, payload=payload):
                result = self.ask(topic, payload)
                self.assertIsNotNone(result)
                self.assertFalse(result["ok"])
                self.assertIsNone(result["code"])
                self.assertIn(why, result["meaning"])
        self.assertEqual([r for r in self.sim.requests()[before:] if r.startswith("write")], [])

    def test_hostile_payloads_are_refused_and_the_gateway_keeps_serving(self):
        before = len(self.sim.requests())
        table = [
            # payload, id echoed, why
            ("[" * 200000, None, "more than 4096"),
            ('{"value":' * 100000, None, "more than 4096"),
            ("[" * 9 + "1" + "]" * 9, None, "nested deeper than 8"),
            ('{"value":1,"value":2,"id":"dup"}', "dup", "'value' is given twice"),
            ('{"value": 1, "id": "' + "x" * (2 << 20) + '"}', None, "more than 4096"),
            ('{"value": 1, "id": "' + "x" * 129 + '"}', None, "129 bytes long"),
        ]
        for payload, echoed, why in table:
            with self.subTest(payload=payload[:24], size=len(payload)):
                result = self.ask("1/D101/set", payload)
                self.assertIsNotNone(result, self.gateway.log())
                self.assertEqual((result["ok"], result["id"], result["code"]), (False, echoed, None))
                self.assertIn(why, result["meaning"])
                self.assertIsNone(self.gateway.process.poll(), self.gateway.log())
        self.assertEqual([r for r in self.sim.requests()[before:] if r.startswith("write")], [])
        # Still serving: a sound write after them all is carried out.
        self.assertEqual(self.ask("1/D101/set", '{"value": 555, "id": "after"}'), {"id": "after", "ok": True})
        self.assertIn("write D101 = 555", self.sim.requests())

    def test_a_retained_write_is_never_carried_out(self):
        # Left on the broker before the gateway connected: delivered to it
        # as retained, at every connection; never carried out.
        self.assertNotIn("write D101 = 99", self.sim.requests())


if __name__ == "__main__":
    unittest.main(verbosity=2)

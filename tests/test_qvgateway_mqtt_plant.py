#!/usr/bin/env python3
"""qvgateway in a plant's broker: two gateways on two lines publish into one
mosquitto, each under its own prefix with its own controller's values, and
a write on one prefix lands only in that line's controller; over TLS the
gateway connects only to a broker whose certificate its tls_ca signed and
that names the host it dials, and says clearly why it refused the others,
publishing nothing there. Linux only; needs openssl for the certificates.

Usage: test_qvgateway_mqtt_plant.py QVPOLL   (qvgateway and qvsim beside it)
"""
import os
import shutil
import sys
import time
import unittest

from gateway_harness import Gateway, Programs, config_toml, station_toml
from mqtt_harness import (Broker, certificate_authority, mqtt_toml, retained_tags, server_certificate, status)

P = Programs(sys.argv[1:])
del sys.argv[1:]

# Two lines, each on the gateway's own simulator with its own memory.
LINES = [
    ("plant/line1", {"D100": 1111, "D101": 11, "M10": 0x0F}),
    ("plant/line2", {"D100": 2222, "D101": 22, "M10": 0xF0}),
]


def sim_set(preset):
    return "sim_set = [" + ", ".join(f'"{k}={v}"' for k, v in preset.items()) + "]\n"


class TwoLinesIntoOneBroker(unittest.TestCase):
    def setUp(self):
        self.broker = Broker()
        self.addCleanup(self.broker.stop)
        self.gateways = {}
        for prefix, preset in LINES:
            stations = [station_toml(1, read=["D100..D101", "M10"], write=["D101"], poll_ms=100)]
            # Both lines are "sim": the default client id, which names the
            # port, would be one for both, and the broker would let only one
            # stay connected.
            client_id = f'client_id = "gw-{prefix.replace("/", "-")}"\n'
            gateway = Gateway(P, config_toml("sim", stations, line=sim_set(preset)) +
                              mqtt_toml(self.broker, prefix, extra=client_id))
            self.addCleanup(gateway.close)
            self.gateways[prefix] = gateway

    def test_each_line_under_its_own_prefix_and_a_write_reaches_only_its_own(self):
        for prefix, preset in LINES:
            with self.subTest(prefix=prefix):
                got = retained_tags(self.broker, prefix, 1, len(preset))
                self.assertEqual({k: v["value"] for k, v in got.items()}, preset, self.gateways[prefix].log())
                self.assertEqual(status(self.broker, prefix), "online")
        # Every retained topic on the broker belongs to one line, and each
        # line has exactly its own: status, the station's status, its tags.
        expected = {f"{prefix}/{t}" for prefix, preset in LINES for t in ["status", "1/status", *(f"1/{k}" for k in preset)]}
        seen = {t for t, _ in self.broker.subscribe(["#"], len(expected) + 1, 3)}
        self.assertEqual(seen, expected)

        written, untouched = LINES[0], LINES[1]
        result, _ = self.broker.ask(f"{written[0]}/status", f"{written[0]}/1/D101/set", '{"value": 4321, "id": "one"}')
        self.assertEqual(result, {"id": "one", "ok": True})
        # What each controller holds, read back through its own gateway.
        for (prefix, preset), want in [(written, 4321), (untouched, untouched[1]["D101"])]:
            with self.subTest(prefix=prefix):
                client = self.gateways[prefix].client()
                try:
                    deadline = time.monotonic() + 5
                    while True:
                        held = client.read_holding_registers(101, 1, slave=1).registers[0]
                        if held == want or time.monotonic() > deadline:
                            break
                        time.sleep(0.1)
                finally:
                    client.close()
                self.assertEqual(held, want)
                deadline = time.monotonic() + 10
                while retained_tags(self.broker, prefix, 1, len(preset))["D101"]["value"] != want \
                        and time.monotonic() < deadline:
                    time.sleep(0.2)
                self.assertEqual(retained_tags(self.broker, prefix, 1, len(preset))["D101"]["value"], want)


@unittest.skipUnless(shutil.which("openssl"), "openssl is not installed (make deps): no certificates to test TLS with")
class OverTls(unittest.TestCase):
    """One broker: a plain listener for the test's own clients, and TLS
    listeners with a certificate for 127.0.0.1 and one for another host,
    both signed by the plant's authority; only the user "gw" logs in."""

    @classmethod
    def setUpClass(cls):
        folder = os.path.join(P.scratch, "tls")
        os.mkdir(folder)
        plant = certificate_authority(folder, "plant-ca")
        cls.plant_ca = plant[0]
        cls.other_ca = certificate_authority(folder, "other-ca")[0]
        here = server_certificate(folder, "broker", plant, ["127.0.0.1", "localhost"])
        elsewhere = server_certificate(folder, "elsewhere", plant, ["broker.elsewhere.invalid"])
        cls.password_file = os.path.join(folder, "gw.password")
        with open(cls.password_file, "w") as f:
            f.write("tls-word\n")
        cls.broker = Broker(users={"gw": "tls-word"}, scratch=P.scratch, tls=[here, elsewhere])

    @classmethod
    def tearDownClass(cls):
        cls.broker.stop()

    def test_only_a_broker_the_authority_signed_for_this_host_is_used(self):
        good, elsewhere = self.broker.tls_ports
        table = [
            # prefix, listener, tls_ca, refusal expected in the log (None: connects)
            ("tls/ok", good, self.plant_ca, None),
            ("tls/other-ca", good, self.other_ca, "certificate verify failed"),
            ("tls/other-name", elsewhere, self.plant_ca, "certificate verify failed"),
            ("tls/plain", self.broker.port, self.plant_ca, "TLS refused"),
        ]
        stations = [station_toml(1, read=["D100"], poll_ms=100)]
        for prefix, port, ca, refusal in table:
            with self.subTest(prefix=prefix):
                extra = f'username = "gw"\npassword_file = "{self.password_file}"\ntls_ca = "{ca}"\n'
                text = config_toml("sim", stations, line='sim_set = ["D100=77"]\n') + \
                    mqtt_toml(self.broker, prefix, port=port, extra=extra)
                with Gateway(P, text) as gateway:
                    deadline = time.monotonic() + 20
                    while status(self.broker, prefix) != "online" and "TLS refused" not in gateway.log() \
                            and time.monotonic() < deadline:
                        time.sleep(0.2)
                    log = gateway.log()
                    self.assertNotIn("tls-word", log)
                    if refusal is None:
                        self.assertEqual(status(self.broker, prefix), "online", log)
                        self.assertEqual(retained_tags(self.broker, prefix, 1, 1)["D100"]["value"], 77)
                        self.assertNotIn("TLS refused", log)
                    else:
                        self.assertIn("TLS refused", log)
                        self.assertIn(refusal, log)
                        self.assertIn(ca, log)
                        time.sleep(1)
                        self.assertEqual(self.broker.subscribe([f"{prefix}/#"], 1, 2), [], log)


if __name__ == "__main__":
    unittest.main(verbosity=2)

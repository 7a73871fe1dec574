#!/usr/bin/env python3
"""qvgateway --check-config: a good file's poll plan and line budget, and
every refusal naming the key, its line and why, with exit status 2 and the
line untouched. Linux only.

Usage: test_qvgateway_config.py QVPOLL   (qvgateway beside it)
"""
import os
import subprocess
import sys
import unittest

from qvpoll_harness import Programs

P = Programs(sys.argv[1:])
del sys.argv[1:]
GATEWAY = os.path.join(os.path.dirname(P.qvpoll), "qvgateway")

LINE = '[line]\nport = "sim"\nbaud = 9600\n'
STATION = '[[station]]\nnumber = 1\nread = ["D100..D131"]\n'
REAL = LINE.replace('"sim"', '"/dev/null"')  # a device that exists; --check-config never opens it
MQTT = '[mqtt]\nbroker = "127.0.0.1:1883"\n'
SPARKPLUG = '[sparkplug]\nbroker = "127.0.0.1:1883"\ngroup_id = "plant1"\nedge_node_id = "line1"\n'  # lines 7..10
TAG = '[[tag]]\nname = "tank1/level"\nstation = 1\naddress = "D200"\ntype = "f32"\n'  # lines 7..11 after LINE, STATION


def check(text):
    path = os.path.join(P.scratch, "check.toml")
    with open(path, "w", errors="surrogateescape") as f:  # "\udcXX" writes the byte XX as it is
        f.write(text)
    done = subprocess.run([GATEWAY, "--check-config", path], capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr.replace(path, "FILE")


class CheckConfig(unittest.TestCase):
    def test_plan_and_budget(self):
        code, out, err = check(LINE + STATION.replace("number = 1\n", "number = 1\npoll_ms = 1000\n") +
                               '[[station]]\nnumber = 2\nread = ["M0..M30", "D0"]\nwrite = ["D0"]\n')
        self.assertEqual(code, 0, err)
        # 32 registers: 15 + 7 + 128 characters at 10 bits, 9600 baud.
        self.assertIn("D100..D131  32 registers   156.2 ms", out)
        self.assertIn("polled every 1000 ms: 15.6% of the line", out)
        self.assertIn("station 2 (unit 2): 2 blocks", out)
        self.assertIn("line utilisation by the cyclic polls: 15.6%", out)

    def test_tags_scan_classes(self):
        code, out, err = check(LINE + STATION.replace("number = 1\n", "number = 1\npoll_ms = 2000\n") + TAG +
                               'poll_ms = 500\n' + TAG.replace("tank1/level", "tank2/level").replace("D200", "D300"))
        self.assertEqual(code, 0, err)
        self.assertIn("station 1, every 500 ms: 1 tag in 1 block", out)
        self.assertIn("station 1, every 2000 ms: 1 tag in 1 block, 1.6% of the line (read every 500 ms with the station's "
                      "fastest class)", out)
        # The station's blocks are read at its fastest class.
        self.assertIn("polled every 500 ms", out)

    def test_refusals(self):
        empty = os.path.join(P.scratch, "empty-password")
        with open(empty, "w") as f:
            f.write("\n")
        table = [
            ("not TOML", LINE + "baud = = 3\n", "FILE:4:"),
            ("not UTF-8 in a quoted key", LINE + STATION + "'\udceb' = 1\n", "FILE:7: not UTF-8 text"),
            ("an overlong sequence", LINE + STATION + "# \udcc0\udcaf\n", "FILE:7: not UTF-8 text"),
            ("a sequence cut off at the end", LINE + STATION + "# \udce2\udc82", "FILE:7: not UTF-8 text"),
            ("a key twice", LINE + "baud = 19200\n" + STATION, "FILE:4: line.baud: is given twice (first at line 3): keep one"),
            ("a key twice in a station", LINE + STATION + "poll_ms = 100\npoll_ms = 200\n",
             "FILE:8: station[1].poll_ms: is given twice (first at line 7): keep one"),
            ("a key twice in the second station", LINE + STATION + STATION.replace("number = 1", "number = 2") +
             "unit = 2\nunit = 3\n", "FILE:11: station[2].unit: is given twice (first at line 10)"),
            ("a table twice", LINE + LINE.replace("[line]\n", "[line]\n#\n") + STATION,
             "FILE:4: [line]: is given twice (first at line 1): put its keys in one table"),
            ("a write range not read", LINE + STATION + 'write = ["D300..D309"]\n',
             "FILE:7: station[1].write: D300..D309 are not in any read range: a value written could not be read "
             "back; add them to read"),
            ("write ranges partly read", LINE + STATION + 'write = ["D131..D132", "M10", "D100"]\n',
             "FILE:7: station[1].write: D132, M10 are not in any read range"),
            ("unknown key", LINE + "speed = 9600\n" + STATION, "FILE:4: line.speed: unknown key"),
            ("unknown table", LINE + STATION + "[nosuch]\nbroker = 1\n", "FILE:7: nosuch: unknown key"),
            ("no line", STATION, "line: the file has no [line] table"),
            ("no port", '[line]\nbaud = 9600\n' + STATION, "FILE:1: line.port: is required"),
            ("baud too high", LINE.replace("9600", "115200") + STATION, "FILE:3: line.baud: 115200 is outside 300..57600"),
            ("parity", LINE + 'parity = "odd-ish"\n' + STATION, "FILE:4: line.parity: 'odd-ish' is not none"),
            ("reply wait", LINE + 'reply_wait = "soon"\n' + STATION, "FILE:4: line.reply_wait: 'soon' is not poll or early"),
            ("a string for a number", LINE + 'timeout_ms = "1000"\n' + STATION,
             "FILE:4: line.timeout_ms: must be an integer, not a string"),
            ("listen", LINE + '[modbus]\nlisten = "localhost"\n' + STATION, "FILE:5: modbus.listen: 'localhost' is not"),
            ("allow", LINE + '[modbus]\nallow = ["10.0.0.0/33"]\n' + STATION, "FILE:5: modbus.allow: '10.0.0.0/33'"),
            ("no station", LINE, "station: the file has no [[station]]"),
            ("station number", LINE + STATION.replace("number = 1", "number = 32"),
             "FILE:5: station[1].number: stations are 0..31 and 255"),
            ("station 0 needs a unit", LINE + STATION.replace("number = 1", "number = 0"),
             "station[1].unit: station 0 is not a Modbus unit id"),
            ("unit range", LINE + STATION + "unit = 248\n", "FILE:7: station[1].unit: 248 is outside 1..247"),
            ("two stations on one unit", LINE + STATION + STATION.replace("number = 1", "number = 2\nunit = 1"),
             "FILE:9: station[2].unit: unit 1 is already station 1's (line 5)"),
            ("same station twice", LINE + STATION + STATION, "FILE:8: station[2].number: station 1 is already configured"),
            ("range outside the area", LINE + STATION.replace("D100..D131", "D8190..D8200"),
             "FILE:6: station[1].read: range 'D8190..D8200': D goes up to D8199"),
            ("M not in tens", LINE + STATION.replace("D100..D131", "M5"), "FILE:6: station[1].read:"),
            ("write range", LINE + STATION + 'write = ["D131..D100"]\n',
             "FILE:7: station[1].write: range 'D131..D100': its end comes before its start"),
            ("mqtt without a broker", LINE + STATION + "[mqtt]\nqos = 1\n", "FILE:7: mqtt.broker: is required"),
            ("mqtt broker", LINE + STATION + MQTT.replace("127.0.0.1:1883", "127.0.0.1:99999"),
             "FILE:8: mqtt.broker: '127.0.0.1:99999' is not a host and port (1..65535)"),
            ("mqtt qos", LINE + STATION + MQTT + "qos = 3\n", "FILE:9: mqtt.qos: 3 is outside 0..2"),
            ("mqtt unknown key", LINE + STATION + MQTT + "password = \"x\"\n", "FILE:9: mqtt.password: unknown key"),
            ("mqtt prefix wildcard", LINE + STATION + MQTT + 'prefix = "plant/#"\n',
             "FILE:9: mqtt.prefix: 'plant/#' holds a wildcard (+ or #), which a published topic cannot hold"),
            ("mqtt prefix empty level", LINE + STATION + MQTT + 'prefix = "plant//line1"\n',
             "FILE:9: mqtt.prefix: 'plant//line1' has an empty level"),
            ("mqtt password file missing", LINE + STATION + MQTT + 'username = "gw"\npassword_file = "/nonexistent/pw"\n',
             "FILE:10: mqtt.password_file: '/nonexistent/pw' cannot be read"),
            ("mqtt password file a folder", LINE + STATION + MQTT + f'username = "gw"\npassword_file = "{P.scratch}"\n',
             f"FILE:10: mqtt.password_file: '{P.scratch}' is not a file"),
            ("mqtt password file empty", LINE + STATION + MQTT + f'username = "gw"\npassword_file = "{empty}"\n',
             f"FILE:10: mqtt.password_file: '{empty}' cannot be read, or holds no password"),
            ("mqtt tls authority missing", LINE + STATION + MQTT + 'tls_ca = "/nonexistent/ca.pem"\n',
             "FILE:9: mqtt.tls_ca: '/nonexistent/ca.pem' cannot be read"),
            ("sparkplug without tags", LINE + STATION + SPARKPLUG,
             "FILE:7: sparkplug: Sparkplug publishes named tags as metrics, and the file has no [[tag]]"),
            ("sparkplug without a group", LINE + STATION + SPARKPLUG.replace('group_id = "plant1"\n', "") + TAG,
             "FILE:7: sparkplug.group_id: is required"),
            ("sparkplug edge node id of two levels", LINE + STATION + SPARKPLUG.replace('"line1"', '"a/b"') + TAG,
             "FILE:10: sparkplug.edge_node_id: 'a/b' holds + # or /, which cannot stand in one topic level"),
            ("sparkplug primary host wildcard", LINE + STATION + SPARKPLUG + 'primary_host_id = "scada#"\n' + TAG,
             "FILE:11: sparkplug.primary_host_id: 'scada#' holds + # or /"),
            ("sparkplug buffer bound", LINE + STATION + SPARKPLUG + "buffer_max_mb = 0\n" + TAG,
             "FILE:11: sparkplug.buffer_max_mb: 0 is outside 1..65536"),
            ("sparkplug buffer a file", LINE + STATION + SPARKPLUG + 'buffer_dir = "/etc/hostname"\n' + TAG,
             "FILE:11: sparkplug.buffer_dir: '/etc/hostname' is not a folder"),
            ("sparkplug broker as [mqtt]", LINE + STATION + SPARKPLUG.replace("127.0.0.1:1883", "127.0.0.1:0") + TAG,
             "FILE:8: sparkplug.broker: '127.0.0.1:0' is not a host and port (1..65535)"),
            ("sparkplug has no qos", LINE + STATION + SPARKPLUG + "qos = 0\n" + TAG, "FILE:11: sparkplug.qos: unknown key"),
            ("station name wildcard", LINE + STATION + 'name = "press+1"\n',
             "FILE:7: station[1].name: 'press+1' holds + # or /"),
            ("station names twice", LINE + STATION + 'name = "press"\n' + STATION.replace("number = 1", "number = 2") +
             'name = "press"\n', "FILE:11: station[2].name: the name 'press' is already station 1's"),
            ("plan over the line", LINE + STATION + "poll_ms = 100\n",
             "FILE:3: line.baud: the poll plan needs 156% of the line at 9600 baud"),
            ("tag name empty part", LINE + STATION + TAG.replace("tank1/level", "tank1//level"),
             "FILE:8: tag[1].name: 'tank1//level' has an empty part"),
            ("tag name wildcard", LINE + STATION + TAG.replace("tank1/level", "tank1/+"), "FILE:8: tag[1].name: 'tank1/+' holds '+'"),
            ("tag name twice", LINE + STATION + TAG + TAG, "FILE:13: tag[2].name: 'tank1/level' is already a tag's name at line 8"),
            ("tag station unknown", LINE + STATION + TAG.replace("station = 1", "station = 2"),
             "FILE:9: tag[1].station: there is no [[station]] with number 2"),
            ("tag address", LINE + STATION + TAG.replace("D200", "Q1"), "FILE:10: tag[1].address: 'Q1' is not a register"),
            ("tag bit of a number", LINE + STATION + TAG.replace("D200", "D300.4"), "FILE:10: tag[1].address: 'D300.4' is one bit"),
            ("tag bool on a register", LINE + STATION + TAG.replace("f32", "bool"), "FILE:10: tag[1].address: 'D200': a bool tag is one bit"),
            ("tag 32 bits past the end", LINE + STATION + TAG.replace("D200", "D8199"), "FILE:10: tag[1].address: 'D8199' is past the last"),
            ("tag M for a number", LINE + STATION + TAG.replace("D200", "M12"), "FILE:10: tag[1].address: 'M12' is an M bit"),
            ("tag type", LINE + STATION + TAG.replace("f32", "f64"), "FILE:11: tag[1].type: 'f64' is not bool"),
            ("tag scale 0", LINE + STATION + TAG + "scale = 0\n", "FILE:12: tag[1].scale: must not be 0"),
            ("tag scale not finite", LINE + STATION + TAG + "scale = nan\n", "FILE:12: tag[1].scale: must be a finite number"),
            ("tag min above max", LINE + STATION + TAG + "min = 10.0\nmax = 1.0\n", "FILE:13: tag[1].max: is below min"),
            ("tag deadband", LINE + STATION + TAG + "deadband = -0.5\n", "FILE:12: tag[1].deadband: must be 0 or more"),
            ("tag poll_ms", LINE + STATION + TAG + "poll_ms = -1\n", "FILE:12: tag[1].poll_ms: -1 is outside 0..3600000"),
            ("tag unknown key", LINE + STATION + TAG + "scael = 0.1\n", "FILE:12: tag[1].scael: unknown key"),
            ("tag word order of 16 bits", LINE + STATION + TAG.replace("f32", "u16") + 'word_order = "low-first"\n',
             "FILE:12: tag[1].word_order: only the 32-bit types"),
            ("tag bool scaled", LINE + STATION + TAG.replace('"D200"', '"M12"').replace("f32", "bool") + "scale = 2\n",
             "FILE:12: tag[1].scale: a bool tag has no scale or offset"),
            ("tag writable outside the write ranges", LINE + STATION + TAG + "writable = true\n",
             "FILE:12: tag[1].writable: 'tank1/level' needs D200, which is not in station 1's write ranges"),
            ("tag limit no raw value holds", LINE + STATION + 'write = ["D200"]\n' + TAG.replace("f32", "u16") +
             "scale = 0.1\nwritable = true\nmin = -1.0\n",
             "FILE:15: tag[1].min: -1 is raw -10, which is outside the raw range 0..65535 of u16"),
            ("rs485 mode", REAL + 'rs485 = "on"\n' + STATION,
             "FILE:4: line.rs485: 'on' is not \"off\", \"rts-on-send\" or \"rts-after-send\""),
            ("rs485 delay without rs485", REAL + "rs485_delay_before_us = 500\n" + STATION,
             "FILE:4: line.rs485_delay_before_us: needs rs485 = \"rts-on-send\" or \"rts-after-send\": with rs485 off"),
            ("rs485 delay with rs485 off", REAL + 'rs485 = "off"\nrs485_delay_after_us = 500\n' + STATION,
             "FILE:5: line.rs485_delay_after_us: needs rs485 = "),
            ("rs485 delay too long", REAL + 'rs485 = "rts-on-send"\nrs485_delay_after_us = 100001\n' + STATION,
             "FILE:5: line.rs485_delay_after_us: 100001 is outside 0..100000"),
            ("rs485 on the simulator", LINE + 'rs485 = "rts-after-send"\n' + STATION,
             "FILE:4: line.rs485: the simulator (port = \"sim\") is a pseudo-terminal with no transmitter to switch"),
        ]
        for name, text, expected in table:
            with self.subTest(name):
                code, out, err = check(text)
                self.assertEqual(code, 2, f"{name}: {out}{err}")
                self.assertIn(expected, err, name)
                self.assertEqual(out, "", name)

    def test_poll_periods_said_per_station(self):
        table = [
            # name, file, code, in the plan, in the messages
            ("no mqtt: read on demand", LINE + STATION, 0,
             "station 1 (unit 1): 1 block, 156.2 ms of wire time per poll, read only when a client asks\n", ""),
            ("mqtt: polled by default", LINE + STATION + MQTT, 0,
             "station 1 (unit 1): 1 block, 156.2 ms of wire time per poll, polled every 1000 ms: 15.6% of the line",
             ""),
            ("sparkplug: polled by default", LINE + STATION + SPARKPLUG + TAG, 0,
             "station 1 (unit 1): 2 blocks, 187.5 ms of wire time per poll, polled every 1000 ms", ""),
            ("mqtt: its own period", LINE + STATION + "poll_ms = 2000\n" + MQTT, 0, "polled every 2000 ms", ""),
            ("mqtt: poll_ms = 0 warned", LINE + STATION + "poll_ms = 0\n" + MQTT, 0,
             "read only when a client asks: its MQTT topics will not update",
             "qvgateway: warning: FILE:7: station[1].poll_ms: 0 with [mqtt]: station 1's MQTT topics will not "
             "update"),
            ("a port that does not exist, after the plan", LINE.replace('"sim"', '"ttyQVnone"') + STATION, 2,
             "station 1 (unit 1): 1 block",
             "qvgateway: FILE:2: line.port: /dev/ttyQVnone does not exist on this machine: the gateway would not "
             "start"),
            ("rs485 said with the line", REAL + 'rs485 = "rts-on-send"\nrs485_delay_before_us = 1500\n' + STATION, 0,
             "line /dev/null, 9600 baud, 10 bits per character, RS-485 rts-on-send (RTS 1500 us before and 0 us after "
             "sending)\n", ""),
            ("rs485 off said nowhere", REAL + 'rs485 = "off"\nrs485_delay_before_us = 0\n' + STATION, 0,
             "line /dev/null, 9600 baud, 10 bits per character\n", ""),
            ("a path that does not exist", LINE.replace('"sim"', '"/dev/serial/by-id/nosuch"') + STATION, 2,
             "line /dev/serial/by-id/nosuch", "/dev/serial/by-id/nosuch does not exist on this machine"),
        ]
        for name, text, expected_code, plan, message in table:
            with self.subTest(name):
                code, out, err = check(text)
                self.assertEqual(code, expected_code, f"{name}: {out}{err}")
                self.assertIn(plan, out, name)
                self.assertIn(message, err, name)
                if not message:
                    self.assertEqual(err, "", name)

    def test_a_missing_file_is_named_with_the_systems_reason(self):
        missing = os.path.join(P.scratch, "nosuch.toml")
        done = subprocess.run([GATEWAY, "--check-config", missing], capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn(f"{missing}: cannot be read: No such file or directory", done.stderr)


    def test_mqtt_password_only_from_its_file_and_never_shown(self):
        secret = os.path.join(P.scratch, "secret")
        with open(secret, "w") as f:
            f.write("s3cr3t-word\n")
        code, out, err = check(LINE + STATION + MQTT + f'username = "gw"\npassword_file = "{secret}"\n')
        self.assertEqual(code, 0, err)
        self.assertNotIn("s3cr3t-word", out + err)
        code, out, err = check(LINE + STATION + MQTT + f'password_file = "{secret}"\n')
        self.assertEqual(code, 2, out + err)
        self.assertIn("FILE:9: mqtt.password_file: a password needs a username", err)
        self.assertNotIn("s3cr3t-word", out + err)


class Start(unittest.TestCase):
    def test_a_port_that_cannot_be_opened_exits_1_naming_it(self):
        path = os.path.join(P.scratch, "run.toml")
        with open(path, "w") as f:
            f.write(LINE.replace('"sim"', '"/dev/ttyQVnone"') + STATION)
        done = subprocess.run([GATEWAY, "--config", path], capture_output=True, text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("line.port /dev/ttyQVnone: no such device", done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)

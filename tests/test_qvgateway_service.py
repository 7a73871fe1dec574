#!/usr/bin/env python3
"""qvgateway as a service: SIGHUP reads the file again (a good one applied,
the port kept open when the line did not change; a bad one refused with
its reasons in the log while the old one serves on); the readiness
datagrams systemd reads; the journal's severity prefixes; one log line per
write from Modbus and MQTT; a flood of refused connections summarised; the
command line and the shipped example file. Linux only.

Usage: test_qvgateway_service.py QVPOLL   (qvgateway and qvsim beside it)
"""
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

from gateway_harness import Gateway, Programs, Simulator, station_toml
from mqtt_harness import Broker, free_port, mqtt_toml
from qvpoll_harness import children_of

P = Programs(sys.argv[1:])
del sys.argv[1:]
GATEWAY = os.path.join(os.path.dirname(P.qvpoll), "qvgateway")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "dist", "qvgateway.example.toml")
TIMED = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d qvgateway: "


def gateway_toml(listen_port, read=("D100..D101",), sim_set=("D100=1234", "D110=777"), port="sim", stations=None,
                 modbus=""):
    sets = "sim_set = [" + ", ".join(f'"{s}"' for s in sim_set) + "]\n"
    stations = stations or [station_toml(1, read=read, write=["D100"])]
    return (f'[line]\nport = "{port}"\nbaud = 57600\ntimeout_ms = 200\nreply_wait = "early"\n{sets}\n'
            f'[modbus]\nlisten = "127.0.0.1:{listen_port}"\n{modbus}\n' + "\n".join(stations))


def wait_log(gateway, pattern, count=1, seconds=20):
    """The log once `pattern` is in it `count` times; fails when the
    gateway ends or the time passes first."""
    deadline = time.monotonic() + seconds
    while True:
        log = gateway.log()
        if len(re.findall(pattern, log)) >= count:
            return log
        if gateway.process.poll() is not None or time.monotonic() > deadline:
            raise AssertionError(f"no {pattern!r} (x{count}) in the log:\n{log}")
        time.sleep(0.05)


def simulators(gateway):
    found = []
    for pid in children_of(gateway.process.pid):
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == "qvsim":
                    found.append(pid)
        except OSError:
            pass
    return found


def read_registers(port, first, count, unit=1):
    from pymodbus.client import ModbusTcpClient
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=3, retries=0)
    try:
        if not c.connect():
            return "no connection"
        reply = c.read_holding_registers(first, count, slave=unit)
        return f"exception {reply.exception_code}" if reply.isError() else reply.registers
    finally:
        c.close()


class Reload(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.gateway = Gateway(P, gateway_toml(self.port))
        self.addCleanup(self.gateway.close)

    def rewrite(self, text):
        with open(self.gateway.config_path, "w") as f:
            f.write(text)
        self.gateway.process.send_signal(signal.SIGHUP)

    def test_a_good_file_is_applied(self):
        self.assertEqual(read_registers(self.port, 110, 1), "exception 2")
        before = simulators(self.gateway)
        self.assertEqual(len(before), 1)
        table = [
            # what changed, the file, what the log says, whether the simulator is the same
            ("the Modbus port and a read range", lambda p: gateway_toml(p, read=["D100..D119"]),
             "reloaded: the port stayed open", 777, True),
            ("the simulator's memory, a key of [line]",
             lambda p: gateway_toml(p, read=["D100..D119"], sim_set=["D100=1234", "D110=778"]),
             "reloaded: the port was reopened", 778, False),
        ]
        for count, (name, text, said, value, same) in enumerate(table, 1):
            with self.subTest(name):
                old, self.port = self.port, free_port()
                sims = simulators(self.gateway)
                self.rewrite(text(self.port))
                log = wait_log(self.gateway, re.escape(said), count=1)
                wait_log(self.gateway, r"reloaded: ", count=count)
                self.assertIn(f"Modbus TCP on 127.0.0.1:{self.port}", log)
                self.assertEqual(read_registers(self.port, 110, 1), [value])
                self.assertEqual(read_registers(self.port, 100, 1), [1234])
                self.assertEqual(read_registers(old, 100, 1), "no connection")
                self.assertEqual(simulators(self.gateway) == sims, same, log)
        self.assertEqual(self.gateway.stop()[0], 0)

    def test_a_bad_file_is_refused_and_the_old_one_serves_on(self):
        table = [
            ("an unknown key", gateway_toml(self.port).replace("baud =", "speed ="),
             [r"FILE:\d+: line\.speed: unknown key"]),
            ("not TOML", gateway_toml(self.port) + "read = = 1\n", [r"FILE:\d+:"]),
            ("two problems of one step, each on its own line",
             gateway_toml(self.port).replace("number = 1", "number = 40").replace("timeout_ms = 200",
                                                                                  "timeout_ms = 99999"),
             [r"FILE:\d+: line\.timeout_ms: 99999 is outside", r"FILE:\d+: station\[1\]\.number: stations are"]),
            ("a range outside the area", gateway_toml(self.port, read=["D8190..D8200"]),
             [r"FILE:\d+: station\[1\]\.read: range 'D8190\.\.D8200'"]),
        ]
        sims = simulators(self.gateway)
        for count, (name, text, reasons) in enumerate(table, 1):
            with self.subTest(name):
                self.rewrite(text)
                log = wait_log(self.gateway, "reload refused: the running configuration stays", count=count)
                log = log.replace(self.gateway.config_path, "FILE")
                for reason in reasons:
                    self.assertRegex(log, re.compile("^" + TIMED + reason, re.M))
                self.assertEqual(read_registers(self.port, 100, 1), [1234])
                self.assertEqual(read_registers(self.port, 110, 1), "exception 2")
        self.assertEqual(simulators(self.gateway), sims)
        self.assertNotIn("reloaded", self.gateway.log())
        self.assertEqual(self.gateway.stop()[0], 0)

    def test_mqtt_and_http_come_and_go_with_the_file(self):
        broker = Broker()
        self.addCleanup(broker.stop)
        http_port = free_port()
        sides = mqtt_toml(broker, "qv/reload") + f'[http]\nlisten = "127.0.0.1:{http_port}"\n'
        sims = simulators(self.gateway)
        table = [
            # the file, the MQTT status then, whether /healthz answers
            (gateway_toml(self.port) + sides, "online", True),
            (gateway_toml(self.port), "offline", False),
        ]
        for count, (text, mqtt_status, http) in enumerate(table, 1):
            with self.subTest(mqtt=mqtt_status):
                self.rewrite(text)
                wait_log(self.gateway, "reloaded: the port stayed open", count=count)
                self.assertEqual(broker.subscribe(["qv/reload/status"], 1), [("qv/reload/status", mqtt_status)])
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/healthz", timeout=5) as reply:
                        answered = reply.status
                except urllib.error.HTTPError as e:
                    answered = e.code
                except OSError:
                    answered = None
                self.assertEqual(answered is not None, http, answered)
                self.assertEqual(read_registers(self.port, 100, 1), [1234])
        self.assertEqual(simulators(self.gateway), sims)

    def test_a_reload_that_fails_half_way_exits_1_for_a_restart(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        self.rewrite(gateway_toml(taken.getsockname()[1]))
        self.assertEqual(self.gateway.process.wait(20), 1)
        log = self.gateway.log()
        self.assertIn("cannot listen on 127.0.0.1:", log)
        self.assertIn("reload failed half-way", log)
        self.assertEqual(simulators(self.gateway), [])


class Readiness(unittest.TestCase):
    """NOTIFY_SOCKET as systemd sets it for Type=notify."""

    def socket(self, abstract):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(s.close)
        name = f"@qvgw-test-{os.getpid()}" if abstract else os.path.join(P.scratch, "notify")
        s.bind("\0" + name[1:] if abstract else name)
        if not abstract:
            self.addCleanup(os.unlink, name)
        s.settimeout(20)
        return s, name

    def messages(self, s, count):
        return [s.recv(4096).decode() for _ in range(count)]

    def test_ready_reloading_ready_stopping_in_order(self):
        for abstract in (False, True):
            with self.subTest(abstract=abstract):
                s, name = self.socket(abstract)
                gateway = Gateway(P, gateway_toml(0), env={"NOTIFY_SOCKET": name})
                self.addCleanup(gateway.close)
                self.assertEqual(self.messages(s, 1), ["READY=1\nSTATUS=serving"])
                gateway.process.send_signal(signal.SIGHUP)
                reloading, ready = self.messages(s, 2)
                self.assertRegex(reloading, r"^RELOADING=1\nMONOTONIC_USEC=\d+\n")
                self.assertEqual(ready, "READY=1\nSTATUS=serving")
                # A refused file: ready again, on the old configuration.
                with open(gateway.config_path, "a") as f:
                    f.write("nonsense = 1\n")
                gateway.process.send_signal(signal.SIGHUP)
                reloading, ready = self.messages(s, 2)
                self.assertTrue(reloading.startswith("RELOADING=1\n"), reloading)
                self.assertTrue(ready.startswith("READY=1\nSTATUS=serving; the last reload was refused"), ready)
                self.assertEqual(gateway.stop()[0], 0)
                self.assertTrue(self.messages(s, 1)[0].startswith("STOPPING=1\n"))

    def test_never_ready_when_the_line_cannot_be_opened(self):
        s, name = self.socket(False)
        path = os.path.join(P.scratch, "noport.toml")
        with open(path, "w") as f:
            f.write(gateway_toml(0, port="/dev/ttyQVnone"))
        done = subprocess.run([GATEWAY, "--config", path], capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, NOTIFY_SOCKET=name), stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 1, done.stderr)
        # The gateway has ended: anything it sent is queued already.
        s.setblocking(False)
        with self.assertRaises(BlockingIOError):
            s.recv(4096)


class Severities(unittest.TestCase):
    def test_journal_prefixes_and_times_elsewhere(self):
        table = [
            # name, gateway options, the start line, the refusal's problem, the refusal
            ("the journal's stream", {"journal": True}, r"^<5>started: ", r"^<3>FILE:\d+: line\.speed: unknown key",
             r"^<4>reload refused"),
            ("JOURNAL_STREAM naming another stream", {"env": {"JOURNAL_STREAM": "1:1"}}, "^" + TIMED + "started: ",
             "^" + TIMED + r"FILE:\d+: line\.speed", "^" + TIMED + "reload refused"),
            ("no JOURNAL_STREAM", {}, "^" + TIMED + "started: ", "^" + TIMED + r"FILE:\d+: line\.speed",
             "^" + TIMED + "reload refused"),
        ]
        saved = os.environ.pop("JOURNAL_STREAM", None)
        try:
            for name, options, started, problem, refused in table:
                with self.subTest(name):
                    with Gateway(P, gateway_toml(0), **options) as gateway:
                        text = gateway_toml(0).replace("baud =", "speed =")
                        with open(gateway.config_path, "w") as f:
                            f.write(text)
                        gateway.process.send_signal(signal.SIGHUP)
                        log = wait_log(gateway, "reload refused").replace(gateway.config_path, "FILE")
                        for pattern in (started, problem, refused):
                            self.assertRegex(log, re.compile(pattern, re.M))
                        self.assertEqual(gateway.stop()[0], 0)
        finally:
            if saved is not None:
                os.environ["JOURNAL_STREAM"] = saved

    def test_a_startup_failure_is_in_the_log_with_its_severity(self):
        path = os.path.join(P.scratch, "noport.toml")
        with open(path, "w") as f:
            f.write(gateway_toml(0, port="/dev/ttyQVnone"))
        log = os.path.join(P.scratch, "startup.log")
        with open(log, "w") as err:
            st = os.fstat(err.fileno())
            code = subprocess.run([GATEWAY, "--config", path], stderr=err, stdout=subprocess.DEVNULL, timeout=60,
                                  env=dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}"),
                                  stdin=subprocess.DEVNULL).returncode
        with open(log) as f:
            text = f.read()
        self.assertEqual(code, 1, text)
        self.assertRegex(text, re.compile(r"^<3>line\.port .*ttyQVnone", re.M))


    def test_a_port_without_rs485_switching(self):
        # A pseudo-terminal has none: with rs485 on the gateway does not
        # start, and its log gives the kernel's answer; with it off it serves.
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        device = os.ttyname(slave)
        os.close(slave)

        def config(rs485):
            return gateway_toml(0, port=device, sim_set=()).replace("timeout_ms = 200\n", "timeout_ms = 200\n" + rs485)

        path = os.path.join(P.scratch, "rs485.toml")
        with open(path, "w") as f:
            f.write(config('rs485 = "rts-on-send"\nrs485_delay_before_us = 1000\n'))
        log = os.path.join(P.scratch, "rs485.log")
        with open(log, "w") as err:
            st = os.fstat(err.fileno())
            code = subprocess.run([GATEWAY, "--config", path], stderr=err, stdout=subprocess.DEVNULL, timeout=60,
                                  env=dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}"),
                                  stdin=subprocess.DEVNULL).returncode
        with open(log) as f:
            text = f.read()
        self.assertEqual(code, 1, text)
        self.assertRegex(text, re.compile(r"^<4>the port refused RS485=rts-on-send RS485DelayBeforeUs=1000 "
                                          r"RS485DelayAfterUs=0, the kernel answered .* \(errno \d+\); .*RS485 left off",
                                          re.M))
        self.assertRegex(text, re.compile(r"^<3>line\.port .*: the driver opened it but could not configure it; the "
                                          r"driver says code 4, configuring the serial port failed", re.M))
        with Gateway(P, config('rs485 = "off"\n'), journal=True) as gateway:
            self.assertEqual(gateway.stop()[0], 0, gateway.log())
            self.assertNotIn("RS485", gateway.log())


class Writes(unittest.TestCase):
    def test_each_write_on_one_line(self):
        sim = Simulator(P, ["--station", "1"])
        self.addCleanup(sim.stop)
        broker = Broker()
        self.addCleanup(broker.stop)
        stations = [station_toml(1, read=["D100..D101", "M10"], write=["D100..D101", "M10"]),
                    station_toml(2, read=["D0"], write=["D0"])]
        text = gateway_toml(0, port=sim.port, stations=stations).replace('[line]\n', '[line]\ndemote_after = 1000\n')
        gateway = Gateway(P, text.replace("sim_set = [\"D100=1234\", \"D110=777\"]\n", "") +
                          mqtt_toml(broker, "qv/svc"))
        self.addCleanup(gateway.close)
        from pymodbus.client import ModbusTcpClient
        c = ModbusTcpClient("127.0.0.1", port=gateway.port, timeout=5, retries=0)
        self.addCleanup(c.close)
        self.assertTrue(c.connect())
        self.assertFalse(c.write_registers(100, [5, 6], slave=1).isError())
        self.assertFalse(c.write_coil(10, True, slave=1).isError())
        self.assertTrue(c.write_register(0, 9, slave=2).isError())
        result, _ = broker.ask("qv/svc/status", "qv/svc/1/D101/set", '{"value": 7, "id": "abc"}')
        self.assertEqual(result, {"id": "abc", "ok": True})
        table = [
            r'write from modbus 127\.0\.0\.1:\d+ unit 1: station 1 D100\.\.D101 = 5, 6: done',
            r'write from modbus 127\.0\.0\.1:\d+ unit 1: station 1 M10 = 1: done',
            r'write from modbus 127\.0\.0\.1:\d+ unit 2: station 2 D0 = 9: failed: .+ \(driver code \d+\)',
            r'write from mqtt qv/svc/1/D101/set id "abc": station 1 D101 = 7: done',
        ]
        log = wait_log(gateway, "write from mqtt")
        for pattern in table:
            self.assertEqual(len(re.findall("^" + TIMED + pattern + "$", log, re.M)), 1, pattern + "\n" + log)
        self.assertEqual(log.count("write from "), len(table), log)
        self.assertEqual([r for r in sim.requests() if r.startswith("write")].count("write D101 = 7"), 1)


class Refusals(unittest.TestCase):
    def test_a_flood_of_refused_connections_is_summarised(self):
        gateway = Gateway(P, gateway_toml(0, modbus='allow = ["10.9.9.9/32"]\n'))
        self.addCleanup(gateway.close)
        flood = 200
        for _ in range(flood):
            with socket.create_connection(("127.0.0.1", gateway.port), timeout=5) as s:
                self.assertEqual(s.recv(1), b"")  # closed by the gateway
        deadline = time.monotonic() + 60
        while True:
            log = gateway.log()
            whole = re.findall(r"client 127\.0\.0\.1:\d+ refused: not in modbus\.allow", log)
            counted = [int(n) for n in re.findall(r"(\d+) more connections? refused from 127\.0\.0\.1 in the last 10 s",
                                                  log)]
            if len(whole) + sum(counted) >= flood or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(len(whole) + sum(counted), flood, log)
        self.assertLessEqual(len(whole) + len(counted), 8, log)
        self.assertEqual(len([line for line in log.splitlines() if "refused" in line]), len(whole) + len(counted))


class CommandLine(unittest.TestCase):
    def run_gateway(self, args):
        done = subprocess.run([GATEWAY, *args], capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout + done.stderr

    def test_options(self):
        with open(os.path.join(ROOT, "VERSION")) as f:
            version = re.escape(f.readline().strip())
        good = os.path.join(P.scratch, "good.toml")
        with open(good, "w") as f:
            f.write(gateway_toml(0))
        table = [
            (["--help"], 0, r"Modbus TCP, MQTT and HTTP clients"),
            (["--help"], 0, r"\[FILE\]\n(.|\n)*run with this TOML file \(the same as --config FILE\)"),
            (["--version"], 0, rf"^qvgateway {version}\ndriver \S*Quorvalend\.so \(.*{version}.*\)\n$"),
            (["--version", "--module", "/nonexistent/Quorvalend.so"], 1, rf"^qvgateway {version}\n"),
            ([good, "--config", good], 2, r"excludes"),
            ([good, "--check-config", good], 2, r"excludes"),
            ([], 2, r"give FILE or --config FILE to run"),
            (["--check-config", good], 0, r"line sim, 57600 baud"),
            (["--check-config", EXAMPLE], 0, r"line sim, 9600 baud"),
        ]
        for args, code, pattern in table:
            with self.subTest(args=args):
                got, out = self.run_gateway(args)
                self.assertEqual(got, code, out)
                self.assertRegex(out, re.compile(pattern, re.M))

    def test_the_example_with_every_optional_key(self):
        secret = os.path.join(P.scratch, "password")
        with open(secret, "w") as f:
            f.write("not-logged\n")
        with open(EXAMPLE) as f:
            text = f.read()
        # "#key = ..." and "#[table]" are the optional parts; "# " is prose.
        full = re.sub(r"^#(?=[a-z\[])", "", text, flags=re.M)
        full = full.replace("/etc/quorvalend/line1.password", secret).replace("/etc/quorvalend/ca.pem", secret)
        self.assertGreater(full.count("\n[mqtt]") + full.count("\n[http]"), 1)
        path = os.path.join(P.scratch, "full.toml")
        with open(path, "w") as f:
            f.write(full)
        code, out = self.run_gateway(["--check-config", path])
        self.assertEqual(code, 0, out)
        self.assertNotIn("not-logged", out)

    def test_a_positional_file_runs_as_config(self):
        with Gateway(P, gateway_toml(0), positional=True) as gateway:
            self.assertEqual(read_registers(gateway.port, 100, 1), [1234])
            self.assertEqual(gateway.stop()[0], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""qvgateway seen from real Modbus TCP clients (mbpoll, pymodbus, raw
sockets) over a pseudo-terminal to qvsim: values are qvsim's memory,
writes land there, every exception comes from a real request, eight
clients at once are each answered right and in turn, and a client that
misbehaves is answered or closed while the others are served. Linux only.

Usage: test_qvgateway_clients.py QVPOLL   (qvgateway and qvsim beside it)
"""
import struct
import sys
import threading
import time
import unittest

from gateway_harness import Gateway, Programs, Simulator, closed, config_toml, request, station_toml

P = Programs(sys.argv[1:])
del sys.argv[1:]

PRESET = {f"D{100 + i}": 1000 + 37 * i for i in range(32)}
PRESET.update({"M10": 0x3C, "M20": 0x81})

# Station 1 answers; 2 is silent (qvsim does not serve it); 3 answers NAK.
STATIONS = [
    station_toml(1, read=["D100..D131", "M0..M30"], write=["D100..D109", "M10"], max_age_ms=50),
    station_toml(2, read=["D0..D9", "D40..D49"]),
    station_toml(3, read=["D0..D9"]),
]


def setUpModule():
    global SIM, GW
    sets = [a for k, v in PRESET.items() for a in ("--set", f"{k}={v}")]
    SIM = Simulator(P, ["--station", "1", "--station", "3", "--fault", "nak", "--fault-station", "3", *sets])
    try:
        GW = Gateway(P, config_toml(SIM.port, STATIONS, line="demote_after = 1000\n"))
    except Exception:
        SIM.stop()
        raise


def tearDownModule():
    if GW.process.poll() is not None:
        print("qvgateway ended early, status", GW.process.returncode, GW.log())
    GW.close()
    SIM.stop()


class WithMbpoll(unittest.TestCase):
    def test_reads_registers_and_coils(self):
        code, out = GW.mbpoll(["-a", "1", "-t", "4", "-r", "100", "-c", "4"])
        self.assertEqual(code, 0, out)
        for i in range(4):
            self.assertIn(f"[{100 + i}]: \t{PRESET[f'D{100 + i}']}", out)
        code, out = GW.mbpoll(["-a", "1", "-t", "0", "-r", "10", "-c", "8"])
        self.assertEqual(code, 0, out)
        bits = [int(line.split("\t")[1]) for line in out.splitlines() if line.startswith("[1")]
        self.assertEqual(bits, [(0x3C >> b) & 1 for b in range(8)])

    def test_write_lands_in_the_controller_and_reads_back(self):
        code, out = GW.mbpoll(["-a", "1", "-t", "4", "-r", "105"], [4321])
        self.assertEqual(code, 0, out)
        self.assertIn("write D105 = 4321", SIM.requests())
        code, out = GW.mbpoll(["-a", "1", "-t", "4", "-r", "105"])
        self.assertIn("[105]: \t4321", out)


class WithPymodbus(unittest.TestCase):
    def test_multi_register_write_goes_one_register_at_a_time_in_order(self):
        c = GW.client()
        try:
            self.assertFalse(c.write_registers(106, [7, 8, 9], slave=1).isError())
            self.assertEqual(c.read_holding_registers(106, 3, slave=1).registers, [7, 8, 9])
        finally:
            c.close()
        requests = SIM.requests()
        at = requests.index("write D106 = 7")
        self.assertEqual(requests[at:at + 3], ["write D106 = 7", "write D107 = 8", "write D108 = 9"])

    def test_coil_write_reads_the_group_and_writes_the_byte(self):
        c = GW.client()
        try:
            self.assertFalse(c.write_coil(11, True, slave=1).isError())
            self.assertFalse(c.write_coils(16, [True, False], slave=1).isError())
            self.assertEqual(c.read_coils(10, 8, slave=1).bits[:8], [(0x7E >> b) & 1 == 1 for b in range(8)])
        finally:
            c.close()
        requests = SIM.requests()
        # 0x3C with bit 1 set, then bit 6 set and bit 7 cleared; each write
        # right after a fresh read of its group.
        self.assertIn("write M10 = 62", requests)
        self.assertEqual(requests[requests.index("write M10 = 62") - 1], "read M10 x1 groups")
        self.assertIn("write M10 = 126", requests)


class Exceptions(unittest.TestCase):
    """Each exception the gateway gives, from a real request."""

    def test_every_exception(self):
        c = GW.client()
        try:
            table = [
                ("register outside read", lambda: c.read_holding_registers(200, 1, slave=1), 0x02),
                ("input register outside read", lambda: c.read_input_registers(99, 2, slave=1), 0x02),
                ("status register past 9015", lambda: c.read_input_registers(9010, 8, slave=1), 0x02),
                ("status as a holding register", lambda: c.read_holding_registers(9000, 1, slave=1), 0x02),
                ("write outside write", lambda: c.write_register(120, 1, slave=1), 0x02),
                ("coil 18 does not exist", lambda: c.read_coils(18, 1, slave=1), 0x02),
                ("coil write outside write", lambda: c.write_coil(21, True, slave=1), 0x02),
                ("126 registers", lambda: c.read_holding_registers(100, 126, slave=1), 0x03),
                ("2001 coils", lambda: c.read_coils(0, 2001, slave=1), 0x03),
                ("unit not configured", lambda: c.read_holding_registers(100, 1, slave=9), 0x0A),
                ("silent station", lambda: c.read_holding_registers(0, 1, slave=2), 0x0B),
                ("controller answers NAK", lambda: c.read_holding_registers(0, 1, slave=3), 0x04),
                ("write to a NAK station", lambda: c.write_register(0, 1, slave=3), 0x02),
            ]
            for name, call, code in table:
                with self.subTest(name):
                    r = call()
                    self.assertTrue(r.isError(), name)
                    self.assertEqual(getattr(r, "exception_code", None), code, f"{name}: {r}")
        finally:
            c.close()
        with GW.raw() as s:
            self.assertEqual(request(s, 1, bytes([0x07])), bytes([0x87, 0x01]))  # read exception status
            self.assertEqual(request(s, 1, bytes([0x2B, 0x0E, 0x01, 0x00])), bytes([0xAB, 0x01]))
            # The connection still serves after both.
            self.assertEqual(request(s, 1, bytes([0x03, 0, 100, 0, 1])), bytes([3, 2]) + struct.pack(">H", 1000))

    def test_queue_full_answers_busy(self):
        # One place in the queue, a station that times out, four blocks:
        # while the first is on the line and the second waits, the third
        # finds the queue full.
        with Simulator(P, ["--station", "1"]) as sim, \
                Gateway(P, config_toml(sim.port, [station_toml(2, read=["D0..D9", "D40..D49", "D80..D89", "D120..D129"])],
                                       line="queue_size = 1\ndemote_after = 1000\n")) as gw:
            codes = []

            def read(first):
                c = gw.client(timeout=5)
                r = c.read_holding_registers(first, 1, slave=2)
                codes.append(getattr(r, "exception_code", None))
                c.close()

            threads = [threading.Thread(target=read, args=(first,)) for first in (0, 40, 80, 120)]
            for t in threads:
                t.start()
                time.sleep(0.03)
            for t in threads:
                t.join()
            self.assertIn(0x06, codes)
            self.assertTrue(set(codes) <= {0x06, 0x0B}, codes)


class ManyClients(unittest.TestCase):
    def test_eight_clients_500_reads_each(self):
        errors = []

        def work(k):
            c = GW.client()
            try:
                first = 100 + 3 * k
                want = [PRESET[f"D{first + i}"] for i in range(4)]
                for n in range(500):
                    r = c.read_holding_registers(first, 4, slave=1)
                    if r.isError() or r.registers != want:
                        errors.append((k, n, str(r)))
                        return
            finally:
                c.close()

        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])

    def test_client_gone_mid_request_is_dropped_and_others_served(self):
        # The first holds the line with time-outs; the others wait for
        # another block and are gone before their turn.
        socks = [GW.raw() for _ in range(3)]
        for s, first in zip(socks, [0, 40, 40]):
            s.sendall(struct.pack(">HHHB", 1, 0, 6, 2) + bytes([3, 0, first, 0, 1]))
        for s in socks:
            s.close()
        c = GW.client()
        try:
            r = c.read_holding_registers(100, 2, slave=1)
            self.assertEqual(r.registers, [PRESET["D100"], PRESET["D101"]])
            deadline = time.monotonic() + 5
            dropped = 0
            while dropped == 0 and time.monotonic() < deadline:
                time.sleep(0.1)
                dropped = c.read_input_registers(9008, 1, slave=2).registers[0]
            self.assertGreaterEqual(dropped, 1)
        finally:
            c.close()


class MalformedFrames(unittest.TestCase):
    def test_bad_frames_close_that_client_only(self):
        cases = [
            ("protocol id not 0", struct.pack(">HHHB", 1, 7, 6, 1) + bytes([3, 0, 100, 0, 1])),
            ("length 1", struct.pack(">HHHB", 1, 0, 1, 1)),
            ("length over 254", struct.pack(">HHHB", 1, 0, 300, 1) + bytes(20)),
            ("cut in half", struct.pack(">HHHB", 1, 0, 6, 1) + bytes([3, 0])),
            ("an exception's function code", struct.pack(">HHHB", 1, 0, 2, 1) + bytes([0x83])),
        ]
        good = GW.raw()
        try:
            for name, frame in cases:
                with self.subTest(name):
                    with GW.raw() as s:
                        s.sendall(frame)
                        self.assertTrue(closed(s), name)
                    self.assertEqual(request(good, 1, bytes([0x03, 0, 101, 0, 1])),
                                     bytes([3, 2]) + struct.pack(">H", PRESET["D101"]))
            # Wrong lengths inside a well-delimited frame are answered 0x03.
            self.assertEqual(request(good, 1, bytes([0x03, 0, 100])), bytes([0x83, 0x03]))
            self.assertEqual(request(good, 1, bytes([0x10, 0, 100, 0, 2, 3, 0, 1, 0])), bytes([0x90, 0x03]))
        finally:
            good.close()


class Admission(unittest.TestCase):
    """Who may connect, how many, for how long; and --trace."""

    def test_allow_max_clients_idle_timeout_and_trace(self):
        one = [station_toml(1, read=["D100..D101"])]
        with Gateway(P, config_toml("sim", one, line='sim_set = ["D100=77"]\n',
                                    modbus='allow = ["10.0.0.0/8"]\n')) as gw:
            with gw.raw() as s:
                self.assertTrue(closed(s, 2))
            self.assertIn("refused: not in modbus.allow", gw.log())
        with Gateway(P, config_toml("sim", one, line='sim_set = ["D100=77"]\n',
                                    modbus="max_clients = 2\nidle_timeout_s = 1\n"), ["--trace"]) as gw:
            first, second = gw.raw(), gw.raw()
            for s in (first, second):
                self.assertEqual(request(s, 1, bytes([3, 0, 100, 0, 1])), bytes([3, 2, 0, 77]))
            with gw.raw() as third:
                self.assertTrue(closed(third, 2))
            self.assertIn("refused: already 2 clients", gw.log())
            start = time.monotonic()
            self.assertTrue(closed(first, 3))
            self.assertLess(time.monotonic() - start, 2.5)
            second.close()
            first.close()
            # The driver's own trace: the request frame and the outcome.
            self.assertIn("read D100", gw.log())
            self.assertIn("<ENQ>", gw.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)

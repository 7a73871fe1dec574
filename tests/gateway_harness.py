"""qvgateway as an operator runs it: a TOML file, qvsim on the far end of a
pseudo-terminal, and Modbus TCP clients nobody here wrote (mbpoll,
pymodbus). Every process started here is ended here, by PID, also when a
test fails; the scratch folder goes with the run.
"""
import os
import re
import signal
import socket
import struct
import subprocess
import time

from qvpoll_harness import Programs, Simulator  # noqa: F401 (re-exported)

from pymodbus.client import ModbusTcpClient


def station_toml(number, read=(), write=(), poll_ms=0, max_age_ms=1000, unit=None):
    text = f"[[station]]\nnumber = {number}\npoll_ms = {poll_ms}\nmax_age_ms = {max_age_ms}\n"
    if unit is not None:
        text += f"unit = {unit}\n"
    if read:
        text += "read = [" + ", ".join(f'"{r}"' for r in read) + "]\n"
    if write:
        text += "write = [" + ", ".join(f'"{w}"' for w in write) + "]\n"
    return text


def config_toml(port, stations, line="", modbus=""):
    return (f'[line]\nport = "{port}"\nbaud = 57600\ntimeout_ms = 200\nreply_wait = "early"\n{line}\n'
            f'[modbus]\nlisten = "127.0.0.1:0"\n{modbus}\n' + "\n".join(stations))


class Gateway:
    """qvgateway --config FILE in the background; its log kept in a file."""

    serial = 0

    def __init__(self, programs, config_text, args=(), env=None, journal=False, positional=False):
        """`env`: more environment; `journal`: JOURNAL_STREAM names the log
        file, as systemd names the journal's stream; `positional`: the file
        given as FILE instead of --config FILE."""
        Gateway.serial += 1
        self.programs = programs
        self.program = os.path.join(os.path.dirname(programs.qvpoll), "qvgateway")
        base = os.path.join(programs.scratch, f"gw{Gateway.serial}")
        self.config_path = base + ".toml"
        with open(self.config_path, "w") as f:
            f.write(config_text)
        self.log_path = base + ".log"
        self.log_file = open(self.log_path, "w")
        # make valgrind runs the gateway under memcheck; its findings go to a
        # file of their own, so that the gateway's log stays what it says.
        wrapper = []
        self.valgrind_path = None
        if os.environ.get("QVGATEWAY_VALGRIND"):
            self.valgrind_path = base + ".valgrind"
            wrapper = ["valgrind", "--quiet", "--leak-check=full",
                       "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                       "--error-markers=QV-MEMCHECK-BEGIN,QV-MEMCHECK-END", "--log-file=" + self.valgrind_path]
        environment = dict(os.environ, **(env or {}))
        if journal:
            st = os.fstat(self.log_file.fileno())
            environment["JOURNAL_STREAM"] = f"{st.st_dev}:{st.st_ino}"
        file_args = [self.config_path] if positional else ["--config", self.config_path]
        self.process = subprocess.Popen([*wrapper, self.program, *file_args, *args],
                                        stdout=subprocess.DEVNULL, env=environment,
                                        stderr=self.log_file, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        self.port = None
        while self.port is None and time.monotonic() < deadline:
            found = re.search(r"Modbus TCP on 127\.0\.0\.1:(\d+)", self.log())
            if found:
                self.port = int(found.group(1))
            elif self.process.poll() is not None:
                break
            time.sleep(0.02)
        if self.port is None:
            self.close()
            raise RuntimeError("qvgateway did not start: " + self.log())

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def client(self, timeout=3):
        c = ModbusTcpClient("127.0.0.1", port=self.port, timeout=timeout, retries=0)
        c.connect()
        return c

    def raw(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=3)

    def mbpoll(self, args, values=(), timeout=20):
        """mbpoll once against the gateway; `values` are written."""
        done = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(self.port), "-0", "-1", "-o", "2", *args, "127.0.0.1",
                               *[str(v) for v in values]],
                              capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout + done.stderr

    def stop(self, sig=signal.SIGTERM, wait=5):
        """Sends `sig`; returns the exit status and the seconds it took."""
        start = time.monotonic()
        self.process.send_signal(sig)
        code = self.process.wait(wait)
        return code, time.monotonic() - start

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log_file.close()
        # Under the sanitizers (make test-asan) a finding fails the test.
        log = self.log()
        if "Sanitizer" in log or "runtime error:" in log:
            raise AssertionError("qvgateway under a sanitizer: " + log[-3000:])
        if self.valgrind_path:
            with open(self.valgrind_path) as f:
                found = f.read()
            if "QV-MEMCHECK-BEGIN" in found:
                raise AssertionError("qvgateway under memcheck: " + found[-3000:])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def request(sock, unit, pdu, tid=1):
    """Sends one Modbus TCP frame; returns the reply's PDU, or None when the
    gateway closed the connection."""
    sock.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu)
    return reply(sock)


def reply(sock):
    header = receive(sock, 7)
    if header is None:
        return None
    length = struct.unpack(">H", header[4:6])[0]
    return receive(sock, length - 1)


def receive(sock, size):
    data = b""
    while len(data) < size:
        try:
            part = sock.recv(size - len(data))
        except (ConnectionResetError, socket.timeout):
            return None
        if not part:
            return None
        data += part
    return data


def closed(sock, seconds=3):
    """True when the gateway closes `sock` within `seconds`."""
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False

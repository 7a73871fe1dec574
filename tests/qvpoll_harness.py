"""Runs qvpoll as a user does, against qvsim on the far end of a line.

Linux: qvsim makes a pseudo-terminal (--pty) and qvpoll opens it, or qvpoll
starts its own simulator (--sim). Under Wine: the CTest fixture has mapped
two COM ports (COM40 and COM41 unless --com names others) to the two ends of
a pty pair; qvsim.exe serves the second and qvpoll.exe opens the first.
Every process started here is ended here, by PID.
"""
import atexit
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

PR_SET_CHILD_SUBREAPER = 36


def runs_under_i386_emulator():
    """True where `make deps` found that 32-bit code runs only under a
    user-mode emulator (build/i386-mode, named by the test's environment)."""
    try:
        with open(os.environ.get("QUORVALEND_I386_MODE_FILE", "")) as f:
            return f.read().strip() == "emulated"
    except OSError:
        return False


class Programs:
    def __init__(self, argv):
        # native: QVPOLL; Wine: --wine PREFIX RUNNER QVPOLL.EXE QVSIM.EXE DLL [--com DRIVER SIM]
        self.wine = argv[0] == "--wine"
        if self.wine:
            self.prefix, self.runner, self.qvpoll, self.qvsim, dll = argv[1:6]
            env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
            self.dll = subprocess.run(["winepath", "-w", dll], env=env, capture_output=True,
                                      text=True).stdout.strip()
            del argv[:6]
            self.driver_port, self.sim_port = "COM40", "COM41"
            if argv[:1] == ["--com"]:
                self.driver_port, self.sim_port = argv[1:3]
                del argv[:3]
        else:
            self.qvpoll = argv[0]
            self.qvsim = os.path.join(os.path.dirname(self.qvpoll), "qvsim")
            del argv[:1]
        # Short: the driver takes port names of up to 31 characters.
        self.scratch = tempfile.mkdtemp(prefix="qv", dir="/tmp")
        atexit.register(shutil.rmtree, self.scratch, True)
        # qvpoll keeps its driver objects' trace in a folder of the
        # temporary folder; one killed outright leaves it here, not in /tmp.
        if not self.wine:
            os.environ["TMPDIR"] = self.scratch
        # Orphans of a qvpoll that died come to this process, which can
        # then see that they end, and reap them.
        if not self.wine:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    def command(self, program, args):
        if self.wine:
            return [self.runner, self.prefix, program, *args]
        return [program, *args]

    def qvpoll_command(self, args, port=None):
        extra = []
        if self.wine:
            extra = ["--module", self.dll]
        if port is not None:
            extra += ["--port", port]
        return self.command(self.qvpoll, [*extra, *args])

    def run_qvpoll(self, args, port=None, timeout=60, env=None):
        done = subprocess.run(self.qvpoll_command(args, port), capture_output=True, timeout=timeout,
                              env=env, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode(), done.stderr.decode()


class Simulator:
    """qvsim on the far end of a line, with its trace kept for counting."""

    serial = 0

    def __init__(self, programs, args=()):
        self.programs = programs
        Simulator.serial += 1
        self.trace_path = os.path.join(programs.scratch, f"qvsim-{Simulator.serial}.txt")
        if programs.wine:
            where, self.port = ["--port", programs.sim_port], programs.driver_port
        else:
            self.port = os.path.join(programs.scratch, f"l{Simulator.serial}")
            where = ["--pty", self.port]
        self.trace_file = open(self.trace_path, "w")
        self.process = subprocess.Popen(programs.command(programs.qvsim, [*where, "--trace", *args]),
                                        stdout=self.trace_file, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while "serving" not in self.trace() and time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("qvsim ended: " + self.trace())
            time.sleep(0.05)
        # Under Wine the port must be open on the far end before a request.
        if programs.wine:
            time.sleep(0.3)

    def trace(self):
        with open(self.trace_path) as f:
            return f.read()

    def requests(self):
        """The summaries of the requests qvsim received, in order."""
        lines = self.trace().splitlines()
        return [lines[i + 1].strip() for i, line in enumerate(lines) if line.startswith("<- ")]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.trace_file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def children_of(pid):
    """PIDs whose parent is `pid` (Linux)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    found.append(int(entry))
            except OSError:
                pass
    return found


def wait_gone(pid, seconds=5):
    """True when `pid` (an orphan reparented to this process) has ended."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            done, _ = os.waitpid(pid, os.WNOHANG)
            if done == pid:
                return True
        except ChildProcessError:
            return not os.path.exists(f"/proc/{pid}")
        time.sleep(0.05)
    return False

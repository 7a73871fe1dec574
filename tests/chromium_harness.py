"""Headless Chromium (Debian's package) looking at a page the way a person's
browser does: the DOM after the page's own script ran (--dump-dom), a
screenshot, and a page kept open, whose DOM is read through the DevTools
protocol on a pipe (--remote-debugging-pipe: JSON messages ended by a NUL
byte, fd 3 in and fd 4 out) while the test changes what the page shows.

Each run has a profile folder of its own (also its temporary and cache
folders, so nothing lands in /tmp or the home folder), removed afterwards.
Chromium and every process it started are ended by PID, also when a test
fails; the test process must be a child subreaper (qvpoll_harness.Programs
makes it one), so that the helpers Chromium leaves behind come back to it.
"""
import base64
import fcntl
import json
import os
import select
import shutil
import signal
import tempfile
import time

from qvpoll_harness import children_of, wait_gone

CHROMIUM = "/usr/bin/chromium"
HEADLESS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
            "--disable-extensions", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--metrics-recording-only", "--mute-audio"]


def missing():
    """Why Chromium cannot run here, or None."""
    return None if os.access(CHROMIUM, os.X_OK) else f"{CHROMIUM} is not installed (make deps installs chromium)"


def _started(pid):
    """When `pid` started (clock ticks since boot), or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


class _Chromium:
    """One Chromium process tree and its profile folder."""

    def __init__(self, args, scratch, stdout=None, pipes=None):
        self.profile = tempfile.mkdtemp(prefix="chromium-", dir=scratch)
        env = dict(os.environ, TMPDIR=self.profile, HOME=self.profile, XDG_CONFIG_HOME=self.profile,
                   XDG_CACHE_HOME=self.profile)
        out = os.open(stdout or os.devnull, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        err = os.open(os.path.join(self.profile, "stderr.txt"), os.O_WRONLY | os.O_CREAT, 0o600)
        null = os.open(os.devnull, os.O_RDONLY)
        # Copies at 10 or above, so that putting them at 0..4 in the child
        # cannot overwrite one before it is moved.
        moved = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in [null, out, err, *(pipes or [])]]
        for fd in [out, err, null]:
            os.close(fd)
        actions = [(os.POSIX_SPAWN_DUP2, fd, target) for fd, target in zip(moved, range(5))]
        try:
            self.pid = os.posix_spawn(CHROMIUM, [CHROMIUM, *HEADLESS, f"--user-data-dir={self.profile}", *args],
                                      env, file_actions=actions)
        except OSError:
            shutil.rmtree(self.profile, True)
            raise
        finally:
            for fd in moved:
                os.close(fd)
        self.seen = {}  # every process of its tree seen, by PID, with its start time
        self.status = None

    def look_at_tree(self):
        pending = [self.pid]
        while pending:
            for child in children_of(pending.pop()):
                if child not in self.seen:
                    self.seen[child] = _started(child)
                    pending.append(child)

    def wait(self, seconds):
        """True when Chromium ended by itself within `seconds`."""
        deadline = time.monotonic() + seconds
        while self.status is None:
            self.look_at_tree()
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done == self.pid:
                self.status = os.waitstatus_to_exitcode(status)
            elif time.monotonic() >= deadline:
                return False
            else:
                time.sleep(0.05)
        return True

    def end(self):
        """Kills what is left of the tree, by PID, and removes the profile."""
        if self.status is None:
            self.look_at_tree()
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            self.status = -signal.SIGKILL
        for pid, started in self.seen.items():
            # A PID whose process ended may have been given to another since.
            if not wait_gone(pid, 2) and _started(pid) == started:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                wait_gone(pid, 2)
        shutil.rmtree(self.profile, True)

    def stderr(self):
        try:
            with open(os.path.join(self.profile, "stderr.txt"), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return ""


def _run(args, scratch, seconds, stdout=None):
    chromium = _Chromium(args, scratch, stdout=stdout)
    try:
        if not chromium.wait(seconds):
            raise AssertionError(f"chromium did not finish within {seconds} s: {chromium.stderr()}")
        if chromium.status != 0:
            raise AssertionError(f"chromium exited with {chromium.status}: {chromium.stderr()}")
    finally:
        chromium.end()


def dump_dom(url, scratch, budget_ms=5000, seconds=90):
    """The page's DOM once its script had `budget_ms` of the browser's
    virtual time (which runs ahead while nothing is being fetched)."""
    path = os.path.join(scratch, "dom.html")
    _run([f"--virtual-time-budget={budget_ms}", "--dump-dom", url], scratch, seconds, stdout=path)
    with open(path, encoding="utf-8") as f:
        return f.read()


def screenshot(url, path, scratch, size=(1100, 720), budget_ms=5000, seconds=90):
    _run([f"--virtual-time-budget={budget_ms}", f"--window-size={size[0]},{size[1]}", "--hide-scrollbars",
          f"--screenshot={os.path.abspath(path)}", url], scratch, seconds)


class LivePage:
    """`url` open in a tab for as long as the test needs; `evaluate` runs an
    expression in it and gives its value."""

    def __init__(self, url, scratch, seconds=60):
        commands, self._commands = os.pipe()
        self._replies, replies = os.pipe()
        try:
            self.chromium = _Chromium(["--remote-debugging-pipe", "about:blank"], scratch, pipes=[commands, replies])
        except BaseException:
            os.close(self._commands)
            os.close(self._replies)
            raise
        finally:
            os.close(commands)
            os.close(replies)
        self._buffer, self._id, self._session = b"", 0, None
        try:
            target = self._call("Target.createTarget", {"url": url}, seconds)["targetId"]
            self._session = self._call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                       seconds)["sessionId"]
        except BaseException:
            self.close()
            raise

    def _call(self, method, params, seconds=30):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if self._session:
            message["sessionId"] = self._session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + seconds
        while True:
            while b"\0" not in self._buffer:
                if time.monotonic() > deadline or self.chromium.wait(0):
                    raise AssertionError(f"chromium gave no answer to {method}: {self.chromium.stderr()}")
                if select.select([self._replies], [], [], 0.1)[0]:
                    part = os.read(self._replies, 1 << 16)
                    if not part:
                        raise AssertionError(f"chromium closed its pipe: {self.chromium.stderr()}")
                    self._buffer += part
            raw, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise AssertionError(f"{method}: {reply['error']}")
                return reply["result"]

    def evaluate(self, expression):
        result = self._call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self._call("Page.captureScreenshot", {"format": "png"})["data"]))

    def close(self):
        try:
            if self.chromium.status is None:
                self._session = None
                self._call("Browser.close", {}, 10)
        except (AssertionError, OSError):
            pass
        finally:
            self.chromium.wait(10)
            self.chromium.end()
            os.close(self._commands)
            os.close(self._replies)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

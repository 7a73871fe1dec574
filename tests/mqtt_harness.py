"""A mosquitto broker of a test's own on a free loopback port, and the
mosquitto clients (mosquitto_sub, mosquitto_pub) that talk to it; TLS
listeners with certificates made by openssl in the test's scratch folder;
what a subscriber sees of qvgateway's topics. The broker is ended by its
PID, also when a test fails; it keeps nothing on disk (no persistence).
"""
import json
import os
import signal
import socket
import subprocess
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, port=None, users=None, scratch=None, tls=()):
        """`users` {name: password}: only they may connect (the password file
        and configuration go into `scratch`); clients here log in as the
        first. `tls` [(certificate, key)]: one more listener for each, on
        the ports `tls_ports` in that order; clients here use the plain one."""
        self.port = port or free_port()
        self.tls_ports = [free_port() for _ in tls]
        self.login = []
        args = ["mosquitto", "-p", str(self.port)]
        if users or tls:
            # As root it would switch to its own user, who cannot read the
            # scratch folder.
            conf_text = f"user root\nlistener {self.port} 127.0.0.1\n"
            for port, (certificate, key) in zip(self.tls_ports, tls):
                conf_text += f"listener {port} 127.0.0.1\ncertfile {certificate}\nkeyfile {key}\n"
            conf_text += "allow_anonymous true\n" if not users else "allow_anonymous false\n"
        if users:
            passwords = os.path.join(scratch, f"mosquitto-{self.port}.passwd")
            open(passwords, "w").close()
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", passwords, name, password], check=True, timeout=10,
                               capture_output=True, stdin=subprocess.DEVNULL)
            conf_text += f"password_file {passwords}\n"
            name, password = next(iter(users.items()))
            self.login = ["-u", name, "-P", password]
        if users or tls:
            conf = os.path.join(scratch, f"mosquitto-{self.port}.conf")
            with open(conf, "w") as f:
                f.write(conf_text)
            args = ["mosquitto", "-c", conf]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        for port in [self.port, *self.tls_ports]:
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if self.process.poll() is not None or time.monotonic() > deadline:
                        self.stop()
                        raise RuntimeError(f"mosquitto did not listen on port {port}")
                    time.sleep(0.05)

    def freeze(self):
        """The broker stops reading and answering; its connections stay."""
        self.process.send_signal(signal.SIGSTOP)

    def thaw(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.thaw()  # a stopped process would not hear SIGTERM
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def subscribe(self, topics, count, seconds=5):
        """[(topic, payload)] of the first `count` messages, fewer when
        `seconds` pass first (retained ones come at once)."""
        args = ["mosquitto_sub", "-p", str(self.port), *self.login, "-v", "-C", str(count), "-W", str(seconds)]
        for t in topics:
            args += ["-t", t]
        done = subprocess.run(args, capture_output=True, text=True, timeout=seconds + 10, stdin=subprocess.DEVNULL)
        return [tuple(line.split(" ", 1)) for line in done.stdout.splitlines() if " " in line]

    def publish(self, topic, payload, retain=False):
        args = ["mosquitto_pub", "-p", str(self.port), *self.login, "-t", topic] + (["-r"] if retain else [])
        if len(payload) <= 65536:
            subprocess.run(args + ["-m", payload], check=True, timeout=10, stdin=subprocess.DEVNULL)
        else:
            # Longer than one command-line argument may be: from standard input.
            subprocess.run(args + ["-s"], check=True, timeout=30, input=payload, text=True)

    def ask(self, ready_topic, topic, payload, seconds=15):
        """Publishes `payload` on `topic` once a subscriber to its result is
        in place (shown by the retained `ready_topic` reaching it), and
        returns the result as JSON with the seconds it took, or None.
        `ready_topic` is live too: the value a write changes may be published
        again before or after the write's result, so it is read past."""
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), *self.login, "-v", "-t", ready_topic, "-t", topic + "/result",
                                "-W", str(seconds)], stdout=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
        result, took = None, 0
        try:
            first = sub.stdout.readline()
            if not first.startswith(ready_topic + " "):
                return None, 0
            start = time.monotonic()
            self.publish(topic, payload)
            for line in sub.stdout:
                name, _, body = line.strip().partition(" ")
                if name == topic + "/result":
                    result, took = json.loads(body), time.monotonic() - start
                    break
        finally:
            if sub.poll() is None:
                sub.kill()
                sub.wait()
            sub.stdout.close()
        return result, took


class Watcher:
    """mosquitto_sub on `topics` in the background: every message with the
    time it arrived, [(seconds, topic, payload)], payloads as JSON where
    they are."""

    def __init__(self, broker, topics):
        args = ["mosquitto_sub", "-p", str(broker.port), *broker.login, "-v"]
        for t in topics:
            args += ["-t", t]
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        self.seen = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            try:
                payload = json.loads(payload)
            except ValueError:
                pass
            with self.lock:
                self.seen.append((time.monotonic(), topic, payload))

    def messages(self, since=0.0):
        with self.lock:
            return [m for m in self.seen if m[0] >= since]

    def wait_for(self, match, since=0.0, seconds=10):
        """The first message after `since` for which match(topic, payload)
        holds, as (seconds, topic, payload), or None after `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            for m in self.messages(since):
                if match(m[1], m[2]):
                    return m
            if time.monotonic() > deadline:
                return None
            time.sleep(0.02)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(5)
        self.process.stdout.close()


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, timeout=60, capture_output=True, stdin=subprocess.DEVNULL)


def certificate_authority(folder, name):
    """A CA of its own in `folder`: (certificate, key)."""
    cert, key = os.path.join(folder, f"{name}.pem"), os.path.join(folder, f"{name}.key")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
            "-subj", f"/CN={name}", "-keyout", key, "-out", cert)
    return cert, key


def server_certificate(folder, name, authority, names):
    """A server certificate signed by `authority` for `names` (IP addresses
    and host names, as its subjectAltName): (certificate, key)."""
    cert, key, request = (os.path.join(folder, f"{name}.{e}") for e in ("pem", "key", "csr"))
    extensions = os.path.join(folder, f"{name}.ext")
    with open(extensions, "w") as f:
        f.write("subjectAltName = " + ", ".join(("IP:" if n[0].isdigit() else "DNS:") + n for n in names) + "\n")
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", f"/CN={names[0]}",
            "-keyout", key, "-out", request)
    openssl("x509", "-req", "-in", request, "-CA", authority[0], "-CAkey", authority[1], "-CAcreateserial",
            "-days", "2", "-extfile", extensions, "-out", cert)
    return cert, key


# What a subscriber sees of one gateway's topics.

def mqtt_toml(broker, prefix, port=None, extra=""):
    return (f'\n[mqtt]\nbroker = "127.0.0.1:{port or broker.port}"\nprefix = "{prefix}"\nqos = 1\n' + extra)


def retained_tags(broker, prefix, station, count, seconds=10):
    """The retained state of `count` tags once all are good, {tag: json}
    (the station's status, on the same level, is left out)."""
    deadline = time.monotonic() + seconds
    while True:
        got = {t.rsplit("/", 1)[1]: json.loads(p) for t, p in broker.subscribe([f"{prefix}/{station}/+"], count + 1, 3)}
        got.pop("status", None)
        if (len(got) == count and all(v["quality"] == "good" for v in got.values())) or time.monotonic() > deadline:
            return got
        time.sleep(0.2)


def station_status(broker, prefix, station, until, seconds=10):
    """The retained status of `station` once `until(it)` holds (it is
    published at most once a second), or the last one seen."""
    deadline = time.monotonic() + seconds
    while True:
        got = broker.subscribe([f"{prefix}/{station}/status"], 1, 3)
        value = json.loads(got[0][1]) if got else {}
        if (value and until(value)) or time.monotonic() > deadline:
            return value
        time.sleep(0.2)


def status(broker, prefix):
    got = broker.subscribe([f"{prefix}/status"], 1, 3)
    return got[0][1] if got else None

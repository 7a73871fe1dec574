"""A mosquitto broker of a test's own on a free loopback port, and the
mosquitto clients (mosquitto_sub, mosquitto_pub) that talk to it. The
broker is ended by its PID, also when a test fails; it keeps nothing on
disk (no persistence without a configuration file).
"""
import json
import os
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, port=None, users=None, scratch=None):
        """`users` {name: password}: only they may connect (the password file
        and configuration go into `scratch`); clients here log in as the
        first."""
        self.port = port or free_port()
        self.login = []
        args = ["mosquitto", "-p", str(self.port)]
        if users:
            passwords = os.path.join(scratch, f"mosquitto-{self.port}.passwd")
            open(passwords, "w").close()
            for name, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", passwords, name, password], check=True, timeout=10,
                               capture_output=True, stdin=subprocess.DEVNULL)
            conf = os.path.join(scratch, f"mosquitto-{self.port}.conf")
            with open(conf, "w") as f:
                # As root it would switch to its own user, who cannot read
                # the scratch folder.
                f.write(f"user root\nlistener {self.port} 127.0.0.1\nallow_anonymous false\n"
                        f"password_file {passwords}\n")
            args = ["mosquitto", "-c", conf]
            name, password = next(iter(users.items()))
            self.login = ["-u", name, "-P", password]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError(f"mosquitto did not listen on port {self.port}")
                time.sleep(0.05)

    def stop(self):
        if self.process.poll() is None:
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
        args = ["mosquitto_pub", "-p", str(self.port), *self.login, "-t", topic, "-m", payload] + (["-r"] if retain else [])
        subprocess.run(args, check=True, timeout=10, stdin=subprocess.DEVNULL)

    def ask(self, ready_topic, topic, payload, seconds=15):
        """Publishes `payload` on `topic` once a subscriber to its result is
        in place (shown by the retained `ready_topic` reaching it), and
        returns the result as JSON with the seconds it took, or None."""
        sub = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), *self.login, "-v", "-t", ready_topic, "-t", topic + "/result",
                                "-C", "2", "-W", str(seconds)], stdout=subprocess.PIPE, text=True,
                               stdin=subprocess.DEVNULL)
        try:
            first = sub.stdout.readline()
            if not first.startswith(ready_topic + " "):
                return None, 0
            start = time.monotonic()
            self.publish(topic, payload)
            line = sub.stdout.readline()
            took = time.monotonic() - start
            sub.wait(seconds)
        finally:
            if sub.poll() is None:
                sub.kill()
                sub.wait()
            sub.stdout.close()
        name, _, body = line.strip().partition(" ")
        return (json.loads(body) if name == topic + "/result" else None), took

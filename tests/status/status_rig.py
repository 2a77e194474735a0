"""The relay daemon with --status as the status page's Python tests run it.

A private port folder with COM1 linked to a pseudo-terminal whose master
side the test plays as the device, a private runtime folder, tarvix-relayd
started with --status on loopback, a UDP client on loopback, and HTTP reads
of the status server. Run inside a private network namespace, as every
whole-program test is.
"""
import json
import os
import signal
import socket
import subprocess
import tempfile
import termios
import time
import tty
import urllib.error
import urllib.request

STATUS_PORT = 8080
RELAY_PORT = 3776


def request_frame(device_id, payload):
    """SYN, STX, LEN (STX to the end), 0, the device ID, the payload."""
    body = bytes([0x00, device_id]) + payload
    return bytes([0x16, 0x02, len(body) + 2]) + body


def reply_to(frame):
    """The device's answer: the request with 06 after LEN, LEN one more."""
    return frame[:2] + bytes([frame[2] + 1, 0x06]) + frame[3:]


class Relay:
    def __init__(self, relayd, options=()):
        self.folder = tempfile.mkdtemp(prefix="tarvix-status-")
        self.com_dir = os.path.join(self.folder, "ports")
        self.run_dir = os.path.join(self.folder, "run")
        os.mkdir(self.com_dir)
        os.mkdir(self.run_dir, 0o700)
        self.plug_in()
        env = dict(os.environ, TARVIX_COM_DIR=self.com_dir, XDG_RUNTIME_DIR=self.run_dir)
        self.log = open(os.path.join(self.folder, "relay.log"), "w+")
        self.process = subprocess.Popen(
            [relayd, "-c1", "--status=127.0.0.1:%d" % STATUS_PORT, *options],
            env=env, stdout=self.log, stderr=subprocess.STDOUT)
        self.client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.client.bind(("127.0.0.1", 0))
        self.client.settimeout(3)
        try:
            self.wait_for(lambda: self.fetch("/healthz")[0] == 200, 10, "the relay's status server")
        except AssertionError:
            # Not left running: it would hold the ports the next test needs.
            print(self.stop())
            self.close()
            raise

    def plug_in(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.slave = slave
        os.set_blocking(self.master, False)
        link = os.path.join(self.com_dir, "COM1")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.ttyname(slave), link)

    def unplug(self):
        os.close(self.master)
        os.close(self.slave)
        self.master = None

    @staticmethod
    def wait_for(condition, seconds, what):
        """What condition() gives once it is true."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                result = condition()
                if result:
                    return result
            except OSError:
                pass
            time.sleep(0.05)
        raise AssertionError("timed out waiting for " + what)

    def fetch(self, path):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (STATUS_PORT, path), timeout=3) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def status(self):
        code, body = self.fetch("/status.json")
        assert code == 200, (code, body)
        return json.loads(body)

    def request(self, client, frame):
        port = client.getsockname()[1]
        datagram = b"127.0.0.1\0" + bytes([port & 0xFF, port >> 8]) + b"\0" + frame
        client.sendto(datagram, ("127.0.0.1", RELAY_PORT))

    def read_bus(self):
        """What the relay has written on the bus since the last read, after
        a short wait when it has written nothing."""
        try:
            return os.read(self.master, 4096)
        except BlockingIOError:
            time.sleep(0.005)
            return b""

    def await_on_bus(self, frame, times=1, seconds=5):
        seen = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            seen += self.read_bus()
            if seen.count(frame) >= times:
                return
        raise AssertionError("%r not on the bus %d times; saw %r" % (frame, times, seen))

    def bus_for(self, seconds):
        """What the relay writes on the bus in the next few seconds."""
        seen = b""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            seen += self.read_bus()
        return seen

    def answer(self, frame):
        os.write(self.master, reply_to(frame))

    def served(self, client, frame):
        """One round trip: the request, on the bus, answered, the reply back."""
        self.request(client, frame)
        self.await_on_bus(frame)
        self.answer(frame)
        reply = client.recv(512)
        assert reply.endswith(reply_to(frame)[1:]), reply

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)
        self.log.seek(0)
        return self.log.read()

    def close(self):
        self.stop()
        if self.master is not None:
            self.unplug()
        self.client.close()
        self.log.close()


def metric_samples(text):
    """/metrics' samples by name and labels ("tarvix_refused_total{reason=allow}"),
    read with the Prometheus client's parser; histogram buckets left out."""
    from prometheus_client.parser import text_string_to_metric_families
    samples = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            if not s.name.endswith("_bucket"):
                samples[s.name + "".join("{%s=%s}" % kv for kv in sorted(s.labels.items()))] = s.value
    return samples


def books(samples):
    """The outcomes a datagram read can end in, each summed over its reasons:
    once the relay is quiet they add up to tarvix_datagrams_received_total."""
    def total(name):
        return sum(v for k, v in samples.items() if k == name or k.startswith(name + "{"))
    return {
        "refused": total("tarvix_refused_total"), "dropped": total("tarvix_dropped_total"),
        "answered": samples["tarvix_replies_sent_total"], "given up": samples["tarvix_given_up_total"],
        "not sent": total("tarvix_replies_not_sent_total"), "queued": samples["tarvix_queued_requests"],
        "on the bus": samples["tarvix_bus_busy"], "awaiting a look-up": samples["tarvix_awaiting_lookup"],
        "unanswered": samples["tarvix_unanswered_total"],
    }

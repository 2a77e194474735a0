#!/usr/bin/env python3
"""The fault-mix soak against the daemon, its books read from /metrics.

20 clients send frames carrying their index and a sequence number; the test
plays the device on the pseudo-terminal and answers late, twice, after
noise or not at all, decided by each request's sequence number. Meanwhile
the adapter is pulled and plugged back, SIGHUP reopens the port, a client
sends bursts of empty-frame datagrams and another floods its queue. Then the
faults stop and, once nothing is queued or on the bus, every datagram sent
must be in exactly one outcome of /metrics' identity, and every reply must
have reached the client whose sequence number it carries, none twice.

Short by default (two rounds of faults, ~15 s); TARVIX_SOAK_SCALE=full runs
thirty. Usage: status_soak_test.py TARVIX_RELAYD"""
import heapq
import os
import random
import select
import selectors
import signal
import socket
import sys
import threading
import time

from status_rig import Relay, books, metric_samples, request_frame

try:
    import prometheus_client.parser  # noqa: F401 (status_rig parses with it)
except ImportError:
    print("SKIPPED: python3-prometheus-client is not installed (scripts/install-deps.sh status)")
    sys.exit(0)

CLIENTS = 20
FLOOD = CLIENTS  # the index of the client that floods its queue
QUEUE_LIMIT = 8
TIMEOUT_MS = 100
LATE_S = 0.02  # well inside the time-out, so a late reply is still the request's
NOISE = bytes(range(0x20, 0x7F))  # no SYN, STX or ACK: nothing a frame starts with


KINDS = ("never",) + ("late",) * 3 + ("twice",) * 2 + ("noise",) * 2 + ("now",) * 12


def kind_of(client, seq):
    """How the device treats every send of this request while faults are on."""
    return KINDS[(seq * 7 + client) % len(KINDS)]


class Device(threading.Thread):
    """Plays the device on the relay's pseudo-terminal. Every use of the
    master side, by this thread or by the test pulling the adapter, holds
    the lock."""

    def __init__(self, relay):
        super().__init__(daemon=True)
        self.relay = relay
        self.lock = threading.Lock()
        self.faults = True
        self.stopping = False
        self.buffer = b""
        self.late = []  # (due, order, frame, reply)
        self.newest = {}  # frame: the order of its newest late reply
        self.order = 0
        self.rng = random.Random(7)

    def write(self, master, data):
        try:
            os.write(master, data)
        except OSError:
            pass  # the relay not reading (reopening): lost like on a line, so resent

    def answer(self, master, frame):
        body = frame[5:]
        kind = kind_of(body[0], body[1] << 8 | body[2]) if self.faults else "now"
        reply = frame[:3] + b"\x06" + frame[4:]  # KIND 06, the device ID in its place, for --match-id
        if kind == "late":
            # Late, yet inside the time-out. A resend that comes before the
            # late reply went out means this thread was slower than that (a
            # loaded machine): only the newest send is answered, since the
            # older reply would be taken for the resend's and the resend's
            # own would then reach whatever request is on the wire next.
            self.order += 1
            self.newest[frame] = self.order
            heapq.heappush(self.late, (time.monotonic() + LATE_S, self.order, frame, reply))
        elif kind == "twice":
            self.write(master, reply + reply)
        elif kind == "noise":
            self.write(master, bytes(self.rng.choice(NOISE) for _ in range(self.rng.randint(1, 12))) + reply)
        elif kind == "now":
            self.write(master, reply)

    def frames(self):
        while True:
            start = self.buffer.find(b"\x16\x02")
            if start < 0:
                self.buffer = self.buffer[-1:]
                return
            self.buffer = self.buffer[start:]
            if len(self.buffer) < 3 or len(self.buffer) < 1 + self.buffer[2]:
                return
            frame, self.buffer = self.buffer[:1 + self.buffer[2]], self.buffer[1 + self.buffer[2]:]
            if len(frame) == 8:  # the clients' frames, with a 3-byte payload; other lengths are bytes lost
                yield frame

    def run(self):
        idle_noise = time.monotonic()
        while not self.stopping:
            with self.lock:
                master = self.relay.master
                if master is None:
                    self.buffer, self.late, self.newest = b"", [], {}
                else:
                    if select.select([master], [], [], 0.002)[0]:
                        try:
                            self.buffer += os.read(master, 4096)
                        except OSError:
                            pass
                    for frame in self.frames():
                        self.answer(master, frame)
                    while self.late and self.late[0][0] <= time.monotonic():
                        _, order, frame, reply = heapq.heappop(self.late)
                        if self.newest.get(frame) == order:
                            del self.newest[frame]
                            self.write(master, reply)
                    if self.faults and time.monotonic() - idle_noise > 0.3:
                        idle_noise = time.monotonic()
                        self.write(master, bytes(self.rng.choice(NOISE) for _ in range(5)))
            if master is None:
                time.sleep(0.01)


class Clients(threading.Thread):
    """The clients' sockets, and a thread that collects their replies."""

    def __init__(self, relay, count):
        super().__init__(daemon=True)
        self.relay = relay
        self.sockets = []
        self.sent = [set() for _ in range(count)]
        self.replies = [[] for _ in range(count)]
        self.strangers = []  # replies that carry no request of the socket
        self.datagrams = 0
        self.selector = selectors.DefaultSelector()
        for n in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            self.sockets.append(s)
            self.selector.register(s, selectors.EVENT_READ, n)
        self.seq = [0] * count
        self.stopping = False

    def send(self, n):
        seq = self.seq[n] = self.seq[n] + 1
        self.sent[n].add(seq)
        self.relay.request(self.sockets[n], request_frame(10 + n, bytes([n, seq >> 8 & 0xFF, seq & 0xFF])))
        self.datagrams += 1

    def send_empty(self, n):
        self.relay.request(self.sockets[n], b"")
        self.datagrams += 1

    def run(self):
        while not self.stopping:
            for key, _ in self.selector.select(0.05):
                n = key.data
                while True:
                    try:
                        reply = key.fileobj.recv(512)
                    except BlockingIOError:
                        break
                    client, seq = reply[-3], reply[-2] << 8 | reply[-1]
                    if client == n and seq in self.sent[n]:
                        self.replies[n].append(seq)
                    else:
                        self.strangers.append((n, reply))

    def close(self):
        self.stopping = True
        self.join(5)
        for s in self.sockets:
            s.close()


def udp_receive_errors():
    """The kernel's count of datagrams dropped for a full receive buffer, in
    this network namespace."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("RcvbufErrors")])


def metrics(relay):
    code, text = relay.fetch("/metrics")
    assert code == 200, code
    return metric_samples(text)


def main(relayd):
    rounds = 30 if os.environ.get("TARVIX_SOAK_SCALE") == "full" else 2
    drops_before = udp_receive_errors()
    relay = Relay(relayd, ["--timeout=%d" % TIMEOUT_MS, "--resend-limit=1", "--queue-limit=%d" % QUEUE_LIMIT,
                           "--turnaround=1", "--match-id", "--traces=none"])
    device = Device(relay)
    clients = Clients(relay, CLIENTS + 2)  # the 20, the flooder, the sender of empty frames
    empty = CLIENTS + 1
    device.start()
    clients.start()
    try:
        # The second SIGHUP lands in the second after the pulled adapter's
        # loss, while that close may still be ending and the port is retried.
        faults = {0.5: "sighup", 1.0: "flood", 1.5: "pull", 2.2: "plug", 3.0: "sighup"}
        for _ in range(rounds):
            start = time.monotonic()
            due = sorted(faults.items())
            next_send = [start + random.random() * 0.5 for _ in range(CLIENTS)]
            next_empty = start + 0.35
            while time.monotonic() - start < 4.0:
                now = time.monotonic()
                for n in range(CLIENTS):
                    if now >= next_send[n]:
                        clients.send(n)
                        next_send[n] = now + 0.4 + random.random() * 0.2
                if now >= next_empty:
                    for _ in range(10):
                        clients.send_empty(empty)
                    next_empty = now + 0.7
                while due and now - start >= due[0][0]:
                    fault = due.pop(0)[1]
                    if fault == "sighup":
                        relay.process.send_signal(signal.SIGHUP)
                    elif fault == "flood":
                        for _ in range(4 * QUEUE_LIMIT):
                            clients.send(FLOOD)
                    elif fault == "pull":
                        with device.lock:
                            relay.unplug()
                    else:
                        with device.lock:
                            relay.plug_in()
                time.sleep(0.005)
            relay.wait_for(lambda: relay.status()["serial"]["state"] == "open", 10, "the adapter back")
        # Quiet: the device answers everything at once, and the relay drains.
        device.faults = False
        sent = clients.datagrams

        def quiet():
            m = metrics(relay)
            read_all = m["tarvix_datagrams_received_total"] == sent - (udp_receive_errors() - drops_before)
            return read_all and m["tarvix_queued_requests"] == m["tarvix_bus_busy"] == m["tarvix_awaiting_lookup"] == 0
        relay.wait_for(quiet, 30, "the relay to have read everything and gone quiet")
        m = metrics(relay)
        # The last replies may still be on their way through loopback.
        relay.wait_for(lambda: sum(len(r) for r in clients.replies) >= m["tarvix_replies_sent_total"], 5,
                       "the clients to have the replies the relay sent")
        delivered = sum(len(r) for r in clients.replies)
        lost = udp_receive_errors() - drops_before
        outcomes = books(m)
        received = m["tarvix_datagrams_received_total"]
        assert lost == 0, "the kernel dropped %d datagrams for a full receive buffer: the soak cannot account for them" % lost
        assert received == sent, "sent %d datagrams, the relay counted %d" % (sent, received)
        assert received == sum(outcomes.values()), \
            "the books do not balance: received %d, outcomes %s sum to %d (off by %d)" % (
                received, outcomes, sum(outcomes.values()), received - sum(outcomes.values()))
        # Every reply reached the client that asked, none twice.
        assert not clients.strangers, "replies to the wrong client or to no request: %r" % clients.strangers[:10]
        for n, seqs in enumerate(clients.replies):
            twice = sorted(s for s in set(seqs) if seqs.count(s) > 1)
            assert not twice, "client %d got the replies to %s more than once" % (n, twice)
        assert delivered == outcomes["answered"], \
            "the clients got %d replies, the relay counted %d answered" % (delivered, outcomes["answered"])
        # The faults happened: each left its mark.
        marks = {
            "given up": m["tarvix_given_up_total"], "queue full": m["tarvix_refused_total{reason=queue_full}"],
            "empty frames": m["tarvix_dropped_total{reason=empty_frame}"], "stray replies": m["tarvix_stray_replies_total"],
            "adapter losses": m["tarvix_serial_losses_total"], "time-outs": m["tarvix_timeouts_total"],
        }
        assert all(marks.values()), marks
        assert m["tarvix_serial_losses_total"] >= rounds, marks
        relay.stop()
        assert relay.process.returncode == 0, "the relay ended with %s" % relay.process.returncode
        print("PASSED: %d rounds of faults, %d datagrams each in exactly one outcome %s; %d replies, each to its "
              "client once; %s" % (rounds, received, outcomes, delivered, marks))
    finally:
        device.stopping = True
        device.join(5)
        clients.close()
        log = relay.stop()
        with device.lock:
            relay.close()
        if sys.exc_info()[0]:
            print(log[-20000:])


if __name__ == "__main__":
    main(*sys.argv[1:])

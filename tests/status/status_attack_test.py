#!/usr/bin/env python3
"""The status server while clients try to hold it, with a scraper reading
/metrics once a second from another address: one client opening 500 idle
connections, 40 slowloris connections sending a header byte a second, and
pipelined requests. Every scrape must be answered within a second, the
slowloris connections cut once their request took the time limit, the
pipelined requests answered in order, and the bus served meanwhile.
Usage: status_attack_test.py TARVIX_RELAYD."""
import errno
import re
import socket
import sys
import threading
import time
import urllib.request

from status_rig import STATUS_PORT, Relay, request_frame

IDLE = 500
SLOW = 40
SECONDS = 14  # past the server's 10 s limit on a whole request


def connect_from(address):
    """A connection to the status server from address, without blocking."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((address, 0))
    s.setblocking(False)
    error = s.connect_ex(("127.0.0.1", STATUS_PORT))
    if error not in (0, errno.EINPROGRESS):
        s.close()
        return None
    return s


def scrape_loop(stop, results):
    while not stop.is_set():
        started = time.monotonic()
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % STATUS_PORT, timeout=1) as r:
                ok = r.status == 200 and b"tarvix_datagrams_received_total" in r.read()
        except OSError as error:
            ok = False
            print("scrape failed: %s" % error)
        results.append((ok, time.monotonic() - started))
        stop.wait(max(0.0, 1.0 - (time.monotonic() - started)))


def pipelined():
    """Three requests in one send on one connection: three answers in order."""
    s = socket.create_connection(("127.0.0.1", STATUS_PORT), timeout=3)
    head = " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    s.sendall(("GET /livez" + head + "GET /nowhere" + head + "GET /readyz" + head).encode())
    received = b""
    deadline = time.monotonic() + 3
    while received.count(b"HTTP/1.1 ") < 3 or not received.endswith(b"\n"):
        if time.monotonic() > deadline:
            break
        chunk = s.recv(65536)
        if not chunk:
            break
        received += chunk
    s.close()
    statuses = re.findall(rb"HTTP/1.1 (\d{3}) ", received)
    assert statuses == [b"200", b"404", b"200"], received
    assert b"Connection: close" not in received, received


def main(relayd):
    relay = Relay(relayd, ["--traces=none"])
    idle, slow = [], []
    stop = threading.Event()
    results = []
    try:
        scraper = threading.Thread(target=scrape_loop, args=(stop, results))
        scraper.start()
        for _ in range(IDLE):
            s = connect_from("127.0.0.2")
            if s:
                idle.append(s)
        for k in range(SLOW):
            s = connect_from("127.0.0.3")
            if s:
                slow.append(s)
        time.sleep(0.2)
        for s in slow:
            try:
                s.send(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            except OSError:
                pass
        pipelined()
        started = time.monotonic()
        cut = set()
        frame = request_frame(5, b"\x11")
        while time.monotonic() - started < SECONDS:
            for s in slow:
                if s in cut:
                    continue
                try:
                    s.send(b"X")  # one header byte a second: never silent, never done
                    if s.recv(1) == b"":
                        cut.add(s)
                except BlockingIOError:
                    pass
                except OSError:
                    cut.add(s)
            relay.served(relay.client, frame)  # the bus is served all the same
            time.sleep(1)
        stop.set()
        scraper.join()
        failed = [r for r in results if not r[0] or r[1] > 1.0]
        assert len(results) >= SECONDS - 1, results
        assert not failed, "%d of %d scrapes failed or took over a second: %s" % (len(failed), len(results), failed)
        # Those the server took were cut by the time limit; the rest it never held.
        assert len(cut) == len(slow), "%d of %d slowloris connections still open after %d s" % (
            len(slow) - len(cut), len(slow), SECONDS)
        worst = max(r[1] for r in results)
        print("PASSED: %d scrapes answered (slowest %.0f ms) under %d idle and %d slowloris connections" %
              (len(results), worst * 1000, IDLE, SLOW))
    finally:
        stop.set()
        for s in idle + slow:
            s.close()
        log = relay.stop()
        relay.close()
        if sys.exc_info()[0]:
            print(log)


if __name__ == "__main__":
    main(sys.argv[1])

#!/usr/bin/env python3
"""/metrics of the daemon after a scripted session with every outcome a
request can have, read with a real Prometheus text-format parser: a round
trip, one answered after a resend, one given up, a sender outside --allow,
an oversize datagram, an empty frame, a reply to port 0, the device lost
and requests left queued with the overflow refused. Every datagram must be
in exactly one outcome: the books balance. Usage: status_metrics_test.py
TARVIX_RELAYD [METRICS_OUT] (the text is written there for promtool)."""
import socket
import sys
import time

from status_rig import RELAY_PORT, Relay, books, metric_samples, request_frame

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("SKIPPED: python3-prometheus-client is not installed (scripts/install-deps.sh status)")
    sys.exit(0)


def datagram(port, frame, ip=b"127.0.0.1"):
    return ip + b"\0" + bytes([port & 0xFF, port >> 8]) + b"\0" + frame


def main(relayd, metrics_out=None):
    # A 1000 ms time-out counted in 50 ms visits of the queues: the resend
    # comes after about two seconds.
    relay = Relay(relayd, ["--resend-limit=1", "--queue-limit=2", "--allow=127.0.0.1/32"])
    sockets = []

    def client(address="127.0.0.1"):
        c = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        c.bind((address, 0))
        c.settimeout(5)
        sockets.append(c)
        return c

    try:
        second = client()
        first_frame = request_frame(5, b"\x11\x22")
        relay.served(relay.client, first_frame)
        # The second endpoint's request is answered only after one resend.
        resent = request_frame(6, b"\x33")
        relay.request(second, resent)
        relay.await_on_bus(resent, times=2, seconds=8)
        relay.answer(resent)
        second.recv(512)
        # The first endpoint's next request is never answered: given up.
        silent = request_frame(5, b"\x44")
        relay.request(relay.client, silent)
        relay.wait_for(lambda: relay.status()["refused"]["given_up"] == 1, 12, "the give-up")
        # A sender outside --allow, a datagram longer than the relay reads,
        # one without a frame, and a reply to port 0.
        client("127.0.0.2").sendto(datagram(relay.client.getsockname()[1], request_frame(5, b"\x55")),
                                   ("127.0.0.1", RELAY_PORT))
        relay.client.sendto(datagram(40000, b"\x16" * 9000), ("127.0.0.1", RELAY_PORT))
        relay.client.sendto(datagram(40001, b""), ("127.0.0.1", RELAY_PORT))
        relay.wait_for(lambda: relay.status()["refused"]["empty_frame"] == 1, 5, "the empty frame dropped")
        to_port_0 = request_frame(7, b"\x66")
        relay.client.sendto(datagram(0, to_port_0), ("127.0.0.1", RELAY_PORT))
        relay.await_on_bus(to_port_0)
        relay.answer(to_port_0)
        relay.wait_for(lambda: relay.status()["replies_not_sent"]["invalid_address"] == 1, 5, "the reply to port 0")
        # The device lost: requests wait in their queue, past its limit refused.
        relay.unplug()
        relay.wait_for(lambda: relay.status()["serial"]["state"] == "lost", 5, "the device loss")
        third = client()
        for n in range(4):
            relay.request(third, request_frame(8, bytes([n])))
        relay.wait_for(lambda: relay.status()["refused"]["queue_full"] == 2, 5, "the queue's overflow")

        def metrics_after_loss():
            code, text = relay.fetch("/metrics")
            assert code == 200, code
            return text if "\ntarvix_serial_losses_total 1\n" in text and "\ntarvix_queued_requests 2\n" in text else None
        text = relay.wait_for(metrics_after_loss, 5, "the device loss in /metrics")
        if metrics_out:
            with open(metrics_out, "w") as f:
                f.write(text)
        families = {f.name: f for f in text_string_to_metric_families(text)}

        def value(family, sample_name=None, **labels):
            for s in families[family].samples:
                if (sample_name is None or s.name == sample_name) and all(s.labels.get(k) == v for k, v in labels.items()):
                    return s.value
            raise AssertionError("no sample %s %s %s" % (family, sample_name, labels))

        expected_types = {
            "tarvix_datagrams_received": "counter", "tarvix_requests_received": "counter",
            "tarvix_requests_queued": "counter", "tarvix_replies_received": "counter",
            "tarvix_replies_sent": "counter", "tarvix_timeouts": "counter", "tarvix_resends": "counter",
            "tarvix_given_up": "counter", "tarvix_refused": "counter", "tarvix_dropped": "counter",
            "tarvix_replies_not_sent": "counter", "tarvix_stray_replies": "counter",
            "tarvix_unanswered": "counter",
            "tarvix_queued_requests": "gauge", "tarvix_awaiting_lookup": "gauge", "tarvix_endpoints": "gauge",
            "tarvix_bus_busy": "gauge", "tarvix_serial_open": "gauge", "tarvix_serial_losses": "counter",
            "tarvix_reply_seconds": "histogram", "tarvix_queue_wait_seconds": "histogram",
            "tarvix_build_info": "gauge", "process_start_time_seconds": "gauge",
        }
        for name, kind in expected_types.items():
            assert name in families, (name, sorted(families))
            assert families[name].type == kind, (name, families[name].type)
            assert families[name].documentation, name
        # The books: every datagram read is in exactly one outcome.
        outcomes = sum(books(metric_samples(text)).values())
        assert value("tarvix_datagrams_received") == outcomes == 11, (value("tarvix_datagrams_received"), outcomes, text)
        checks = [
            (value("tarvix_refused", reason="allow"), 1), (value("tarvix_refused", reason="oversize"), 1),
            (value("tarvix_refused", reason="queue_full"), 2), (value("tarvix_refused", reason="table_full"), 0),
            (value("tarvix_refused", reason="malformed"), 0), (value("tarvix_dropped", reason="empty_frame"), 1),
            (value("tarvix_dropped", reason="too_old"), 0), (value("tarvix_given_up"), 1),
            (value("tarvix_replies_not_sent", reason="invalid_address"), 1),
            (value("tarvix_requests_received"), 7), (value("tarvix_requests_queued"), 7),
            (value("tarvix_replies_received"), 3), (value("tarvix_replies_sent"), 2),
            (value("tarvix_timeouts"), 3), (value("tarvix_resends"), 2),
            (value("tarvix_queued_requests"), 2), (value("tarvix_endpoints"), 4),
            (value("tarvix_bus_busy"), 0), (value("tarvix_serial_open"), 0),
            (value("tarvix_serial_losses"), 1),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_count"), 2),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_bucket", le="+Inf"), 2),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_bucket", le="0.5"), 1),
            # the four requests sent on the bus; the empty frame never was
            (value("tarvix_queue_wait_seconds", "tarvix_queue_wait_seconds_count"), 4),
        ]
        for got, want in checks:
            assert got == want, (got, want, text)
        assert len(families["tarvix_refused"].samples) == 5
        assert value("tarvix_reply_seconds", "tarvix_reply_seconds_sum") > 1.0  # the resent one waited its time-out
        bounds = [s.labels["le"] for s in families["tarvix_reply_seconds"].samples if s.name.endswith("_bucket")]
        assert bounds[0] == "0.0005" and bounds[-1] == "+Inf", bounds
        assert value("tarvix_build_info") == 1
        started = value("process_start_time_seconds")
        assert 0 < time.time() - started < 600, started
        # No per-endpoint labels anywhere; devices (at most 256) are labelled by ID.
        for f in families.values():
            for s in f.samples:
                assert set(s.labels) <= {"reason", "le", "version", "id"}, s
        relay.stop()
        assert relay.process.returncode == 0, "the relay ended with %s" % relay.process.returncode
        print("PASSED: /metrics parsed, %d families as expected, %d datagrams in exactly one outcome each" %
              (len(families), outcomes))
    finally:
        for c in sockets:
            c.close()
        log = relay.stop()
        relay.close()
        if sys.exc_info()[0]:
            print(log)


if __name__ == "__main__":
    main(*sys.argv[1:])

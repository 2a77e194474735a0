#!/usr/bin/env python3
"""/metrics of the daemon after a scripted exchange, read with a real
Prometheus text-format parser: two endpoints, one resend, one request given
up, one device loss. Usage: status_metrics_test.py TARVIX_RELAYD."""
import socket
import sys

from status_rig import Relay, request_frame

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("SKIPPED: python3-prometheus-client is not installed (scripts/install-deps.sh status)")
    sys.exit(0)


def main(relayd):
    # A 1000 ms time-out counted in 50 ms visits of the two queues: the
    # resend comes after about two seconds.
    relay = Relay(relayd, ["--resend-limit=1"])
    try:
        second = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        second.bind(("127.0.0.1", 0))
        second.settimeout(5)
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
        relay.unplug()
        relay.wait_for(lambda: relay.status()["serial"]["state"] == "lost", 5, "the device loss")

        def metrics_after_loss():
            code, text = relay.fetch("/metrics")
            assert code == 200, code
            return text if "\ntarvix_serial_losses_total 1\n" in text else None
        text = relay.wait_for(metrics_after_loss, 5, "the device loss in /metrics")
        families = {f.name: f for f in text_string_to_metric_families(text)}
        def value(family, sample_name=None, **labels):
            for s in families[family].samples:
                if (sample_name is None or s.name == sample_name) and all(s.labels.get(k) == v for k, v in labels.items()):
                    return s.value
            raise AssertionError("no sample %s %s %s" % (family, sample_name, labels))

        expected_types = {
            "tarvix_requests_received": "counter", "tarvix_requests_queued": "counter",
            "tarvix_replies_received": "counter", "tarvix_replies_sent": "counter",
            "tarvix_resends": "counter", "tarvix_refused": "counter", "tarvix_queued_requests": "gauge",
            "tarvix_endpoints": "gauge", "tarvix_bus_busy": "gauge", "tarvix_serial_open": "gauge",
            "tarvix_serial_losses": "counter", "tarvix_reply_seconds": "histogram",
        }
        for name, kind in expected_types.items():
            assert name in families, (name, sorted(families))
            assert families[name].type == kind, (name, families[name].type)
            assert families[name].documentation, name
        # The probe-free script: three requests filed, two answered.
        checks = [
            (value("tarvix_requests_received"), 3), (value("tarvix_requests_queued"), 3),
            (value("tarvix_replies_received"), 2), (value("tarvix_replies_sent"), 2),
            (value("tarvix_resends"), 2), (value("tarvix_refused", reason="given_up"), 1),
            (value("tarvix_refused", reason="allow"), 0), (value("tarvix_refused", reason="too_old"), 0),
            (value("tarvix_queued_requests"), 0), (value("tarvix_endpoints"), 2),
            (value("tarvix_bus_busy"), 0), (value("tarvix_serial_open"), 0),
            (value("tarvix_serial_losses"), 1),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_count"), 2),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_bucket", le="+Inf"), 2),
            (value("tarvix_reply_seconds", "tarvix_reply_seconds_bucket", le="0.5"), 1),
        ]
        for got, want in checks:
            assert got == want, (got, want, text)
        assert len(families["tarvix_refused"].samples) == 6
        assert value("tarvix_reply_seconds", "tarvix_reply_seconds_sum") > 1.0  # the resent one waited its time-out
        # No per-endpoint labels anywhere; devices (at most 256) are labelled by ID.
        for f in families.values():
            for s in f.samples:
                assert set(s.labels) <= {"reason", "le", "id"}, s
        relay.stop()
        assert relay.process.returncode == 0, "the relay ended with %s" % relay.process.returncode
        print("PASSED: /metrics parsed, %d families as expected" % len(families))
    finally:
        log = relay.stop()
        relay.close()
        if sys.exc_info()[0]:
            print(log)


if __name__ == "__main__":
    main(sys.argv[1])

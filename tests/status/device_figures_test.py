#!/usr/bin/env python3
"""The figures per device after a scripted session with three devices: 7
answers at once, 8 after 150 ms, 9 never (given up after one resend). Read
from /status.json and from /metrics with a real Prometheus text-format
parser. Usage: device_figures_test.py TARVIX_RELAYD."""
import sys
import time

from status_rig import Relay, request_frame

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("SKIPPED: python3-prometheus-client is not installed (scripts/install-deps.sh status)")
    sys.exit(0)


def main(relayd):
    relay = Relay(relayd, ["--resend-limit=1", "--timeout=300"])
    try:
        for k in range(5):
            relay.served(relay.client, request_frame(7, bytes([k])))
        for k in range(3):
            frame = request_frame(8, bytes([k]))
            relay.request(relay.client, frame)
            relay.await_on_bus(frame)
            time.sleep(0.15)  # the slow device: the pause is the point
            relay.answer(frame)
            relay.client.recv(512)
        silent = request_frame(9, b"\x00")
        relay.request(relay.client, silent)
        relay.wait_for(lambda: relay.status()["refused"]["given_up"] == 1, 10, "the give-up")

        def devices():
            found = {d["id"]: d for d in relay.status()["devices"]}
            return found if 9 in found and found[9]["given_up"] == 1 else None
        found = relay.wait_for(devices, 5, "device 9 given up in /status.json")
        assert sorted(found) == [7, 8, 9], sorted(found)
        fast, slow, silent_device = found[7], found[8], found[9]
        for device, requests, replies in ((fast, 5, 5), (slow, 3, 3)):
            assert device["requests"] == requests and device["replies"] == replies, device
            assert device["resends"] == 0 and device["timeouts"] == 0 and device["given_up"] == 0, device
            assert device["wrong_id"] == 0 and device["echoes"] == 0 and device["discarded_bytes"] == 0, device
            assert device["last_heard_s"] is not None and device["last_heard_s"] < 10, device
        assert fast["response_ms"]["max"] < 100, fast
        # 150 ms after the frame was read, less the frame's own time on the
        # line at 4800 baud (its computed end), give or take the scheduling.
        response = slow["response_ms"]
        assert 100 <= response["min"] <= response["p50"] <= response["p99"] <= response["max"] < 1000, slow
        assert response["min"] <= response["last"] <= response["max"], slow
        assert silent_device["requests"] == 1 and silent_device["resends"] == 1, silent_device
        assert silent_device["timeouts"] == 2 and silent_device["given_up"] == 1, silent_device
        assert silent_device["replies"] == 0 and silent_device["last_heard_s"] is None, silent_device
        assert silent_device["response_ms"] == {"min": None, "p50": None, "p99": None, "max": None, "last": None}

        code, text = relay.fetch("/metrics")
        assert code == 200, code
        families = {f.name: f for f in text_string_to_metric_families(text)}

        def value(family, sample_name, **labels):
            for s in families[family].samples:
                if s.name == sample_name and all(s.labels.get(k) == v for k, v in labels.items()):
                    return s.value
            raise AssertionError("no sample %s %s" % (sample_name, labels))
        assert families["tarvix_device_response_seconds"].type == "histogram"
        for name in ("requests", "replies", "timeouts", "resends", "given_up"):
            assert families["tarvix_device_" + name].type == "counter", name
        assert value("tarvix_device_requests", "tarvix_device_requests_total", id="7") == 5
        assert value("tarvix_device_replies", "tarvix_device_replies_total", id="8") == 3
        assert value("tarvix_device_timeouts", "tarvix_device_timeouts_total", id="9") == 2
        assert value("tarvix_device_resends", "tarvix_device_resends_total", id="9") == 1
        assert value("tarvix_device_given_up", "tarvix_device_given_up_total", id="9") == 1
        histogram = "tarvix_device_response_seconds"
        assert value(histogram, histogram + "_bucket", id="7", le="0.1") == 5
        assert value(histogram, histogram + "_bucket", id="8", le="0.1") == 0
        assert value(histogram, histogram + "_bucket", id="8", le="1") == 3
        assert value(histogram, histogram + "_count", id="8") == 3
        assert 0.3 <= value(histogram, histogram + "_sum", id="8") < 3
        print("ok")
    except BaseException:
        print(relay.stop())
        raise
    finally:
        relay.close()


if __name__ == "__main__":
    main(sys.argv[1])

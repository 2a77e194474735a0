#!/usr/bin/env python3
"""Timing per device as a client and an operator see it, with the test
playing the devices. --adaptive-timeout: device 7 earns a short time-out
from 20 quick answers (shown in /status.json and /metrics), a silent
request to it is resent within that time, and after one late answer (cut
by a resend, then taken) its next request waits the full time-out, uncut.
--no-reply-ids=0: a broadcast goes out once, the next request right after,
its client gets nothing, an answer to it is discarded and counted, and the
books still balance. Usage: device_timing_test.py TARVIX_RELAYD."""
import socket
import sys
import time

from status_rig import Relay, books, metric_samples, reply_to, request_frame


def main(relayd):
    relay = Relay(relayd, ["--turnaround=auto", "--adaptive-timeout", "--timeout=1000", "--resend-limit=1",
                           "--no-reply-ids=0"])
    try:
        for k in range(20):
            relay.served(relay.client, request_frame(7, bytes([k])))

        def device(id_):
            return {d["id"]: d for d in relay.status()["devices"]}.get(id_)
        learned = relay.wait_for(lambda: (device(7) or {}).get("timeout_source") == "learned" and device(7), 5,
                                 "device 7's learned time-out")
        assert learned["timeout_learned_from"] == 20, learned
        # The floor (20 ms) or a little above: the pseudo-terminal answers at
        # once, and a reply's wire time at 4800 baud is some 20 ms.
        assert 20 <= learned["timeout_ms"] < 100, learned
        samples = metric_samples(relay.fetch("/metrics")[1])
        assert abs(samples['tarvix_device_timeout_seconds{id=7}'] * 1000 - learned["timeout_ms"]) < 0.1, samples

        # Silent: resent after the learned time-out, not the global second.
        silent = request_frame(7, b"\xAA")
        relay.request(relay.client, silent)
        relay.await_on_bus(silent)
        began = time.monotonic()
        relay.await_on_bus(silent)
        assert time.monotonic() - began < 0.5, time.monotonic() - began
        relay.wait_for(lambda: relay.status()["refused"]["given_up"] == 1, 5, "the give-up")

        # Slow once: the answer comes only after the resend and is taken;
        # the next request is not cut again, though it is as slow.
        late = request_frame(7, b"\x01")
        relay.request(relay.client, late)
        relay.await_on_bus(late, times=2)
        relay.answer(late)
        assert relay.client.recv(512).endswith(reply_to(late)[1:])
        slow = request_frame(7, b"\x02")
        relay.request(relay.client, slow)
        seen = relay.bus_for(0.15)
        assert seen.count(slow) == 1, seen
        relay.answer(slow)
        assert relay.client.recv(512).endswith(reply_to(slow)[1:])
        relay.wait_for(lambda: device(7)["replies"] == 22, 5, "the two slow replies in /status.json")
        assert device(7)["resends"] == 2, device(7)

        # The broadcast: once on the bus, the next request straight after.
        broadcast = request_frame(0, b"\x05")
        relay.request(relay.client, broadcast)
        relay.await_on_bus(broadcast)
        relay.answer(broadcast)
        relay.served(relay.client, request_frame(7, b"\x03"))
        relay.client.settimeout(0.3)
        try:
            extra = relay.client.recv(512)
            raise AssertionError("the broadcast's client got %r" % extra)
        except socket.timeout:
            pass
        zero = relay.wait_for(lambda: device(0) and device(0)["discarded_bytes"] > 0 and device(0), 5,
                              "the answer to the broadcast discarded")
        assert zero["requests"] == 1 and zero["unanswered"] == 1 and zero["resends"] == 0, zero
        samples = metric_samples(relay.fetch("/metrics")[1])
        assert samples["tarvix_unanswered_total"] == 1, samples
        outcomes = books(samples)
        assert sum(outcomes.values()) == samples["tarvix_datagrams_received_total"], outcomes
        print("ok")
    except BaseException:
        print(relay.stop())
        raise
    finally:
        relay.close()


if __name__ == "__main__":
    main(sys.argv[1])

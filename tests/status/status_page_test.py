#!/usr/bin/env python3
"""The status page in headless Chromium: after a round trip it shows the
endpoint's row, the device's row and the counters; after the relay stops it
says that the relay stopped answering. Then with a thousand endpoints: each
refresh's work on the main thread stays under 16 ms (the browser's
performance timeline), the endpoint with requests queued is listed though a
hundred others were active since, the filter finds rows beyond the first
hundred, and the log shows times and levels. Skips loudly where Chromium
cannot start. Usage: status_page_test.py TARVIX_RELAYD [SCREENSHOT.png
[MANY_ENDPOINTS_SCREENSHOT.png [DEVICES.png]]]."""
import os
import socket
import sys
import threading
import time

from status_rig import RELAY_PORT, STATUS_PORT, Relay, reply_to, request_frame

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as ChromeService
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIPPED: python3-selenium is not installed (scripts/install-deps.sh status)")
    sys.exit(0)


def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1100,1000", "--no-proxy-server"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    service = ChromeService(executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(options=options, service=service)


# Read in one script run: the page replaces its rows every second, so an
# element found in one call may be gone by the next.
def text(driver, element_id):
    return driver.execute_script("return document.getElementById(arguments[0]).textContent", element_id)


def cells(driver):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('#endpoints tr td'), c => c.textContent)")


class Device(threading.Thread):
    """Plays the device on the pseudo-terminal: answers each frame while
    answering is set."""

    def __init__(self, relay):
        super().__init__(daemon=True)
        self.relay = relay
        self.answering = threading.Event()
        self.answering.set()
        self.stopping = threading.Event()

    def run(self):
        seen = b""
        while not self.stopping.is_set():
            try:
                seen += os.read(self.relay.master, 4096)
            except BlockingIOError:
                time.sleep(0.001)
                continue
            while True:
                start = seen.find(b"\x16\x02")
                if start < 0 or len(seen) < start + 3 or len(seen) < start + seen[start + 2] + 1:
                    break
                frame = seen[start:start + seen[start + 2] + 1]
                seen = seen[start + len(frame):]
                if self.answering.is_set():
                    self.relay.answer(frame)


def many_endpoints(driver, relayd, screenshot):
    relay = Relay(relayd, ["--turnaround=0", "--timeout=100", "--resend-limit=0", "--traces=none"])
    device = Device(relay)
    device.start()
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        def send(port, frame):
            sender.sendto(b"127.0.0.1\0" + bytes([port & 0xFF, port >> 8]) + b"\0" + frame, ("127.0.0.1", RELAY_PORT))
        queued_port = 30000
        send(queued_port, request_frame(9, b"\x00"))  # the oldest endpoint
        for k in range(1000):
            send(20000 + k, request_frame(5, bytes([k & 0xFF])))
            if k % 100 == 99:
                time.sleep(0.05)  # within the socket's buffer
        relay.wait_for(lambda: relay.status()["counters"]["RxRec"] == 1001, 60, "a thousand round trips")
        # The device falls silent: the oldest endpoint's requests wait, and
        # a hundred and fifty others are active after it.
        device.answering.clear()
        for n in range(6):
            send(queued_port, request_frame(9, bytes([n + 1])))
        time.sleep(0.3)
        for k in range(150):
            send(20000 + k, request_frame(5, b"\xEE"))
        relay.wait_for(lambda: relay.status()["endpoints_total"] == 1001, 5, "the endpoints")
        driver.get("http://127.0.0.1:%d/" % STATUS_PORT)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: d.execute_script("return performance.getEntriesByName('show').length") >= 7)
        durations = driver.execute_script("return performance.getEntriesByName('show').map(e => e.duration)")
        # The first refresh builds the rows and the second runs code not yet
        # compiled; the later ones stay within a frame. The median is what is
        # held to it: on a machine shared with other work one refresh may be
        # preempted, which no change of the page would cure.
        later = sorted(durations[2:])
        assert later[len(later) // 2] < 16 and later[-1] < 100, durations
        rows = driver.execute_script("return Array.from(document.querySelectorAll('#endpoints tr'),"
                                     " r => [r.cells[0].textContent, r.cells[2].textContent, r.cells[4].textContent])")
        assert len(rows) == 100, len(rows)
        assert any(port == str(queued_port) and int(queued) > 0 for _, port, queued in rows), rows
        indices = [int(index) for index, _, _ in rows]
        assert indices == sorted(indices), indices  # a stable order: the table's
        log = driver.execute_script(
            "return Array.from(document.querySelectorAll('#log div'), l => [l.className, l.textContent])")
        assert any(level == "warning" and "given up" in line for level, line in log), log[-5:]
        assert all(line[:2].isdigit() and line[2] == ":" for _, line in log), log[:3]
        if screenshot:
            driver.set_window_size(1280, 1400)
            driver.execute_script("window.scrollTo(0, 0)")
            time.sleep(1.2)  # one more refresh at the new size
            driver.save_screenshot(screenshot)
        # The filter finds an endpoint beyond the hundred shown.
        driver.execute_script("const f = document.getElementById('filter'); f.value = '20977';"
                              "f.dispatchEvent(new Event('input'));")
        wait.until(lambda d: d.execute_script(
            "return Array.from(document.querySelectorAll('#endpoints tr'), r => r.cells[2].textContent)") == ["20977"])
        longest = max(driver.execute_script("return performance.getEntriesByName('show').map(e => e.duration)")[2:])
        print("PASSED: 1,001 endpoints, refreshes at most %.1f ms, the queued endpoint listed, the filter finds "
              "endpoint 20977" % longest)
    except Exception:
        print(relay.stop())
        raise
    finally:
        device.stopping.set()
        device.join(2)
        sender.close()
        relay.close()


def main(relayd, screenshot=None, many_screenshot=None, devices_screenshot=None):
    try:
        driver = browser()
    except Exception as error:  # no browser, no display library, no driver: say so
        print("SKIPPED: Chromium cannot start: %s" % str(error).splitlines()[0])
        return
    try:
        round_trip(driver, relayd, screenshot, devices_screenshot)
        many_endpoints(driver, relayd, many_screenshot)
    finally:
        driver.quit()


def round_trip(driver, relayd, screenshot, devices_screenshot=None):
    relay = Relay(relayd)
    try:
        frame = request_frame(5, b"\x11\x22\x33")
        relay.served(relay.client, frame)
        port = str(relay.client.getsockname()[1])
        driver.get("http://127.0.0.1:%d/" % STATUS_PORT)
        wait = WebDriverWait(driver, 10)
        wait.until(lambda d: text(d, "PortTx") == "1")
        for counter in ("TxSent", "RxRec", "PortRec", "PortTx"):
            assert text(driver, counter) == "1", counter
        row = cells(driver)
        assert row[:7] == ["0", "127.0.0.1", port, "5", "0", "1", "1"], row
        assert text(driver, "serial-state") == "open"
        assert "live" in text(driver, "answer")
        assert "<< 02 08 06 00 05 11 22 33" in text(driver, "log")
        device = driver.execute_script(
            "return Array.from(document.querySelectorAll('#devices tr td'), c => c.textContent)")
        # ID, requests, replies, resends, time-outs, given up, wrong ID, echoes, noise bytes.
        assert device[:9] == ["5", "1", "1", "0", "0", "0", "0", "0", "0"], device
        assert device[11].endswith(" s ago"), device
        if screenshot:
            driver.save_screenshot(screenshot)
        if devices_screenshot:
            driver.execute_script("return document.getElementById('devices').closest('section')").screenshot(
                devices_screenshot)
        relay.stop()
        assert relay.process.returncode == 0, "the relay ended with %s" % relay.process.returncode
        wait.until(lambda d: "stopped answering" in text(d, "answer"))
        # What it showed last stays on the page.
        assert text(driver, "PortTx") == "1"
        print("PASSED: the page showed the round trip and then that the relay stopped answering")
    except Exception:
        print(relay.stop())
        raise
    finally:
        relay.close()


if __name__ == "__main__":
    main(*sys.argv[1:])

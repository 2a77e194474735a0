#!/usr/bin/env python3
"""The status page in headless Chromium: after a round trip it shows the
endpoint's row, the device's row and the counters; after the relay stops it says that the
relay stopped answering. Skips loudly where Chromium cannot start.
Usage: status_page_test.py TARVIX_RELAYD [SCREENSHOT.png [DEVICES.png]]."""
import sys
import time

from status_rig import STATUS_PORT, Relay, request_frame

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


def main(relayd, screenshot=None, devices_screenshot=None):
    try:
        driver = browser()
    except Exception as error:  # no browser, no display library, no driver: say so
        print("SKIPPED: Chromium cannot start: %s" % str(error).splitlines()[0])
        return
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
        driver.quit()
        relay.close()


if __name__ == "__main__":
    main(*sys.argv[1:])

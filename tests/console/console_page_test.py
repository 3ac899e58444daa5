#!/usr/bin/env python3
"""kivsim's console page in a real browser (headless Chromium through
Selenium): it loads without script errors, a value edited on the page is what
kivpoll then reads through the driver, a register kivpoll writes appears on
the page, a point toggled on the page reaches the host as a status event, the
frame list grows while kivpoll polls, and the trend draws points.

Usage: console_page_test.py KIVSIM KIVPOLL SCREENSHOT.png
Every wait polls with a deadline; nothing sleeps for a fixed time."""
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

DEADLINE_S = 10


def wait_for(what, condition, limit=DEADLINE_S):
    end = time.monotonic() + limit
    while True:
        try:
            value = condition()
        except Exception:  # an element not there yet, or replaced under us
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("not within %s s: %s" % (limit, what))
        time.sleep(0.05)


def click(browser, selector):
    """Clicks what selector finds, again when the page redrew it under the click."""
    def attempt():
        browser.find_element(By.CSS_SELECTOR, selector).click()
        return True
    wait_for("a click on " + selector, attempt)


def read_line_with(stream, piece):
    for line in stream:
        if piece in line:
            return line.strip()
    raise AssertionError("kivsim never printed " + piece)


def main(kivsim_path, kivpoll_path, screenshot):
    kivsim = subprocess.Popen([kivsim_path, "--station", "1", "--http", "0", "--seed", "1"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = None
    try:
        line = read_line_with(kivsim.stdout, "kivsim: line ").split(" ", 2)[2]
        url = read_line_with(kivsim.stdout, "kivsim: console ").split(" ")[2]

        def kivpoll(*arguments):
            run = subprocess.run([kivpoll_path, "-p", line, "-t", "500", "-q", "--json"] + list(arguments),
                                 capture_output=True, text=True, timeout=30)
            return run.stdout + run.stderr

        browser = webdriver.Chrome(options=options)
        browser.get(url)
        wait_for("the station in the list", lambda: browser.find_element(
            By.CSS_SELECTOR, '#stations td[data-station="1"][data-field="host"]'))

        # Show registers 300 and 301; edit 300 in place.
        for field, value in (("from", "300"), ("count", "2")):
            box = browser.find_element(By.ID, field)
            box.clear()
            box.send_keys(value, Keys.TAB)
        cell = '#registers td[data-station="1"][data-register="%d"]'
        click(browser, cell % 300)
        editor = wait_for("the editor", lambda: browser.find_element(By.CSS_SELECTOR, (cell % 300) + " input"))
        editor.send_keys(Keys.CONTROL, "a")
        editor.send_keys("555", Keys.ENTER)
        wait_for("kivpoll reads 555", lambda: '"values":[555]' in kivpoll("R00010300"))

        # The host writes 301; the page shows it.
        frames_before = len(browser.find_elements(By.CSS_SELECTOR, "#frames div"))
        assert '"error"' not in kivpoll("-W", "777", "R00010301")
        wait_for("777 on the page", lambda: browser.find_element(By.CSS_SELECTOR, cell % 301).text == "777", 3)
        wait_for("the frame list grows", lambda: len(browser.find_elements(By.CSS_SELECTOR, "#frames div")) >
                 frames_before)

        # Toggle point 7 on the page; the host fetches it as a status event.
        point = browser.find_element(By.ID, "point")
        point.send_keys("7")
        browser.find_element(By.ID, "toggle").click()
        wait_for("point 7 shown on", lambda: browser.find_element(
            By.CSS_SELECTOR, '#points [data-station="1"][data-point="7"]'))
        fetched = kivpoll("!S0001")
        assert "0007" in fetched, fetched

        # The trend of register 300 draws points once a few samples are in.
        click(browser, "#registers tr:nth-child(1) input[type=checkbox]")
        wait_for("the trend's points", lambda: len(browser.find_element(
            By.CSS_SELECTOR, '#regTrend polyline[data-station="1"][data-register="300"]')
            .get_attribute("points").split()) >= 2)

        errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
        assert not errors, errors
        browser.save_screenshot(screenshot)
    finally:
        if browser is not None:
            browser.quit()
        kivsim.stdin.write("quit\n")
        kivsim.stdin.flush()
        kivsim.wait(10)
    print("console page: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))

#!/usr/bin/env python3
"""zuqweb's page in headless Chromium, driven step by step by the test
(system/zuqweb.cpp) over standard input and output:

  zuqweb_browser.py URL USER PASSWORD SCREENSHOT PROFILE_DIR

prints "loaded" once the page shows board 0C2A cycling with discrete input
33 off, waits for a line "changed" (the test has set it on the board) and
prints "seen" once the row shows it without a reload, clicks coil 2's button
and prints "toggled: <result line>", saves the screenshot and prints "shot".
"nostart: <why>" and status 3 when the browser cannot start at all;
"failed: <why>" and status 1 on anything else."""
import sys
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError as e:
    print(f"nostart: python3-selenium missing: {e}", flush=True)
    sys.exit(3)

TIMEOUT = 10  # seconds for each step: a bound on a loaded machine, not a figure


def say(text):
    print(text, flush=True)


def wait_for(what, check):
    end = time.monotonic() + TIMEOUT
    while time.monotonic() < end:
        try:
            if check():
                return
        except WebDriverException:
            pass
        time.sleep(0.02)
    raise RuntimeError(f"timed out waiting for {what}")


def cell(driver, row_id, column):
    return driver.execute_script(
        "const r=document.getElementById(arguments[0]);"
        "return r ? r.cells[arguments[1]].textContent : null;", row_id, column)


def main():
    url, user, password, screenshot, profile = sys.argv[1:6]
    opts = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1100,760", f"--user-data-dir={profile}", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-default-apps", "--disable-extensions",
                "--no-pings", "--disable-domain-reliability",
                # Nothing but the loopback address is looked up.
                "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1"):
        opts.add_argument(arg)
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    except WebDriverException as e:
        say("nostart: " + str(e.msg or e).splitlines()[0])
        return 3
    try:
        # Digest credentials in the address: the browser answers the challenge
        # of the page, and of its event stream and writes, with them.
        host = url.split("://", 1)[1]
        driver.get(f"http://{user}:{password}@{host}")
        wait_for("board 0C2A cycling",
                 lambda: driver.find_element(By.ID, "board").text == "0C2A"
                 and driver.find_element(By.ID, "state").text == "cycling")
        wait_for("di 33 off", lambda: cell(driver, "di-33", 1) == "0")
        driver.execute_script("window.notReloaded = true;")
        say("loaded")
        if sys.stdin.readline().strip() != "changed":
            raise RuntimeError("no 'changed' from the test")
        wait_for("di 33 on", lambda: cell(driver, "di-33", 1) == "1")
        if driver.execute_script("return window.notReloaded === true;") is not True:
            raise RuntimeError("the page was reloaded")
        say("seen")
        driver.find_element(By.CSS_SELECTOR, 'button[data-w="coil"][data-a="2"]').click()
        wait_for("the write's outcome",
                 lambda: ": " in driver.find_element(By.ID, "result").text
                 and "writing" not in driver.find_element(By.ID, "result").text)
        result = driver.find_element(By.ID, "result").text
        wait_for(f"coil 2 read back on (the page says: {result})",
                 lambda: cell(driver, "coil-2", 2) == "1")
        say("toggled: " + driver.find_element(By.ID, "result").text)
        driver.save_screenshot(screenshot)
        say("shot")
        return 0
    except Exception as e:  # noqa: BLE001 - every failure is the test's to report
        say(f"failed: {e}")
        return 1
    finally:
        driver.quit()


sys.exit(main())

#!/usr/bin/env python3
"""Helper of bench_zuqweb: zuqweb's page in headless Chromium, telling when
discrete input 33 changes on the page.

  zuqweb_latency.py URL PROFILE_DIR

prints "ready" once the page shows the input, then for every line "expect V"
on standard input prints the wall-clock time in ms (Date.now(), taken in the
page when the row changed) at which the row showed V. "nostart: <why>" when
the browser cannot start."""
import sys
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
except ImportError as e:
    print(f"nostart: {e}", flush=True)
    sys.exit(3)

WATCH = """
window.seen = [];
const r = document.getElementById('di-33');
new MutationObserver(() => {
  const row = document.getElementById('di-33');
  if (row) window.seen.push([row.cells[1].textContent, Date.now()]);
}).observe(r.parentNode, {childList: true, subtree: true, characterData: true});
"""


def main():
    url, profile = sys.argv[1:3]
    opts = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--user-data-dir={profile}", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-extensions",
                "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1"):
        opts.add_argument(arg)
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    except WebDriverException as e:
        print("nostart: " + str(e.msg or e).splitlines()[0], flush=True)
        return 3
    try:
        driver.get(url)
        end = time.monotonic() + 20
        while driver.execute_script("return !document.getElementById('di-33');"):
            if time.monotonic() > end:
                print("failed: no di 33 on the page", flush=True)
                return 1
            time.sleep(0.05)
        driver.execute_script(WATCH)
        print("ready", flush=True)
        for line in sys.stdin:
            want = line.split()[1]
            end = time.monotonic() + 10
            stamp = None
            while stamp is None and time.monotonic() < end:
                seen = driver.execute_script("const s = window.seen; window.seen = []; return s;")
                for value, at in seen:
                    if value == want:
                        stamp = at
                if stamp is None:
                    time.sleep(0.01)
            print(stamp if stamp is not None else "lost", flush=True)
        return 0
    finally:
        driver.quit()


sys.exit(main())

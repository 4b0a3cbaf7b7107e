#!/usr/bin/python3
"""Drives the phone panel in headless Chromium: panel_browser.py URL PIN SHOTS_FOLDER

Logs in with the PIN, taps pad 1 and waits for its pushed state, takes the page at 360 x 640
(and at a tablet's 1024 x 768), then gives five wrong PINs and a sixth try. Prints one JSON
object with what it saw; the calling test judges it.
"""
import json
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.support.ui import WebDriverWait

url, pin, shots = sys.argv[1], sys.argv[2], sys.argv[3]
options = webdriver.ChromeOptions()
for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1024,800",
            "--hide-scrollbars", "--force-device-scale-factor=1"):
    options.add_argument(arg)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
seen = {}


def answered(d):
    """The page that answers a submitted form has loaded (the old one is marked)."""
    try:
        return d.execute_script(
            "return document.readyState === 'complete' && !document.body.dataset.old")
    except WebDriverException:  # still navigating
        return False


try:
    wait = WebDriverWait(driver, 15)
    def screen(width, height):
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": True})

    screen(360, 640)  # a phone
    driver.get(url)
    seen["viewport"] = driver.execute_script("return [window.innerWidth, window.innerHeight]")
    seen["pinPage"] = len(driver.find_elements(By.NAME, "pin")) == 1
    seen["panelWithoutSession"] = len(driver.find_elements(By.ID, "pads")) > 0

    driver.find_element(By.NAME, "pin").send_keys(pin)
    driver.find_element(By.ID, "enter").click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#pad1[data-state]"))
    seen["pads"] = len(driver.find_elements(By.CSS_SELECTOR, "#pads .pad"))
    seen["cookieHttpOnly"] = [c.get("httpOnly") for c in driver.get_cookies()]
    seen["scriptSeesCookie"] = driver.execute_script("return document.cookie") != ""
    seen["before"] = driver.find_element(By.ID, "pad1").get_attribute("data-state")

    driver.find_element(By.ID, "pad1").click()
    wait.until(lambda d: d.find_element(By.ID, "pad1").get_attribute("data-state")
               in ("playing", "ending"))
    seen["after"] = driver.find_element(By.ID, "pad1").get_attribute("data-state")
    seen["latencyMs"] = driver.execute_script("return window.cuedeckLatency")
    seen["caption"] = driver.find_element(By.CSS_SELECTOR, "#pad1 .caption").text
    seen["left"] = driver.find_element(By.CSS_SELECTOR, "#pad1 .left").text
    # Every pad and the stop-all button inside the phone's screen, none on another.
    seen["inside"] = driver.execute_script("""
        const w = window.innerWidth, h = window.innerHeight, boxes = [];
        for (const el of document.querySelectorAll('.pad, #stopall')) {
          const r = el.getBoundingClientRect();
          boxes.push([r.left, r.top, r.right, r.bottom]);
        }
        const inside = boxes.every(b => b[0] >= 0 && b[1] >= 0 && b[2] <= w && b[3] <= h);
        const apart = boxes.every((a, i) => boxes.every((b, j) => i === j ||
          a[2] <= b[0] || b[2] <= a[0] || a[3] <= b[1] || b[3] <= a[1]));
        return inside && apart && boxes.length === 9;""")
    driver.save_screenshot(shots + "/panel-phone.png")
    screen(1024, 768)  # a tablet on its side
    time.sleep(0.3)
    driver.save_screenshot(shots + "/panel-tablet.png")
    screen(360, 640)

    # A browser without the session: five wrong PINs, then the right one is refused too.
    driver.delete_all_cookies()
    seen["wrong"] = []
    for attempt in range(6):
        driver.get(url)
        field = driver.find_element(By.NAME, "pin")
        field.send_keys(pin if attempt == 5 else "000000")
        driver.execute_script("document.body.dataset.old = '1'")
        driver.find_element(By.ID, "enter").click()
        wait.until(answered)
        seen["wrong"].append(driver.find_element(By.ID, "message").text)
    seen["panelAfterLockout"] = len(driver.find_elements(By.ID, "pads")) > 0
finally:
    driver.quit()
print(json.dumps(seen, ensure_ascii=False))

#!/usr/bin/python3
"""Loads the status page in headless Chromium, waits for its charts to be
drawn and prints the figures it shows, one "id value" per line, for the
test to compare with the server's statistics.

usage: status_page.py URL"""
import sys

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

FIGURES = ["readers", "feeders", "outgoing", "accepted", "refused", "rejected", "history"]

# Pixels of a canvas that are not blank: axes, labels and lines.
INKED = """
const c = document.getElementById(arguments[0]);
const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let n = 0;
for (let i = 3; i < data.length; i += 4) if (data[i] !== 0) ++n;
return n;
"""


def main():
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.set_page_load_timeout(60)
        driver.get(sys.argv[1])
        wait = WebDriverWait(driver, 60)
        for chart in ("chart-in", "chart-out"):
            wait.until(lambda d, c=chart: d.find_element(By.ID, c).get_attribute("data-drawn") is not None)
            print(chart, driver.find_element(By.ID, chart).get_attribute("data-drawn"),
                  driver.execute_script(INKED, chart))
        for figure in FIGURES:
            print(figure, driver.find_element(By.ID, figure).text)
        print("legend-in", driver.find_element(By.ID, "legend-in").text)
        print("stores", len(driver.find_elements(By.CSS_SELECTOR, "#stores tbody tr")))
        print("paused", driver.find_element(By.ID, "paused").is_displayed())
    finally:
        driver.quit()


if __name__ == "__main__":
    main()

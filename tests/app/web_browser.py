#!/usr/bin/python3
"""Drives the printer application's web pages in headless Chromium.

    web_browser.py BASE_URL OUT_DIR STEP ARGS_JSON

One step per run, in a fresh browser. Prints one line per check ("ok ..."
or "FAIL ..."), keeps a screenshot of every page it opens in OUT_DIR and
exits 1 when a check failed. After every page it also asks the server for
its front page: a step fails as soon as the server stops answering.

Steps:
  tour      {"printers": [...], "names": {...}}: every page reachable from
            the front page; no raw setting keyword anywhere, the readable
            names on the printers' pages.
  set       {"printer": P, "media": {field: value}, "printing": {...}}:
            fills the forms as an owner does, saves, and reads them back.
  check     the same arguments: the forms show these values.
  testpage  {"printer": P}: presses "Print Test Page".
  garbage   {"printer": P}: an out-of-range number in the browser's own
            form (the browser refuses it with a message), then values no
            list offers, put into the form by a script; the forms show the
            former values afterwards.
"""

import json
import re
import sys
import tempfile
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.support.ui import Select, WebDriverWait

FAILED = []


def check(condition, what):
    print(("ok " if condition else "FAIL ") + what, flush=True)
    if not condition:
        FAILED.append(what)
    return condition


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1000,1300",
                     "--lang=en-US", "--user-data-dir=" + profile):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"),
                            options=options)


class Session:
    def __init__(self, base, out_dir, driver):
        self.base, self.out_dir, self.driver = base, out_dir, driver

    def server_answers(self):
        try:
            with urllib.request.urlopen(self.base + "/", timeout=10) as reply:
                return reply.status == 200
        except OSError:
            return False

    def shot(self, name):
        name = re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-") or "front"
        self.driver.save_screenshot("%s/%s.png" % (self.out_dir, name))

    def open(self, path, shot=None):
        self.driver.get(self.base + path)
        self.shot(shot or path)
        check(self.server_answers(), "the server answers after " + path)

    def text(self):
        return self.driver.find_element(By.TAG_NAME, "body").text

    def banner(self):
        found = self.driver.find_elements(By.CSS_SELECTOR, "div.banner")
        return found[0].text.strip() if found else ""

    def awaited_banner(self):
        """The banner of the page a form's button brings, once it shows (a
        busy machine may show the page later than the click returns)."""
        try:
            WebDriverWait(self.driver, 30).until(lambda driver: self.banner() != "")
        except TimeoutException:
            pass
        return self.banner()

    def save(self, path):
        self.driver.find_element(
            By.CSS_SELECTOR, 'input[type="submit"][value="Save Changes"]').click()
        self.shot(path + "-saved")
        check(self.server_answers(), "the server answers after saving " + path)
        return self.awaited_banner()

    def field(self, name):
        return self.driver.find_element(By.NAME, name)

    def fill(self, values):
        for name, value in values.items():
            element = self.field(name)
            if element.get_attribute("type") == "radio":
                self.driver.find_element(
                    By.CSS_SELECTOR, 'input[name="%s"][value="%s"]' % (name, value)).click()
            elif element.tag_name == "select":
                Select(element).select_by_value(value)
            else:
                element.clear()
                element.send_keys(value)

    def value(self, name):
        element = self.field(name)
        if element.get_attribute("type") == "radio":
            return self.driver.find_element(
                By.CSS_SELECTOR, 'input[name="%s"]:checked' % name).get_attribute("value")
        if element.tag_name == "select":
            return Select(element).first_selected_option.get_attribute("value")
        return element.get_attribute("value")


def same(shown, wanted):
    try:
        return float(shown) == float(wanted)
    except ValueError:
        return shown == wanted


def pages_of(settings):
    printer = settings["printer"]
    return [("/%s/media" % printer, settings.get("media", {})),
            ("/%s/printing" % printer, settings.get("printing", {}))]


def read_back(session, settings, when):
    for path, values in pages_of(settings):
        if not values:
            continue
        session.open(path, path + "-" + when)
        for name, wanted in values.items():
            shown = session.value(name)
            check(same(shown, wanted),
                  "%s %s: %s shows %r (want %r)" % (when, path, name, shown, wanted))


def step_tour(session, args):
    names = args["names"]
    seen, queue = set(), ["/"]
    while queue:
        path = queue.pop(0)
        if path in seen:
            continue
        seen.add(path)
        session.open(path)
        title = session.driver.title
        check(title and "Not Found" not in title and "Error" not in title,
              "%s has a page (%s)" % (path, title))
        raw = sorted(set(re.findall(r"\blabel-[a-z-]+", session.text())))
        check(not raw, "%s shows no raw setting names %s" % (path, raw))
        for link in session.driver.find_elements(By.CSS_SELECTOR, "a[href]"):
            url = urllib.parse.urlsplit(link.get_attribute("href"))
            if (url.scheme + "://" + url.netloc) == session.base and \
                    not url.path.endswith((".png", ".css")):
                queue.append(url.path)
    for printer in args["printers"]:
        for page in ("", "config", "delete", "jobs", "media", "printing", "supplies"):
            check("/%s/%s" % (printer, page) in seen,
                  "the tour reached /%s/%s" % (printer, page))
    for path, wanted in names.items():
        session.open(path)
        text = session.text()
        for name in wanted:
            check(name in text, "%s shows %r" % (path, name))


def step_set(session, args):
    for path, values in pages_of(args):
        if not values:
            continue
        session.open(path, path + "-before")
        session.fill(values)
        banner = session.save(path)
        check(banner == "Changes saved.", "%s saved (%r)" % (path, banner))
    read_back(session, args, "after saving")


def step_check(session, args):
    read_back(session, args, "now")


def step_testpage(session, args):
    path = "/%s/" % args["printer"]
    session.open(path, path + "-test-page")
    session.driver.find_element(
        By.CSS_SELECTOR, 'input[type="submit"][value="Print Test Page"]').click()
    session.shot(path + "-test-page-pressed")
    check(session.server_answers(), "the server answers after Print Test Page")
    banner = session.awaited_banner()
    check(banner != "" and "Invalid" not in banner,
          "Print Test Page answers %r" % banner)


def step_garbage(session, args):
    printer = args["printer"]
    media, printing = "/%s/media" % printer, "/%s/printing" % printer
    before = {"media": {}, "printing": {}}
    session.open(media)
    for name in ("ready0-size", "ready0-left-offset", "ready0-top-offset"):
        before["media"][name] = session.value(name)
    session.open(printing)
    for name in ("print-darkness", "print-speed", "label-density", "label-print-mode"):
        before["printing"][name] = session.value(name)

    # The browser's own form: a shift beyond 10 mm is refused before it is
    # sent, with the browser's message at the field.
    session.open(media, media + "-out-of-range")
    session.fill({"ready0-left-offset": "50"})
    session.driver.find_element(
        By.CSS_SELECTOR, 'input[type="submit"][value="Save Changes"]').click()
    message = session.driver.execute_script(
        "return document.querySelector('input[name=\"ready0-left-offset\"]')"
        ".validationMessage;")
    session.shot(media + "-out-of-range-refused")
    check(message != "", "the browser refuses a 50 mm shift: %r" % message)
    check(session.banner() == "", "nothing was sent")

    # Values no list offers, put into the lists by a script.
    session.open(printing, printing + "-garbage")
    session.driver.execute_script("""
      for (const [name, value] of [['label-density', 'bogus'], ['label-print-mode', '../etc'],
                                   ['print-darkness', '500'], ['print-speed', '-7']]) {
        const list = document.querySelector('select[name="' + name + '"]');
        const option = document.createElement('option');
        option.value = value; option.text = value;
        list.appendChild(option); list.value = value;
      }""")
    banner = session.save(printing + "-garbage")
    check(banner == "Invalid form submission.",
          "values no list offers are refused with a message: %r" % banner)
    read_back(session, {"printer": printer, **before}, "after garbage")


def main():
    base, out_dir, step, args = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
    steps = {"tour": step_tour, "set": step_set, "check": step_check,
             "testpage": step_testpage, "garbage": step_garbage}
    with tempfile.TemporaryDirectory() as profile:
        driver = browser(profile)
        try:
            steps[step](Session(base, out_dir, driver), args)
        finally:
            driver.quit()
    if FAILED:
        print("%d checks failed" % len(FAILED))
        sys.exit(1)


if __name__ == "__main__":
    main()

"""The browser tests' kit: headless Chromium through Selenium, the station
page's server and gwsim gateways as child processes, and waits on the page.

Runs with Debian's /usr/bin/python3 and python3-selenium, Chromium and
chromedriver from Debian (as root Chromium needs --no-sandbox)."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def log(text):
    print(text, flush=True)


def fail(text):
    log("FAILED: " + text)
    raise AssertionError(text)


def check(condition, text):
    if not condition:
        fail(text)


class Process:
    """A child process whose output goes to a file, read for its ready line."""

    def __init__(self, name, argv, workdir, ready, timeout=90, env=None):
        self.name = name
        self.out_path = os.path.join(workdir, name + ".out")
        self.out = open(self.out_path, "w+")
        log("starting %s: %s" % (name, " ".join(argv)))
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT, env=env,
                                     start_new_session=True)
        self.match = self.wait_for(ready, timeout)

    def text(self):
        with open(self.out_path) as f:
            return f.read()

    def wait_for(self, pattern, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = re.search(pattern, self.text(), re.M)
            if found:
                return found
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        fail("%s did not print /%s/ (status %s); its output:\n%s" % (self.name, pattern, self.proc.poll(), self.text()))

    def stop(self, sig=signal.SIGTERM, timeout=30):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode


def gwsim(source_dir, workdir, name, model="GWM0202", scenario=""):
    """A gwsim gateway; its address is .address ("10.213.N.2:6666")."""
    argv = [os.path.join(source_dir, "sim", "gwsim"), "--model", model, "--keep", os.path.join(workdir, name)]
    if scenario:
        path = os.path.join(workdir, name + ".scenario")
        with open(path, "w") as f:
            f.write(scenario)
        argv += ["--scenario", path]
    sim = Process(name, argv, workdir, r"^gwsim: ready (\S+) ", timeout=90)
    sim.address = sim.match.group(1)
    return sim


def chrome():
    options = Options()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def wait(driver, what, condition, timeout=60):
    """Polls `condition` until it holds. An element that went stale while it
    was read (the page drew it anew, as it does on every event) is read
    again at the next poll, not taken for a failure."""
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.1,
                             ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: condition())
    except Exception:
        fail("waited %d s for %s" % (timeout, what))


def card(driver, slot):
    return driver.find_element(By.ID, "slot-%d" % slot)


def state(driver, slot):
    """The card's state; a card drawn anew while it was read is read again."""
    for _ in range(50):
        try:
            return card(driver, slot).get_attribute("data-state")
        except StaleElementReferenceException:
            time.sleep(0.02)
    return card(driver, slot).get_attribute("data-state")


def post(url, body=None, token=None, content_type="application/json"):
    """A POST to the station; (status, reply as JSON or text)."""
    data = json.dumps(body or {}).encode()
    request = urllib.request.Request(url, data=data, method="POST", headers={"Content-Type": content_type})
    if token is not None:
        request.add_header("X-Gwtest-Token", token)
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status, json.loads(reply.read() or b"{}")
    except urllib.error.HTTPError as error:
        text = error.read()
        try:
            return error.code, json.loads(text)
        except ValueError:
            return error.code, text


def get_json(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        return json.loads(reply.read())


def answer_prompt(driver, slot, yes, timeout=60):
    """Waits for the yes/no question on the slot's card and answers it;
    returns the question."""
    def open_question():
        prompt = card(driver, slot).find_element(By.CSS_SELECTOR, ".prompt")
        if prompt.is_displayed() and prompt.get_attribute("data-kind") != "press-button":
            button = prompt.find_element(By.CSS_SELECTOR, ".yes" if yes else ".no")
            if button.is_enabled():
                return prompt, button
        return None
    prompt, button = wait(driver, "a question on slot %d" % slot, open_question, timeout)
    question = prompt.find_element(By.CSS_SELECTOR, ".question").text
    prompt_id = prompt.get_attribute("data-prompt")
    log("slot %d asks: %s -> %s" % (slot, question, "yes" if yes else "no"))
    button.click()
    # Answered: that question leaves the card.
    wait(driver, "the answer to take", lambda: card(driver, slot).find_element(
        By.CSS_SELECTOR, ".prompt").get_attribute("data-prompt") != prompt_id, 30)
    return question


def main(tests):
    """Runs the named test functions (argv picks some), each given a fresh
    work directory; status 1 when one fails."""
    chosen = sys.argv[1:] or list(tests)
    failed = []
    for name in chosen:
        log("== " + name)
        try:
            tests[name]()
            log("ok " + name)
        except Exception as error:  # every failure is reported, the others still run
            log("FAILED %s: %r" % (name, error))
            log(traceback.format_exc().rstrip())  # the line that failed, for a failure seen once
            failed.append(name)
    if failed:
        log("failed: " + ", ".join(failed))
        sys.exit(1)


def screenshot(driver, build_dir, name):
    """Saves the page as a test artifact in the build tree; prints where."""
    folder = os.path.join(build_dir, "tests", "browser", "artifacts")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    driver.save_screenshot(path)
    log("screenshot: " + path)
    return path


def workdir(build_dir, name):
    base = os.path.join(build_dir, "tests", "browser", "work")
    os.makedirs(base, exist_ok=True)
    return tempfile.mkdtemp(prefix=name + "-", dir=base)

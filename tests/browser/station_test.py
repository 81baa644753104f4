"""`gwtest serve` in headless Chromium against gwsim gateways: two slots
started on the page, the LED questions answered by touch (one No), the
finished cards, the history and the records; a gateway dropped mid-plan; a
POST without the token.

The plan is cut short with --only (a GWM0202's whole plan takes over a
minute): the identity tests, the button, and the LEDs the operator judges."""

import json
import os
import signal
import sqlite3
import time
import urllib.request

import pagekit
from pagekit import By, check, log, wait

BUILD = os.environ["GWTEST_BUILD_DIR"]
SOURCE = os.environ["GWTEST_SOURCE_DIR"]
GWTEST = os.environ["GWTEST_BIN"]
os.environ["GWSIM_BUILD"] = BUILD  # gwsim runs this tree's service and board


def serve(work, slots, only, token=None):
    """gwtest serve on a free port of 127.0.0.1; .url is its page."""
    slots_file = os.path.join(work, "slots")
    with open(slots_file, "w") as f:
        f.write("# the browser test's gateways\n")
        for address, label in slots:
            f.write("%s %s\n" % (address, label))
    argv = [GWTEST, "serve", "--listen", "127.0.0.1:0", "--records", os.path.join(work, "records"),
            "--slots", slots_file, "--only", only, "--station", "browser"]
    if token:
        argv += ["--token", token]
    station = pagekit.Process("serve", argv, work, r"the station page is at (http://\S+)", timeout=30)
    station.url = station.match.group(1)
    return station


def open_questions(driver):
    """The yes/no questions on the page now: (slot, prompt id, question)."""
    found = []
    for card in driver.find_elements(By.CSS_SELECTOR, ".card"):
        prompt = card.find_element(By.CSS_SELECTOR, ".prompt")
        if prompt.is_displayed() and prompt.get_attribute("data-kind") != "press-button":
            yes = prompt.find_element(By.CSS_SELECTOR, ".yes")
            if yes.is_enabled():
                found.append((int(card.get_attribute("data-slot")), prompt.get_attribute("data-prompt"),
                              prompt.find_element(By.CSS_SELECTOR, ".question").text, prompt))
    return found


def answer_until(driver, decide, done, timeout=120):
    """Answers every question as decide(slot, question) says, until done()."""
    answered = []
    deadline = time.time() + timeout
    while not done():
        check(time.time() < deadline, "not done in %d s; answered %r; the cards: %r" % (
            timeout, answered, [c.text for c in driver.find_elements(By.CSS_SELECTOR, ".card")]))
        for slot, prompt_id, question, prompt in open_questions(driver):
            if (slot, prompt_id) in [(a[0], a[1]) for a in answered]:
                continue
            yes = decide(slot, question)
            log("slot %d asks: %s -> %s" % (slot, question, "yes" if yes else "no"))
            prompt.find_element(By.CSS_SELECTOR, ".yes" if yes else ".no").click()
            answered.append((slot, prompt_id, question, yes))
        time.sleep(0.1)
    return answered


def test_two_gateways_answered_on_the_page():
    work = pagekit.workdir(BUILD, "station")
    sims = [pagekit.gwsim(SOURCE, work, "gw-a"), pagekit.gwsim(SOURCE, work, "gw-b")]
    station = serve(work, [(sims[0].address, "A1"), (sims[1].address, "B1")], "mac,model,button,led-power,led-error")
    driver = pagekit.chrome()
    try:
        driver.get(station.url)
        wait(driver, "two idle cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2 and
             pagekit.state(driver, 0) == "idle" and pagekit.state(driver, 1) == "idle")
        for slot in (0, 1):
            pagekit.card(driver, slot).find_element(By.CSS_SELECTOR, ".start").click()
        wait(driver, "both running", lambda: pagekit.state(driver, 0) == "running" and
             pagekit.state(driver, 1) == "running", 30)

        def decide(slot, question):
            return not (slot == 0 and "power" in question)

        answers = answer_until(driver, decide, lambda: pagekit.state(driver, 0) in ("pass", "fail") and
                               pagekit.state(driver, 1) in ("pass", "fail"))
        check(len(answers) == 4, "two LED questions per gateway: %r" % answers)
        check(pagekit.state(driver, 0) == "fail", "slot 0 fails")
        check(pagekit.state(driver, 1) == "pass", "slot 1 passes")
        failures = pagekit.card(driver, 0).find_element(By.CSS_SELECTOR, ".failures").text
        check("led-power" in failures, "the failed card names the LED test: " + failures)
        for slot in (0, 1):
            text = pagekit.card(driver, slot).text
            check("GWM0202" in text and "02:47:57:02:02:" in text, "the card shows model and MAC: " + text)
            check("5 of 5 tests" in text, "every test done: " + text)
        pagekit.screenshot(driver, BUILD, "two-slots-finished.png")

        # The history view counts both units, links their records.
        driver.find_element(By.ID, "tab-history").click()
        wait(driver, "the history", lambda: driver.find_element(By.ID, "h-units").text == "2", 30)
        check(driver.find_element(By.ID, "h-yield").text == "50 %", "one unit of two passed the first time: " +
              driver.find_element(By.ID, "h-yield").text)
        rows = driver.find_elements(By.CSS_SELECTOR, "#runs tbody tr")
        check(len(rows) == 2, "two runs listed")
        bars = driver.find_elements(By.CSS_SELECTOR, "#chart svg rect.bar-pass")
        check(len(bars) == 5, "a bar per test: %d" % len(bars))
        failing = driver.find_element(By.ID, "failing").text
        check("led-power" in failing, "the most failing tests: " + failing)
        for a in driver.find_elements(By.CSS_SELECTOR, "#runs a[href^='/records/']"):
            with urllib.request.urlopen(a.get_attribute("href"), timeout=10) as reply:
                check(reply.status == 200, "record link " + a.get_attribute("href"))
        # One unit's history, by the MAC of the failed one.
        mac = pagekit.get_json(station.url + "api/slots")["slots"][0]["mac"]
        driver.find_element(By.ID, "unit-mac").send_keys(mac.upper())
        driver.find_element(By.CSS_SELECTOR, "#unit-form button").click()
        wait(driver, "the unit's history", lambda: "operator: no" in driver.find_element(By.ID, "unit").text, 30)
        pagekit.screenshot(driver, BUILD, "history.png")
    finally:
        driver.quit()
        station.stop()
        for sim in sims:
            sim.stop()

    # The records hold the answers.
    db = sqlite3.connect(os.path.join(work, "records", "records.db"))
    rows = db.execute("SELECT r.label, s.name, s.outcome, s.operator_answer, s.operator_ms FROM results s "
                      "JOIN runs r ON r.id = s.run_id WHERE s.name LIKE 'led-%' AND s.outcome != 'skipped' "
                      "ORDER BY r.label, s.name").fetchall()
    log("records: %r" % rows)
    got = [(label, name, outcome, answer) for label, name, outcome, answer, _ in rows]
    check(got == [("A1", "led-error", "pass", "yes"), ("A1", "led-power", "fail", "no"),
                  ("B1", "led-error", "pass", "yes"), ("B1", "led-power", "pass", "yes")], "records: %r" % got)
    check(all(ms is not None and ms >= 0 for *_, ms in rows), "each answer's time is recorded")
    with open(os.path.join(work, "records", "records.jsonl")) as f:
        lines = [json.loads(line) for line in f if line.strip()]
    answers = sorted((line.get("name"), line.get("operator_answer")) for line in lines
                     if str(line.get("name", "")).startswith("led-"))
    check(answers.count(("led-power", "no")) == 1 and answers.count(("led-power", "yes")) == 1,
          "records.jsonl holds the answers: %r" % answers)


def test_dropped_gateway_shows_unreachable_and_the_other_goes_on():
    work = pagekit.workdir(BUILD, "dropped")
    # Gateway A's Wi-Fi takes 25 s to come up, so its smart-config test is in
    # flight long enough to kill the gateway under it, however late the page
    # shows it.
    sims = [pagekit.gwsim(SOURCE, work, "gw-a", scenario="smartconfig.after = 25\n"),
            pagekit.gwsim(SOURCE, work, "gw-b")]
    station = serve(work, [(sims[0].address, "A1"), (sims[1].address, "B1")], "mac,model,smartconfig,led-power")
    driver = pagekit.chrome()
    try:
        driver.get(station.url)
        wait(driver, "two cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2)
        driver.find_element(By.ID, "start-all").click()
        # B may reach its LED question first: answered yes meanwhile.
        answer_until(driver, lambda slot, question: True, lambda: "smart" in pagekit.card(driver, 0).find_element(
            By.CSS_SELECTOR, ".test-name").text.lower(), 60)
        log("dropping gateway A mid-plan (gwsim killed outright)")
        sims[0].stop(signal.SIGKILL)
        answer_until(driver, lambda slot, question: True,
                     lambda: pagekit.state(driver, 0) == "unreachable" and pagekit.state(driver, 1) == "pass")
        message = pagekit.card(driver, 0).find_element(By.CSS_SELECTOR, ".message").text
        log("gateway A's card says: " + message)
        pagekit.screenshot(driver, BUILD, "dropped-gateway.png")
    finally:
        driver.quit()
        station.stop()
        for sim in sims:
            sim.stop()
    db = sqlite3.connect(os.path.join(work, "records", "records.db"))
    outcomes = dict(db.execute("SELECT label, outcome FROM runs").fetchall())
    check(outcomes.get("B1") == "pass", "gateway B's run passed: %r" % outcomes)
    check(outcomes.get("A1") in ("connection-lost", "unreachable"), "gateway A's run: %r" % outcomes)


def test_a_post_without_the_token_is_refused():
    work = pagekit.workdir(BUILD, "token")
    # Nothing listens on port 9 of 127.0.0.1: the run that the token lets
    # through ends unreachable at once.
    station = serve(work, [("127.0.0.1:9", "Z9")], "mac", token="line-4-secret")
    try:
        status, reply = pagekit.post(station.url + "api/slots/0/start")
        check(status == 401, "refused without the token: %s %r" % (status, reply))
        status, reply = pagekit.post(station.url + "api/slots/0/start", token="line-4-secreT")
        check(status == 403, "refused with a wrong token: %s %r" % (status, reply))
        status, reply = pagekit.post(station.url + "api/slots", {"address": "10.0.0.9"})
        check(status == 401, "adding a slot needs it too: %s" % status)
        check(pagekit.get_json(station.url + "api/slots")["slots"][0]["state"] == "idle", "nothing started")
        status, reply = pagekit.post(station.url + "api/slots/0/start", token="line-4-secret")
        check(status == 202, "accepted with the token: %s %r" % (status, reply))
        deadline = time.time() + 60
        while pagekit.get_json(station.url + "api/slots")["slots"][0]["state"] != "unreachable":
            check(time.time() < deadline, "the run on a closed port ends unreachable")
            time.sleep(0.2)
    finally:
        station.stop()


if __name__ == "__main__":
    pagekit.main({
        "two_gateways_answered_on_the_page": test_two_gateways_answered_on_the_page,
        "dropped_gateway_shows_unreachable_and_the_other_goes_on":
            test_dropped_gateway_shows_unreachable_and_the_other_goes_on,
        "a_post_without_the_token_is_refused": test_a_post_without_the_token_is_refused,
    })

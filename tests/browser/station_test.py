"""`gwtest serve` in headless Chromium against gwsim gateways: two slots
started on the page, the LED questions answered by touch (one No), the
finished cards, the history and the records; two gateways started together
and asked about as a gang, on one card, by touch and by a barcode scanner's
keys; a gateway dropped mid-plan; a POST without the token.

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
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.keys import Keys

BUILD = os.environ["GWTEST_BUILD_DIR"]
SOURCE = os.environ["GWTEST_SOURCE_DIR"]
GWTEST = os.environ["GWTEST_BIN"]
os.environ["GWSIM_BUILD"] = BUILD  # gwsim runs this tree's service and board


def serve(work, slots, only=None, token=None, extra=()):
    """gwtest serve on a free port of 127.0.0.1; .url is its page."""
    slots_file = os.path.join(work, "slots")
    with open(slots_file, "w") as f:
        f.write("# the browser test's gateways\n")
        for address, label in slots:
            f.write("%s %s\n" % (address, label))
    argv = [GWTEST, "serve", "--listen", "127.0.0.1:0", "--records", os.path.join(work, "records"),
            "--slots", slots_file, "--station", "browser"] + list(extra)
    if only:
        argv += ["--only", only]
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


def gang_cards(driver):
    """The gang cards shown now: {prompt id: card}. A card that went away
    while it was read (its question ended) is not among them."""
    cards = {}
    for card in driver.find_elements(By.CSS_SELECTOR, "#gangs .gang"):
        try:
            if card.is_displayed():
                cards[card.get_attribute("data-prompt")] = card
        except StaleElementReferenceException:
            continue
    return cards


def member_tile(card, slot):
    return card.find_element(By.CSS_SELECTOR, ".member[data-slot='%d']" % slot)


def test_a_gang_of_two_answered_on_one_card():
    """Two GWM0101 started together: every operator test is one question on
    one card. B's button is pressed 6 s into the test, A's after 1 s: A shows
    pressed while B still waits. At the power LED, B is named dark with the
    scanner's keys (its label, Enter; then Enter alone confirms); the other
    questions by touch. B fails led-power, A passes."""
    work = pagekit.workdir(BUILD, "gang")
    sims = [pagekit.gwsim(SOURCE, work, "gw-a", model="GWM0101"),
            pagekit.gwsim(SOURCE, work, "gw-b", model="GWM0101", scenario="button.press_after = 6\n")]
    # A long gang wait: on a loaded machine the two still meet at every step.
    station = serve(work, [(sims[0].address, "A1"), (sims[1].address, "B1")], extra=["--gang-wait", "120"])
    driver = pagekit.chrome()
    try:
        driver.get(station.url)
        wait(driver, "two idle cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2)
        driver.find_element(By.ID, "start-all").click()
        wait(driver, "both running", lambda: pagekit.state(driver, 0) == "running" and
             pagekit.state(driver, 1) == "running", 30)

        seen = {}  # prompt id -> (kind, question)
        saw_a_pressed_b_waiting = False
        deadline = time.time() + 240
        while not (pagekit.state(driver, 0) in ("pass", "fail") and pagekit.state(driver, 1) in ("pass", "fail")):
            check(time.time() < deadline, "the runs did not end; questions seen: %r" % seen)
            for prompt_id, card in gang_cards(driver).items():
                try:
                    kind = card.get_attribute("data-kind")
                    question = card.find_element(By.CSS_SELECTOR, ".gang-question").text
                    members = [int(m.get_attribute("data-slot")) for m in card.find_elements(By.CSS_SELECTOR, ".member")]
                    if kind == "press-button":
                        if prompt_id not in seen:
                            log("gang asks: %s (countdown %s)" % (question, card.find_element(
                                By.CSS_SELECTOR, ".gang-countdown").text))
                            seen[prompt_id] = (kind, question)
                            check(members == [0, 1], "the button gang names both: %r" % members)
                        states = [member_tile(card, s).get_attribute("data-state") for s in (0, 1)]
                        if states == ["pressed", "waiting"] and not saw_a_pressed_b_waiting:
                            saw_a_pressed_b_waiting = True
                            pagekit.screenshot(driver, BUILD, "gang-button.png")
                        continue
                    if prompt_id in seen:
                        continue
                    seen[prompt_id] = (kind, question)
                    log("gang asks (%s): %s" % (kind, question))
                    check(members == [0, 1], "the question names both gateways: %r" % members)
                    check("[" not in question, "the card shows no terminal key hint: " + question)
                    # Each member's card says it is in the question above.
                    for slot in (0, 1):
                        prompt = pagekit.card(driver, slot).find_element(By.CSS_SELECTOR, ".prompt")
                        check("in-gang" in prompt.get_attribute("class") and
                              not prompt.find_element(By.CSS_SELECTOR, ".answers").is_displayed(),
                              "slot %d's card points to the gang card" % slot)
                    if "power" in question:
                        check(card.find_element(By.CSS_SELECTOR, ".gang-hint").text ==
                              "Tap the ones that stayed dark", "the LED hint")
                        check(card.find_element(By.CSS_SELECTOR, ".all").text == "All lit", "the all button")
                        # The scanner types into the focused field: a label
                        # not in the question is refused, B1 toggles B.
                        scan = driver.switch_to.active_element
                        check("scan" in (scan.get_attribute("class") or ""), "the card's field has the focus")
                        scan.send_keys("Z9" + Keys.ENTER)
                        wait(driver, "the typo to be refused", lambda: "not in this question" in card.find_element(
                            By.CSS_SELECTOR, ".scan-error").text, 10)
                        scan.send_keys("b1" + Keys.ENTER)
                        wait(driver, "B marked dark", lambda: member_tile(card, 1).get_attribute("data-state") == "no",
                             10)
                        check(member_tile(card, 0).get_attribute("data-state") == "yes", "A stays lit")
                        check(member_tile(card, 1).get_attribute("aria-pressed") == "true", "B's toggle is on")
                        pagekit.screenshot(driver, BUILD, "gang-led-power.png")
                        driver.switch_to.active_element.send_keys(Keys.ENTER)  # Enter alone confirms
                    elif "blink" in question:
                        check(card.find_element(By.CSS_SELECTOR, ".all").text == "All blinking", "the blink button")
                        # Tapped twice: back to blinking; Confirm answers yes for both.
                        member_tile(card, 0).click()
                        wait(driver, "A toggled", lambda: member_tile(card, 0).get_attribute("data-state") == "no", 10)
                        member_tile(card, 0).click()
                        wait(driver, "A toggled back", lambda: member_tile(card, 0).get_attribute("data-state") ==
                             "yes", 10)
                        card.find_element(By.CSS_SELECTOR, ".confirm").click()
                    else:
                        if "normal" in question:
                            check(card.find_element(By.CSS_SELECTOR, ".all").text == "All back to normal",
                                  "the restore button")
                        card.find_element(By.CSS_SELECTOR, ".all").click()
                except StaleElementReferenceException:
                    continue  # the question ended while it was read
            time.sleep(0.1)

        kinds = [kind for kind, _ in seen.values()]
        log("gang questions: %r" % list(seen.values()))
        check(kinds.count("press-button") == 1, "one button question for both: %r" % kinds)
        check(kinds.count("led-lit") == 3 and kinds.count("all-blinking") == 1 and kinds.count("all-restored") == 1,
              "one question per operator test, each for both: %r" % kinds)
        check(saw_a_pressed_b_waiting, "A showed pressed while B's press was still to come")
        check(pagekit.state(driver, 0) == "pass", "A passes: " + pagekit.card(driver, 0).text)
        check(pagekit.state(driver, 1) == "fail", "B fails: " + pagekit.card(driver, 1).text)
        failures = pagekit.card(driver, 1).find_element(By.CSS_SELECTOR, ".failures").text
        check(failures == "failed: led-power", "B fails the power LED only: " + failures)
        check(not gang_cards(driver), "no gang card is left")
        pagekit.screenshot(driver, BUILD, "gang-finished.png")
    finally:
        driver.quit()
        station.stop()
        for sim in sims:
            sim.stop()

    db = sqlite3.connect(os.path.join(work, "records", "records.db"))
    rows = db.execute("SELECT r.label, s.outcome, s.operator_answer, s.operator_ms FROM results s "
                      "JOIN runs r ON r.id = s.run_id WHERE s.name = 'led-power' ORDER BY r.label").fetchall()
    log("records: %r" % rows)
    check([row[:3] for row in rows] == [("A1", "pass", "yes"), ("B1", "fail", "no")], "records: %r" % rows)
    check(rows[0][3] == rows[1][3], "one response time for the gang: %r" % rows)
    outcomes = dict(db.execute("SELECT label, outcome FROM runs").fetchall())
    check(outcomes == {"A1": "pass", "B1": "fail"}, "the runs: %r" % outcomes)


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
        "a_gang_of_two_answered_on_one_card": test_a_gang_of_two_answered_on_one_card,
        "dropped_gateway_shows_unreachable_and_the_other_goes_on":
            test_dropped_gateway_shows_unreachable_and_the_other_goes_on,
        "a_post_without_the_token_is_refused": test_a_post_without_the_token_is_refused,
    })

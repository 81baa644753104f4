"""The station page in headless Chromium against a scripted station (no
gateway): cards, prompts answered by touch, pass and fail, the gang card
(touch and a barcode scanner's keys), the token."""

import os

import pagekit
from pagekit import By, check, log, wait
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.keys import Keys

BUILD = os.environ["GWTEST_BUILD_DIR"]
FAKE = os.environ["GWTEST_FAKE_STATION"]


def start_station(work, token=None, slots=2):
    argv = [FAKE, "--listen", "127.0.0.1:0", "--slots", str(slots)]
    if token:
        argv += ["--token", token]
    station = pagekit.Process("fakeStation", argv, work, r"^fakeStation: (http://\S+)", timeout=30)
    station.url = station.match.group(1)
    return station


def test_two_slots_answered_on_the_page():
    work = pagekit.workdir(BUILD, "page")
    station = start_station(work)
    driver = pagekit.chrome()
    try:
        driver.get(station.url)
        wait(driver, "two idle cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2)
        check(pagekit.state(driver, 0) == "idle", "slot 0 starts idle")
        check(driver.find_element(By.ID, "link").text == "live", "the stream is live")
        for slot in (0, 1):
            pagekit.card(driver, slot).find_element(By.CSS_SELECTOR, ".start").click()
        wait(driver, "both running", lambda: pagekit.state(driver, 0) == "running" and pagekit.state(driver, 1) == "running")
        question = pagekit.answer_prompt(driver, 0, yes=False)
        check("led-power" in question, "the first question names the power LED: " + question)
        pagekit.answer_prompt(driver, 1, yes=True)
        pagekit.answer_prompt(driver, 0, yes=True)
        pagekit.answer_prompt(driver, 1, yes=True)
        wait(driver, "both finished", lambda: pagekit.state(driver, 0) == "fail" and pagekit.state(driver, 1) == "pass")
        failures = pagekit.card(driver, 0).find_element(By.CSS_SELECTOR, ".failures").text
        check("led-power" in failures, "the failed card names the LED test: " + failures)
        check(pagekit.card(driver, 1).find_element(By.CSS_SELECTOR, ".failures").text == "", "the passed card names none")
        check("3 of 3" in pagekit.card(driver, 1).find_element(By.CSS_SELECTOR, ".done").text, "tests done of total")
        pagekit.screenshot(driver, BUILD, "page-scripted-finished.png")
        # The person signs in in the header; Enter sends it.
        field = driver.find_element(By.ID, "operator")
        field.send_keys("op-7\n")
        button = driver.find_element(By.CSS_SELECTOR, "#sign-in button")
        wait(driver, "signed in", lambda: button.text == "Signed in", 10)
        # A reload gets the same cards and the same person from the snapshot.
        driver.refresh()
        wait(driver, "the cards again", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2 and
             pagekit.state(driver, 0) == "fail" and pagekit.state(driver, 1) == "pass")
        wait(driver, "still signed in",
             lambda: driver.find_element(By.ID, "operator").get_attribute("value") == "op-7", 10)
    finally:
        driver.quit()
        station.stop()


def gang_card(driver, kind):
    """The gang card of this kind of question shown now, or None."""
    try:
        for card in driver.find_elements(By.CSS_SELECTOR, "#gangs .gang"):
            if card.is_displayed() and card.get_attribute("data-kind") == kind:
                return card
    except StaleElementReferenceException:
        pass  # a question ended while it was read
    return None


def tile(card, slot):
    return card.find_element(By.CSS_SELECTOR, ".member[data-slot='%d']" % slot)


def test_a_gang_answered_on_one_card():
    work = pagekit.workdir(BUILD, "gang")
    station = start_station(work, slots=3)
    driver = pagekit.chrome()
    try:
        driver.get(station.url)
        wait(driver, "three cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 3)
        driver.find_element(By.ID, "start-all").click()

        # The button: one card, one countdown, each press as it comes.
        card = wait(driver, "the button's gang card", lambda: gang_card(driver, "press-button"))
        # Read at once, as the person sees it. A browser that came so late
        # (a loaded machine) that the presses had ended the question between
        # finding the card and reading it reads nothing: said, not failed.
        try:
            shown = (card.find_element(By.CSS_SELECTOR, ".gang-question").text,
                     card.find_element(By.CSS_SELECTOR, ".gang-countdown").text,
                     card.find_element(By.CSS_SELECTOR, ".gang-answers").is_displayed())
        except StaleElementReferenceException:
            shown = None
            log("the button's question ended before the page was read")
        if shown is not None:
            check(shown[0] == "Press the buttons of A1 B1 C1", "the button question: " + shown[0])
            check(shown[1].endswith(" s"), "a countdown")
            check(not shown[2], "nothing to answer")
        # A's press shows on its tile, or the button's question is over
        # already. That B still waits at that moment is seen only where the
        # browser keeps up with the fake's 5 s between the two presses; a
        # loaded machine's may not, so it is not asked here (the hub's test
        # checks each press marked as its reply comes).
        wait(driver, "A pressed", lambda: gang_card(driver, "press-button") is None or
             tile(card, 0).text.split("\n")[-1].lower() == "pressed", 30)
        check(pagekit.card(driver, 1).find_element(By.CSS_SELECTOR, ".countdown").text == "",
              "the slot cards count nothing down of their own")
        pagekit.screenshot(driver, BUILD, "page-gang-button.png")

        # The power LED: one question, a toggle per gateway.
        card = wait(driver, "the LED's gang card", lambda: gang_card(driver, "led-lit"), 30)
        question = card.find_element(By.CSS_SELECTOR, ".gang-question").text
        check(question == "Did the power LED light for two seconds on A1 B1 C1?", "the question: " + question)
        check(card.find_element(By.CSS_SELECTOR, ".gang-hint").text == "Tap the ones that stayed dark", "the hint")
        check(card.find_element(By.CSS_SELECTOR, ".all").text == "All lit", "the all button")
        for slot in (0, 1, 2):
            prompt = pagekit.card(driver, slot).find_element(By.CSS_SELECTOR, ".prompt")
            check(prompt.is_displayed() and "question above" in prompt.text, "slot %d points to the gang card" % slot)
            check(not prompt.find_element(By.CSS_SELECTOR, ".yes").is_enabled(), "slot %d has no answer of its own" % slot)
        size = wait(driver, "B's toggle", lambda: tile(card, 1).size, 5)
        check(size["height"] >= 90 and size["width"] >= 150, "a toggle a finger hits: %r" % size)
        # The scanner: the card's field has the focus; a label not in the
        # question is refused; "b1" (any case) toggles B; "3" (its number)
        # toggles C; tapped, C is lit again.
        scan = driver.switch_to.active_element
        check("scan" in (scan.get_attribute("class") or ""), "the card's field has the focus")
        scan.send_keys("Z9" + Keys.ENTER)
        wait(driver, "the typo refused", lambda: "not in this question" in
             card.find_element(By.CSS_SELECTOR, ".scan-error").text, 10)
        wait(driver, "none toggled", lambda: [tile(card, s).get_attribute("data-state") for s in (0, 1, 2)] ==
             ["yes", "yes", "yes"], 5)
        scan.send_keys("b1" + Keys.ENTER)
        scan.send_keys("3" + Keys.ENTER)
        wait(driver, "B and C dark", lambda: [tile(card, s).get_attribute("data-state") for s in (0, 1, 2)] ==
             ["yes", "no", "no"], 10)
        check(card.find_element(By.CSS_SELECTOR, ".scan-error").text == "", "the error goes")
        wait(driver, "C tapped", lambda: tile(card, 2).click() or True, 5)
        wait(driver, "C lit again", lambda: tile(card, 2).get_attribute("data-state") == "yes", 10)
        check(card.find_element(By.CSS_SELECTOR, ".confirm").text == "Confirm: 1 dark", "the confirm button counts")
        pagekit.screenshot(driver, BUILD, "page-gang-led.png")
        # Focus came back to the field after the tap: Enter alone confirms.
        driver.switch_to.active_element.send_keys(Keys.ENTER)
        wait(driver, "the gang card to go", lambda: not driver.find_elements(By.CSS_SELECTOR, "#gangs .gang"), 10)
        wait(driver, "B fails, A and C pass", lambda: [pagekit.state(driver, s) for s in (0, 1, 2)] ==
             ["pass", "fail", "pass"], 10)
        failures = pagekit.card(driver, 1).find_element(By.CSS_SELECTOR, ".failures").text
        check(failures == "failed: led-power", "B's card names the LED: " + failures)
    finally:
        driver.quit()
        station.stop()


def test_actions_need_the_token_when_one_is_set():
    work = pagekit.workdir(BUILD, "token")
    station = start_station(work, token="line-4-secret")
    driver = pagekit.chrome()
    try:
        status, reply = pagekit.post(station.url + "api/slots/0/start")
        check(status == 401, "a start without the token is refused: %s %s" % (status, reply))
        status, reply = pagekit.post(station.url + "api/slots/0/start", token="wrong")
        check(status == 403, "a wrong token is refused: %s" % status)
        check(pagekit.get_json(station.url + "api/slots")["slots"][0]["state"] == "idle", "nothing started")
        # On the page: the refused start asks for the token, then goes.
        driver.get(station.url)
        wait(driver, "the cards", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2)
        pagekit.card(driver, 0).find_element(By.CSS_SELECTOR, ".start").click()
        wait(driver, "the token form", lambda: driver.find_element(By.ID, "token-form").is_displayed())
        check(pagekit.state(driver, 0) == "idle", "refused: still idle")
        driver.find_element(By.ID, "token").send_keys("line-4-secret")
        driver.find_element(By.CSS_SELECTOR, "#token-form button").click()
        wait(driver, "the start to go with the token", lambda: pagekit.state(driver, 0) == "running")
        status, _ = pagekit.post(station.url + "api/stop", token="line-4-secret")
        check(status == 202, "a stop with the token goes")
        log("token refused without it, accepted with it")
    finally:
        driver.quit()
        station.stop()


if __name__ == "__main__":
    pagekit.main({
        "two_slots_answered_on_the_page": test_two_slots_answered_on_the_page,
        "a_gang_answered_on_one_card": test_a_gang_answered_on_one_card,
        "actions_need_the_token_when_one_is_set": test_actions_need_the_token_when_one_is_set,
    })

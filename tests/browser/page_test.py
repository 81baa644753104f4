"""The station page in headless Chromium against a scripted station (no
gateway): cards, prompts answered by touch, pass and fail, the token."""

import os

import pagekit
from pagekit import By, check, log, wait

BUILD = os.environ["GWTEST_BUILD_DIR"]
FAKE = os.environ["GWTEST_FAKE_STATION"]


def start_station(work, token=None):
    argv = [FAKE, "--listen", "127.0.0.1:0", "--slots", "2"]
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
        # A reload gets the same cards from the snapshot.
        driver.refresh()
        wait(driver, "the cards again", lambda: len(driver.find_elements(By.CSS_SELECTOR, ".card")) == 2 and
             pagekit.state(driver, 0) == "fail" and pagekit.state(driver, 1) == "pass")
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
        "actions_need_the_token_when_one_is_set": test_actions_need_the_token_when_one_is_set,
    })

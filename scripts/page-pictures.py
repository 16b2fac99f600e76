#!/usr/bin/python3
"""The pictures of the front-desk page in docs/at-the-desk.md, taken from the
real page of a real agent: `tavocard serve` on the stand-in encoder and a
scratch SQLite hotel with a few cards issued beforehand, worked in Debian's
headless Chromium by the driver of the page test (tests/agent/agent_test.py).
Not a stage of ./run test: run it by hand when the page changes, and commit
the pictures it writes.

    scripts/page-pictures.py BUILD_FOLDER    writes docs/images/page-board.png,
        page-issue.png and page-issued.png in an English (en-GB) browser, and the
        same three in docs/images/zh-CN/ in a Chinese (zh-CN) one
    (needs chromium, chromium-l10n for the zh-CN date and time fields,
    python3-websocket and fonts-noto-cjk)
"""
import base64, datetime, json, os, shutil, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else sys.exit(__doc__))
OUT = os.path.join(ROOT, "docs", "images")
sys.argv[1:] = [os.path.join(BUILD, "bin", "tavocard")]
sys.path.insert(0, os.path.join(ROOT, "tests", "agent"))
import agent_test as t  # noqa: E402  (reads the tavocard path from sys.argv at import)

# A copy of the component's folder: `hotel init` points the Tavoper.ini beside
# the library at the scratch hotel, and the build's own stays as it is.
shutil.copytree(os.path.join(BUILD, "lib"), t.WORK + "/lib", symlinks=True)
t.ENV["LD_LIBRARY_PATH"] = t.WORK + "/lib"


def run(*args):
    r = t.tavocard(*args)
    if r.returncode != 0:
        sys.exit(f"tavocard {' '.join(args)}: {r.stdout}{r.stderr}")


def stay(first, last):
    """From 14:00 `first` days from today (now for today) to 12:00 `last` days from today."""
    day = lambda n: datetime.datetime.now() + datetime.timedelta(days=n)
    return ["--begin", day(first).strftime("%Y%m%d%H%M" if first == 0 else "%Y%m%d1400"),
            "--end", day(last).strftime("%Y%m%d1200")]


def shoot(b, name):
    """What the clerk sees at 1024x768."""
    os.makedirs(os.path.dirname(f"{OUT}/{name}.png"), exist_ok=True)
    with open(f"{OUT}/{name}.png", "wb") as f:
        f.write(base64.b64decode(b.send("Page.captureScreenshot", format="png")["data"]))
    print(f"{OUT}/{name}.png")


def pictures(agent, locale, folder, room, typed, holder):
    """The board, the form filled in for `room` and the card issued, in a
    fresh browser whose language and locale are `locale`: the page picks its
    language from the browser, and the date and time fields show as that
    browser shows them. `typed` is what the clerk types for `room`."""
    b = t.Browser(lang=locale)
    try:
        b.send("Emulation.setLocaleOverride", locale=locale)
        b.send("Emulation.setUserAgentOverride", userAgent="Mozilla/5.0",
               acceptLanguage=f"{locale},{locale.split('-')[0]}")
        b.screen(1024, 768)
        b.send("Page.navigate", url=f"http://127.0.0.1:{agent.port}/")
        b.wait_for("document.readyState === 'complete' && !document.getElementById('token-form').hidden")
        want = "zh-CN" if locale.startswith("zh") else "en"
        if b.evaluate("document.documentElement.lang") != want:
            sys.exit(f"the page did not pick {want} from a {locale} browser")
        b.click("#token"), b.type(agent.token), b.key("Enter")
        if not b.wait_for("document.querySelectorAll('#board .tile.occupied').length >= 6"):
            sys.exit("the board did not show the occupied rooms")
        shoot(b, folder + "page-board")

        # A name in Chinese comes as an input method gives it: whole.
        b.click("#room"), b.type(typed), b.key("Tab"), b.send("Input.insertText", text=holder)
        b.wait_for(f"document.getElementById('holder').value === {json.dumps(holder)}")
        shoot(b, folder + "page-issue")
        b.key("Enter")
        if not b.wait_for("document.getElementById('cardno')?.textContent.match(/\\d{8}/)"):
            sys.exit("no card was issued: " + str(b.evaluate("answer.innerText")))
        b.wait_for(f"document.querySelector(\"#board .tile[data-room='{room}']\").classList.contains('occupied')")
        shoot(b, folder + "page-issued")
        # The page's first look at whether this browser is signed in is a 401 as meant.
        errors = [e for e in t.failures + b.errors
                  if not e.endswith("/favicon.ico") and "401 (Unauthorized)" not in e]
        if errors:
            sys.exit(f"the page went wrong: {errors}")
    finally:
        b.close()


def main():
    run("hotel", "init", t.DB, "--force", "--rooms", "1:1:0101-0112,1:2:0201-0212,1:3:0301-0312")
    for room, holder, first, last in [("0102", "Maria Rossi", -1, 2), ("0107", "Chen Jie", 0, 2),
                                      ("0110", "王芳", -2, 2), ("0205", "Tom Becker", 0, 1),
                                      ("0211", "Yuki Tanaka", -1, 1), ("0303", "刘洋", 0, 5)]:
        run("encoder", "insert")
        run("issue", "--building", "1", "--floor", room[1], "--room", room, "--name", holder, *stay(first, last))
    run("encoder", "insert")
    agent = t.Agent()
    os.makedirs(OUT, exist_ok=True)
    try:
        pictures(agent, "en-GB", "", "0203", "203", "Li Wei")
        run("encoder", "insert")
        pictures(agent, "zh-CN", "zh-CN/", "0204", "204", "王伟")
    finally:
        agent.stop()


try:
    main()
finally:
    shutil.rmtree(t.WORK, ignore_errors=True)

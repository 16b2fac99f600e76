#!/usr/bin/python3
"""The pictures of the front-desk page in docs/at-the-desk.md, taken from the
real page of a real agent: `tavocard serve` on the stand-in encoder and a
scratch SQLite hotel with a few cards issued beforehand, worked in Debian's
headless Chromium by the driver of the page test (tests/agent/agent_test.py).
Not a stage of ./run test: run it by hand when the page changes, and commit
the pictures it writes.

    scripts/page-pictures.py BUILD_FOLDER    writes docs/images/page-board.png,
        page-issue.png, page-issued.png and page-zh.png
    (needs chromium, python3-websocket and fonts-noto-cjk)
"""
import base64, datetime, os, shutil, sys

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
    with open(f"{OUT}/{name}.png", "wb") as f:
        f.write(base64.b64decode(b.send("Page.captureScreenshot", format="png")["data"]))
    print(f"{OUT}/{name}.png")


def main():
    run("hotel", "init", t.DB, "--force", "--rooms", "1:1:0101-0112,1:2:0201-0212,1:3:0301-0312")
    for room, holder, first, last in [("0102", "Maria Rossi", -1, 2), ("0107", "Chen Jie", 0, 2),
                                      ("0110", "王芳", -2, 2), ("0205", "Tom Becker", 0, 1),
                                      ("0211", "Yuki Tanaka", -1, 1), ("0303", "刘洋", 0, 5)]:
        run("encoder", "insert")
        run("issue", "--building", "1", "--floor", room[1], "--room", room, "--name", holder, *stay(first, last))
    run("encoder", "insert")
    agent = t.Agent()
    b = t.Browser()
    os.makedirs(OUT, exist_ok=True)
    try:
        b.send("Emulation.setUserAgentOverride", userAgent="Mozilla/5.0", acceptLanguage="en")
        b.screen(1024, 768)
        b.send("Page.navigate", url=f"http://127.0.0.1:{agent.port}/")
        b.wait_for("document.readyState === 'complete' && !document.getElementById('token-form').hidden")
        b.click("#token"), b.type(agent.token), b.key("Enter")
        if not b.wait_for("document.querySelectorAll('#board .tile.occupied').length === 6"):
            sys.exit("the board did not show the six occupied rooms")
        shoot(b, "page-board")

        b.click("#room"), b.type("203"), b.key("Tab"), b.type("Li Wei")
        b.wait_for("document.getElementById('holder').value === 'Li Wei'")
        shoot(b, "page-issue")
        b.key("Enter")
        if not b.wait_for("document.getElementById('cardno')?.textContent.match(/\\d{8}/)"):
            sys.exit("no card was issued: " + str(b.evaluate("answer.innerText")))
        b.wait_for("document.querySelector(\"#board .tile[data-room='0203']\").classList.contains('occupied')")
        shoot(b, "page-issued")

        b.click("button[data-lang=zh]")
        b.wait_for("document.documentElement.lang === 'zh-CN'")
        shoot(b, "page-zh")
        # The page's first look at whether this browser is signed in is a 401 as meant.
        errors = [e for e in t.failures + b.errors
                  if not e.endswith("/favicon.ico") and "401 (Unauthorized)" not in e]
        if errors:
            sys.exit(f"the page went wrong: {errors}")
    finally:
        b.close()
        agent.stop()


try:
    main()
finally:
    shutil.rmtree(t.WORK, ignore_errors=True)

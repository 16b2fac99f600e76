#!/usr/bin/env python3
"""The front-desk agent through a real HTTP client, against the running
`tavocard serve` on the stand-in encoder and a real SQLite hotel database.

    agent_test.py TAVOCARD routes   every route, result codes, token, CORS,
                                    bad bodies, 413, 503, clean stop, and
                                    every answer against the OpenAPI document
    agent_test.py TAVOCARD load     8 clients issuing 50 cards each at once
    agent_test.py TAVOCARD page [FOLDER]  the page at / in headless Chromium,
                                    as a clerk uses it, with an accessibility
                                    audit; screenshots of both languages into
                                    FOLDER (needs chromium, python3-websocket
                                    and axe-core's axe.min.js in HOLVANTER_AXE)
"""
import base64, datetime, fcntl, hashlib, http.client, json, os, re, resource, shutil, signal, socket, sqlite3, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from stays import moment, stamp

TAVOCARD = os.path.abspath(sys.argv[1])
WORK = tempfile.mkdtemp(prefix="holvanter-agent-")
# The card on the stand-in encoder and Tavoper.ini are the test's own.
ENV = dict(os.environ, LYCOMM_SIM_DIR=WORK + "/encoder", HOLVANTER_SETTINGS_FOLDER=WORK,
           LD_LIBRARY_PATH="")
DB = WORK + "/hotel.db"
# A live stay: begun yesterday, ending the day after tomorrow.
STAY = {"begin": stamp(-1, "1400"), "end": stamp(2, "1200"), "building": 1, "floor": 2}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL", what)


def tavocard(*args):
    return subprocess.run([TAVOCARD, *args], env=ENV, capture_output=True, text=True, timeout=60)


def card_file_hex():
    with open(WORK + "/encoder/port1.card", "rb") as f:
        return f.read()[4:].hex().upper()


class Agent:
    """One `tavocard serve` on a free loopback port."""
    started = []  # stopped at the end whatever happened, so a failure ends the test

    def __init__(self, *flags, env=None, descriptors=None):
        started = time.monotonic()
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, descriptors))
        self.proc = subprocess.Popen(
            [TAVOCARD, "serve", "--listen-port", "0", "--token-file", WORK + "/token", *flags],
            env=dict(ENV, **(env or {})), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            preexec_fn=limit if descriptors else None)
        self.lines = []
        for line in self.proc.stdout:
            self.lines.append(line)
            m = re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line)
            if m:
                self.port = int(m.group(1))
                break
        else:
            raise SystemExit("the agent did not start:\n" + "".join(self.lines))
        Agent.started.append(self)
        self.start_seconds = time.monotonic() - started
        self.token = open(WORK + "/token").read().strip()
        self.reader = threading.Thread(target=lambda: self.lines.extend(self.proc.stdout))
        self.reader.start()

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        status = self.proc.wait(timeout=30)
        self.reader.join()
        return status


# ---------------------------------------------------------------- the API document
class Contract:
    """Every answer is checked against the agent's own OpenAPI document: its
    status is documented for the operation, and its body has the required
    fields of the documented schema, of the documented types."""

    def __init__(self, doc):
        self.doc, self.seen, self.codes = doc, set(), set()

    def deref(self, node):
        while isinstance(node, dict) and "$ref" in node:
            target = self.doc
            for part in node["$ref"].split("/")[1:]:
                target = target[part]
            node = target
        return node

    def conforms(self, schema, value, where):
        schema = self.deref(schema)
        if value is None:
            return schema.get("nullable", False) or f"{where} is null"
        kind = schema.get("type")
        types = {"object": dict, "array": list, "string": str, "boolean": bool, "integer": int}
        if kind in types and (not isinstance(value, types[kind]) or
                              (kind == "integer" and isinstance(value, bool))):
            return f"{where} is not {kind}"
        if kind == "object":
            for name in schema.get("required", []):
                if name not in value:
                    return f"{where} lacks {name}"
            for name, sub in schema.get("properties", {}).items():
                if name in value and (r := self.conforms(sub, value[name], f"{where}.{name}")) is not True:
                    return r
        if kind == "array" and "items" in schema:
            for i, item in enumerate(value):
                if (r := self.conforms(schema["items"], item, f"{where}[{i}]")) is not True:
                    return r
        return True

    def check(self, method, path, status, body):
        # Every answer that is not 2xx is an error object a program can switch on.
        if status >= 400 and status != 421:
            error = body.get("error") if isinstance(body, dict) else None
            check(isinstance(error, dict) and isinstance(error.get("code"), str) and
                  re.fullmatch(r"[a-z0-9_]+", error["code"]) and isinstance(error.get("message"), str),
                  f"{method} {path} {status}: no error object: {body}")
            if isinstance(error, dict):
                self.codes.add(error.get("code"))
        path = self.documented(path)
        op = self.doc["paths"].get(path, {}).get(method.lower())
        if op is None:
            check(status in (404, 405), f"{method} {path}: undocumented route answered {status}")
            return
        self.seen.add((method.lower(), path))
        response = op["responses"].get(str(status))
        check(response is not None, f"{method} {path}: status {status} is not documented")
        if response is None:
            return
        schema = self.deref(response).get("content", {}).get("application/json", {}).get("schema")
        if schema is not None:
            r = self.conforms(schema, body, "body")
            check(r is True, f"{method} {path} {status}: {r}")

    def documented(self, path):
        """The document's path for `path`: itself, or one whose last segment is a {name}."""
        if path in self.doc["paths"]:
            return path
        for pattern in self.doc["paths"]:
            head, _, last = pattern.rpartition("/")
            if last.startswith("{") and path.startswith(head + "/") and "/" not in path[len(head) + 1:] \
                    and len(path) > len(head) + 1:
                return pattern
        return path

    def unexercised(self):
        return {(m, p) for p, ops in self.doc["paths"].items() for m in ops if m != "options"} - self.seen

    def without_examples(self):
        """Every documented response of every route shows an example."""
        missing = []
        for path, ops in self.doc["paths"].items():
            for method, op in ops.items():
                for status, response in op["responses"].items():
                    content = self.deref(response).get("content", {})
                    if content and not any("example" in m or "examples" in m for m in content.values()):
                        missing.append(f"{method} {path} {status}")
        return missing

    def documented_codes(self):
        return set(self.doc["components"]["schemas"]["ErrorObject"]["properties"]["code"]["enum"])


contract = None


def call(agent, method, path, body=None, token=True, headers=None, raw=None):
    c = http.client.HTTPConnection("127.0.0.1", agent.port, timeout=60)
    h = dict(headers or {})
    if token:
        h["Authorization"] = "Bearer " + (agent.token if token is True else token)
    data = raw if raw is not None else (json.dumps(body) if body is not None else None)
    if data is not None:
        h["Content-Type"] = "application/json"
    c.request(method, path, body=data, headers=h)
    r = c.getresponse()
    text = r.read().decode()
    c.close()
    answer = json.loads(text) if r.getheader("Content-Type", "").startswith("application/json") and text else text
    if contract is not None:
        contract.check(method, path.split("?")[0], r.status, answer)
    return r.status, {k.lower(): v for k, v in r.getheaders()}, answer


def issue(agent, room="0203", holder="Li Wei", **stay):
    return call(agent, "POST", "/v1/cards/guest", dict(STAY, room=room, holder=holder, **stay))


def cut_by_the_component(room, holder, begin, end):
    """A guest card of building 1, floor 2 cut through the C face, which keeps
    the component's own rules: it cuts a stay that has ended, which the
    front desk refuses. The card number in record form."""
    lib = os.path.join(os.path.dirname(TAVOCARD), "..", "lib", "libholvanter.so")
    code = f"""if True:
        import ctypes
        lib = ctypes.CDLL({lib!r})
        card, result, result16 = ctypes.c_void_p(), ctypes.c_int32(), ctypes.c_int16()
        no = ctypes.create_string_buffer(64)
        assert lib.tavo_card_create(ctypes.byref(card)) == 0
        assert lib.tavo_open_port(card, 0, None, ctypes.byref(result)) == 0 and result.value == 1
        assert lib.tavo_write_card(card, 0, b"{begin}", b"{end}", no, 1, 2, b"{room}", b"{holder}",
                                   ctypes.byref(result16)) == 0 and result16.value == 0
        lib.tavo_close_port(card, None, ctypes.byref(result))
        print("%08d" % int(no.value, 16))"""
    env = dict(ENV)
    if "ASAN_OPTIONS" in os.environ:
        # A sanitizer build's library takes its runtime from the program that
        # loads it: here Python, which is not built with one.
        runtime = subprocess.run(["clang-14", "-print-file-name=libclang_rt.asan-x86_64.so"],
                                 capture_output=True, text=True).stdout.strip()
        env.update(LD_PRELOAD=runtime, ASAN_OPTIONS="detect_leaks=0")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    return done.stdout.strip() if done.returncode == 0 else done.stderr


# ---------------------------------------------------------------- routes
def routes():
    global contract
    agent = Agent("--origin", "https://pms.hotel.lan", "--queue-wait", "0.5")
    check(agent.start_seconds < 1.0, f"start took {agent.start_seconds:.2f} s")
    check(oct(os.stat(WORK + "/token").st_mode & 0o777) == "0o600", "token file not owner-only")
    check(len(agent.token) == 32 and any(agent.token in l and WORK + "/token" in l for l in agent.lines),
          "the token (128 bits) is printed when it is made, with where it is kept")
    # A connection left idle is closed after 15 s: a row of the listener's
    # table (http_connection_test), on a test clock.
    status, _, doc = call(agent, "GET", "/v1/openapi.json", token=False)
    contract = Contract(doc)
    contract.check("GET", "/v1/openapi.json", status, doc)
    check(doc["openapi"].startswith("3."), "an OpenAPI 3 document")

    status, _, health = call(agent, "GET", "/v1/health", token=False)
    check(status == 200 and health["encoder"]["open"] and health["database"]["reachable"],
          f"health: {health}")
    # The database check is kept (for 5 s: a row of the health cache's
    # table, on a test clock): health asked often opens no connection each
    # time.
    os.rename(DB, DB + ".away")
    kept = call(agent, "GET", "/v1/health", token=False)[2]["database"]["reachable"]
    os.rename(DB + ".away", DB)
    check(kept, "the database check is kept")

    status, headers, page = call(agent, "GET", "/", token=False)
    check(status == 200 and "<form" in page, "the page at /")
    # The page's policy: nothing from elsewhere, in no frame, and of what is
    # inline only the page's own <script> and <style> elements, by hash.
    policy = dict((d.strip().split(" ", 1) + [""])[:2] for d in headers["content-security-policy"].split(";"))
    check(policy["default-src"] == "'self'" and policy["frame-ancestors"] == "'none'" and
          headers["x-frame-options"] == "DENY" and "unsafe-inline" not in str(policy), f"policy {policy}")
    for tag, directive in [("script", "script-src"), ("style", "style-src")]:
        for attributes, text in re.findall(rf"<{tag}([^>]*)>(.*?)</{tag}>", page, re.S):
            digest = base64.b64encode(hashlib.sha256(text.encode()).digest()).decode()
            check(" src=" in attributes or f"'sha256-{digest}'" in policy.get(directive, ""),
                  f"an inline {tag} the policy refuses: {policy}")
    # Every file the page names is served, with the type it is; a file the page
    # lacks is 404. The page's script modules name each other.
    names = set(re.findall(r'(?:src|href)="(/page/[^"]+)"', page))
    check(names, "the page names its files")
    for name in sorted(names):
        status, headers, text = call(agent, "GET", name, token=False)
        names |= set("/page/" + m for m in re.findall(r'from "\./([^"]+)"', text if status == 200 else ""))
    for name in sorted(names):
        status, headers, _ = call(agent, "GET", name, token=False)
        check(status == 200 and headers["content-type"].startswith(
            "text/css" if name.endswith(".css") else "text/javascript"), f"{name}: {status} {headers}")
    for name in ("/page/none.js", "/page.js", "/page/", "/page/a/b.js"):
        check(call(agent, "GET", name, token=False)[0] == 404, f"{name}: not 404")

    # The Host header names the agent, or the answer is 421 and nothing else:
    # a page whose name a rebinding DNS answer points here learns nothing.
    for host, want in [(f"127.0.0.1:{agent.port}", 200), (f"LocalHost:{agent.port}", 200),
                       (f"[::1]:{agent.port}", 200), (f"evil.example:{agent.port}", 421),
                       (f"127.0.0.1:{agent.port + 1}", 421), ("127.0.0.1", 421), ("", 421)]:
        for path in ("/", "/v1/health", "/v1/cards?limit=1"):
            status, headers, body = call(agent, "GET", path,
                                         headers={"Host": host, "Origin": "https://pms.hotel.lan"})
            check(status == want and (want == 200 or (len(body) < 40 and headers["connection"] == "close"
                                                      and not any(h.startswith("access-control") for h in headers))),
                  f"Host {host!r} {path}: {status} {headers}")

    # A guest card: issue, read back, its image decoded, check-out.
    tavocard("encoder", "insert")
    status, _, guest = issue(agent)
    check(status == 200 and guest["result"] == 0 and re.fullmatch(r"\d{8}", guest["card_no"] or "")
          and int(guest["card_no"]) == int(guest["card_no_hex"], 16), f"guest issue: {guest}")
    status, _, read = call(agent, "GET", "/v1/card")
    check((read["result"], read["card_no"], read["kind"], read["rooms"], read["building"], read["floor"])
          == (0, guest["card_no"], "guest", ["0203"], 1, 2), f"read: {read}")
    status, _, decoded = call(agent, "POST", "/v1/decode", {"image": card_file_hex()})
    command = json.loads(tavocard("decode", card_file_hex(), "--json").stdout)
    check(decoded == command and decoded["card_no"] == guest["card_no"] and
          decoded["system_code"] == "TAVO1", f"decode: {decoded} / {command}")
    status, _, out = call(agent, "POST", "/v1/card/checkout")
    check(out["result"] == 0 and out["card_no"] == guest["card_no"], f"check-out: {out}")
    status, _, blank = call(agent, "GET", "/v1/card")
    check(blank["result"] == -700 and blank["card_no"] is None, f"a blank card reads -700: {blank}")
    # The clerk's words come with the answer, in both languages; the read
    # before a check-out speaks of the check-out.
    status, _, before_checkout = call(agent, "GET", "/v1/card?for=checkout")
    check(blank["clerk"]["en"].startswith("No guest card on the encoder") and
          before_checkout["result"] == -700 and before_checkout["command"] == "read" and
          before_checkout["clerk"] == {"en": "Nothing to check out: the card on the encoder is blank or erased",
                                       "zh": "没有可退的房：发卡器上的卡是空白卡或已注销"},
          f"the clerk's words: {blank.get('clerk')} / {before_checkout.get('clerk')}")
    status, _, wrong = call(agent, "GET", "/v1/card?for=issue")
    check(status == 400 and wrong["error"]["field"] == "for", f"for=issue: {status} {wrong}")

    status, _, villa = call(agent, "POST", "/v1/cards/villa",
                            dict(STAY, rooms=["0204", "0205"], holder="Zhang Min"))
    status, _, read = call(agent, "GET", "/v1/card")
    check(villa["result"] == 0 and (read["card_no"], read["kind"], read["rooms"]) ==
          (villa["card_no"], "villa", ["0204", "0205"]), f"villa: {villa} / {read}")
    status, _, listed = call(agent, "GET", "/v1/cards?limit=2")
    check([c["card_no"] for c in listed["cards"]] == [villa["card_no"], guest["card_no"]],
          f"newest cards: {listed}")
    tavocard("encoder", "insert")
    status, _, chinese = issue(agent, room="0206", holder="李伟 Li")

    # The room board: each room's newest card that is not checked out, a
    # villa card for both its rooms; every RoomList row once.
    status, _, board = call(agent, "GET", "/v1/rooms")
    rooms = {r["room"]: r for r in board["rooms"]}
    check(len(board["rooms"]) == len(rooms) == 40 and rooms["0203"]["newest"] is None and
          all(rooms[r]["newest"] == {"card_no": villa["card_no"], "holder": "Zhang Min",
                                     "end": STAY["end"]} and rooms[r]["state"] == "1" and
              rooms[r]["cards"] == 1 for r in ("0204", "0205")) and
          rooms["0206"]["newest"]["holder"] == "李伟 Li", f"rooms: {rooms}")
    # The filters: a room exactly, a part of the holder (decoded UTF-8, ASCII
    # case aside, wildcards literal); a value that is no text is refused.
    for query, want in [("room=0205", [villa]), ("room=020", []), ("holder=ZHANG", [villa]),
                        ("holder=%E4%BC%9F", [chinese]), ("holder=li&room=0206", [chinese]),
                        ("holder=Zhang+Min", [villa]), ("holder=%25", []),
                        ("holder=%ZZ", 400), ("holder=%FF", 400), ("room=%00", 400)]:
        status, _, answer = call(agent, "GET", "/v1/cards?" + query)
        got = status if status != 200 else [c["card_no"] for c in answer["cards"]]
        check(got == (want if want == 400 else [c["card_no"] for c in want]), f"{query}: {answer}")
    check(call(agent, "GET", "/v1/settings")[2] == {"checkin_time": "14:00", "checkout_time": "12:00"},
          "the hotel's hours by default")

    # Result codes passed through: a refused stay, no card on the encoder.
    # Refusals are not 200: 422 with the result code and its name.
    status, _, refused = issue(agent, begin=stamp()[:4] + "13071400")
    check(status == 422 and refused["error"]["code"] == "bad_begin" and refused["error"]["result"] == -851,
          f"a 13th month gives 422 bad_begin: {status} {refused}")
    status, _, refused = issue(agent, begin=stamp(3, "1400"))
    check(status == 422 and refused["error"]["code"] == "bad_end" and refused["result"] == -852,
          f"a stay ending before it begins: {status} {refused}")
    tavocard("encoder", "remove")
    status, _, unread = call(agent, "GET", "/v1/card")
    check(status == 502 and unread["error"]["code"] == "read_failed" and unread["result"] == -128,
          f"no card on the encoder reads -128 as 502: {status} {unread}")
    tavocard("encoder", "insert")
    status, _, blank = call(agent, "POST", "/v1/card/checkout")
    check(status == 409 and blank["error"] == {"code": "no_card", "result": -700,
                                                "message": blank["error"]["message"]},
          f"checking out a blank card: {status} {blank}")
    idempotency(agent)
    live_cards(agent)
    unknown_rooms(agent)
    paging(agent)

    # Who may call: every card route needs the token.
    for method, path, body in [("POST", "/v1/cards/guest", dict(STAY, room="0203", holder="x")),
                               ("POST", "/v1/cards/villa", {}), ("GET", "/v1/card", None),
                               ("POST", "/v1/card/checkout", None), ("GET", "/v1/cards", None),
                               ("GET", "/v1/rooms", None), ("GET", "/v1/settings", None),
                               ("POST", "/v1/decode", {"image": "FF" * 28})]:
        for token in (False, "0" * 32):
            status, headers, _ = call(agent, method, path, body, token=token)
            check(status == 401, f"{method} {path} with token {token!r}: {status}")

    # The page's cookie: given for the token, for this site, 30 days; it
    # counts only beside the page's own header.
    status, headers, _ = call(agent, "POST", "/v1/session")
    attrs = [a.strip() for a in headers.get("set-cookie", "").split(";")]
    check(status == 204 and attrs[0].startswith("holvanter_page=") and agent.token not in attrs[0] and
          {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=2592000"} <= set(attrs[1:]),
          f"the page's cookie: {status} {attrs}")
    jar, page_header = {"Cookie": "theme=dark; " + attrs[0]}, {"X-Holvanter-Page": "1"}
    for cookie, header, want in [(jar, page_header, 200), (jar, {}, 401),
                                 ({"Cookie": "holvanter_page=" + "0" * 64}, page_header, 401), ({}, page_header, 401)]:
        status = call(agent, "GET", "/v1/card", token=False, headers={**cookie, **header})[0]
        check((status == 401) == (want == 401), f"cookie {cookie} header {header}: {status}")

    # Bad bodies: 400 with the field named; 413 for a large one.
    for path, body, field in [
            ("/v1/cards/guest", '{"room": "0203",', "not JSON"),
            ("/v1/cards/guest", "[1, 2]", "JSON object"),
            ("/v1/cards/guest", dict(STAY, room="0203"), "'holder'"),
            ("/v1/cards/guest", dict(STAY, room="0203", holder="x", pin=1), "'pin'"),
            ("/v1/cards/guest", dict(STAY, room=203, holder="x"), "'room'"),
            ("/v1/cards/guest", dict(STAY, room="0203", holder="x", building="1"), "'building'"),
            ("/v1/cards/guest", dict(STAY, room="0203", holder="x", floor=40000), "'floor'"),
            ("/v1/cards/guest", dict(STAY, room="0000", holder="x"), "'room'"),
            ("/v1/cards/guest", dict(STAY, room="", holder="x"), "'room'"),
            ("/v1/cards/guest", dict(STAY, room="02x3", holder="x"), "'room'"),
            ("/v1/cards/guest", dict(STAY, room="0203", holder="x", begin="2026\n"), "'begin'"),
            ("/v1/cards/villa", dict(STAY, rooms=["0000", "0000"], holder="x"), "'rooms'"),
            ("/v1/cards/villa", dict(STAY, rooms="02040205", holder="x"), "'rooms'"),
            ("/v1/card/checkout", {"card": "1"}, "'card'"),
            ("/v1/decode", {"image": "1B"}, "'image'"),
            ("/v1/decode", {"image": "ZZ" * 28}, "'image'")]:
        raw = body if isinstance(body, str) else None
        status, _, answer = call(agent, "POST", path, None if raw else body, raw=raw)
        error = answer.get("error", {}) if isinstance(answer, dict) else {}
        code = ("bad_json" if field in ("not JSON", "JSON object") else "unknown_field"
                if field in ("'pin'", "'card'") else "missing_field" if field == "'holder'" else "invalid_field")
        check(status == 400 and field in error.get("message", "") and error.get("code") == code and
              (code == "bad_json" or error.get("field") == field.strip("'")),
              f"{path} {body}: {status} {answer}")
    check("parse_error" not in call(agent, "POST", "/v1/cards/guest", raw="{")[2]["error"]["message"],
          "a bad JSON body is told in words, not the parser's exception")
    status, _, answer = call(agent, "GET", "/v1/cards?limit=0")
    check(status == 400 and answer["error"]["field"] == "limit" and
          answer["error"]["code"] == "invalid_parameter", f"limit=0: {answer}")
    # The image as a dump prints it: bytes apart, in lines.
    spaced = " ".join(card_file_hex()[i:i + 2] for i in range(0, 56, 2))
    status, _, decoded = call(agent, "POST", "/v1/decode", {"image": spaced[:41] + "\n" + spaced[41:] + "\r\n"})
    check(status == 200 and decoded["card_no"], f"decode with blanks and line breaks: {status} {decoded}")
    status, _, _ = call(agent, "POST", "/v1/cards/guest", raw='{"holder": "' + "x" * 65536 + '"}')
    check(status == 413, f"a 64 KiB body: {status}")
    status, _, answer = call(agent, "GET", "/v1/nothing")
    check(status == 404 and answer["error"]["code"] == "not_found", f"an unknown route is 404: {answer}")
    status, _, answer = call(agent, "DELETE", "/v1/cards")
    check(status == 405 and answer["error"]["code"] == "method_not_allowed", f"a wrong method is 405: {answer}")

    # CORS: the listed origin only, preflight included.
    for origin, listed_origin in [("https://pms.hotel.lan", True), ("https://evil.example", False)]:
        _, headers, _ = call(agent, "GET", "/v1/health", token=False, headers={"Origin": origin})
        check(("access-control-allow-origin" in headers) == listed_origin, f"CORS for {origin}")
        status, headers, _ = call(agent, "OPTIONS", "/v1/cards/guest", token=False, headers={
            "Origin": origin, "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "authorization, content-type"})
        check((status == 204) == listed_origin and
              (headers.get("access-control-allow-origin") == origin) == listed_origin and
              ("authorization" in headers.get("access-control-allow-headers", "").lower()) == listed_origin,
              f"preflight for {origin}: {status} {headers}")

    # 1,100 idle connections of any local program under a limit of 64
    # descriptors: the agent keeps accepting, closes those idle longest for
    # new ones, and still issues a card and answers health.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    crowded = Agent(descriptors=64)
    started = time.monotonic()
    tavocard("encoder", "insert")
    crowd = [socket.create_connection(("127.0.0.1", crowded.port), timeout=10) for _ in range(1100)]
    opened, started = time.monotonic() - started, time.monotonic()
    try:  # a deaf agent leaves the client waiting
        status, _, card = issue(crowded, room="0207", holder="After the crowd")
        issued = time.monotonic() - started
        status, _, health = call(crowded, "GET", "/v1/health", token=False)
    except OSError as e:
        status, card, issued = str(e), {"result": None}, time.monotonic() - started

    def closed_by_agent(s):
        s.setblocking(False)
        try:
            return s.recv(1) == b""
        except BlockingIOError:
            return False
        except ConnectionResetError:
            return True
    closed = sum(closed_by_agent(s) for s in crowd)
    for s in crowd:
        s.close()
    check(card.get("result") == 0 and status == 200 and closed >= 1100 - 32 and crowded.stop() == 0,
          f"after 1,100 idle connections: {card} {status}, {closed} closed")
    notes = [line for line in crowded.lines if "connections open" in line]
    check(1 <= len(notes) <= 2, f"the closed connections told once in 10 s, not each: {notes[:3]}")
    print(f"crowd: 1,100 idle connections opened in {opened:.2f} s; then a card issued in "
          f"{issued:.2f} s; {closed} of them closed by the agent")

    # The encoder's queue: while an issue waits for the hotel database's
    # numbering turn (held here), a second request gives up after 0.5 s
    # and does nothing.
    count = lambda: sqlite3.connect(DB).execute("SELECT COUNT(*) FROM CardRecord").fetchone()[0]
    before = count()
    first = {}
    tavocard("encoder", "insert")
    with open(DB + ".lock", "a+") as turn:
        fcntl.flock(turn, fcntl.LOCK_EX)
        t = threading.Thread(target=lambda: first.update(answer=issue(agent, holder="First")))
        t.start()
        time.sleep(0.2)
        asked = time.monotonic()
        status = call(agent, "GET", "/v1/health", token=False)[0]
        check(status == 200 and time.monotonic() - asked < 0.2, "health answers while a card waits")
        waited = time.monotonic()
        status, _, busy = issue(agent, holder="Second")
        waited = time.monotonic() - waited
        check(status == 503 and 0.25 < waited < 2 and busy["error"]["code"] == "encoder_busy",
              f"a queued request after {waited:.2f} s: {status} {busy}")
        fcntl.flock(turn, fcntl.LOCK_UN)
    t.join()
    check(first["answer"][2]["result"] == 0 and count() == before + 1,
          f"only the first issue ran: {first['answer']}, {count() - before} new rows")

    # A stop while a card is being issued finishes that issue first.
    tavocard("encoder", "insert")
    with open(DB + ".lock", "a+") as turn:
        fcntl.flock(turn, fcntl.LOCK_EX)
        t = threading.Thread(target=lambda: first.update(answer=issue(agent, holder="Last")))
        t.start()
        time.sleep(0.3)
        agent.proc.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        fcntl.flock(turn, fcntl.LOCK_UN)
    t.join()
    check(agent.proc.wait(timeout=30) == 0, "the agent exits 0 on SIGTERM")
    agent.reader.join()
    check(first["answer"][2]["result"] == 0 and count() == before + 2,
          f"the issue in progress at the stop finished: {first['answer']}")
    log = "".join(agent.lines)
    check(agent.token not in log.split("\n", 1)[1], "the log never shows the token")
    check(re.search(r"POST /v1/cards/guest 200 [\d.]+ ms card \d{8}\n", log) and
          re.search(r"GET /v1/card 401 [\d.]+ ms\n", log) and "stopping on SIGTERM" in log,
          "one log line per request with status, time and card number")

    # The encoder's failures, each through an agent of its own.
    for fail, want_open, want, meaning in [("write=5", True, 5, "write status 5"),
                                           ("open", False, -99, "did not open")]:
        tavocard("encoder", "insert")
        agent = Agent(env={"LYCOMM_SIM_FAIL": fail})
        health = call(agent, "GET", "/v1/health", token=False)[2]
        answer = issue(agent)[2]
        check(health["encoder"]["open"] == want_open and answer["result"] == want and
              meaning in answer["meaning"], f"LYCOMM_SIM_FAIL={fail}: {health} {answer}")
        agent.stop(signal.SIGINT)
    # The hotel's hours from the settings file; one that is not HH:MM stops
    # the agent before it listens.
    with open(WORK + "/agent.ini", "w") as f:
        f.write("[serve]\ncheckin-time = 15:30\ncheckout-time = 11:00\n")
    os.chmod(WORK + "/token", 0o644)
    agent = Agent("--config", WORK + "/agent.ini")
    check(os.stat(WORK + "/token").st_mode & 0o777 == 0o600, "a token file others may read is narrowed")
    hours = call(agent, "GET", "/v1/settings")[2]
    check(hours == {"checkin_time": "15:30", "checkout_time": "11:00"}, f"hours: {hours}")
    agent.stop()
    log = "".join(agent.lines)
    check(agent.token not in log and "bearer token kept in " + WORK + "/token" in log,
          f"a restart tells where the token is, never the token: {log}")
    # No state folder known: no token in whatever the working folder is.
    homeless = {k: v for k, v in ENV.items() if k not in ("HOME", "XDG_STATE_HOME")}
    refused = subprocess.run([TAVOCARD, "serve", "--listen-port", "0"], env=homeless, cwd=WORK,
                             capture_output=True, text=True, timeout=60)
    check(refused.returncode == 64 and "--token-file" in refused.stderr and
          not os.path.exists(WORK + "/.local"), f"no HOME: {refused.returncode} {refused.stderr}")
    for option, value in [("--checkout-time", "12:60"), ("--checkin-time", "1::00")]:
        refused = tavocard("serve", "--listen-port", "0", "--token-file", WORK + "/token", option, value)
        check(refused.returncode == 64 and f"{option} '{value}' is not HH:MM" in refused.stderr,
              f"{option} {value}: {refused.returncode} {refused.stderr}")
    # An old token that cannot be removed would stay valid: --new-token does not start on it.
    stuck = WORK + "/stuck-token"
    os.makedirs(stuck + "/inside", exist_ok=True)
    refused = tavocard("serve", "--listen-port", "0", "--token-file", stuck, "--new-token")
    check(refused.returncode == 3 and "cannot remove the old token" in refused.stderr,
          f"--new-token over a token it cannot remove: {refused.returncode} {refused.stderr}")
    # A new token revokes the old one and every cookie given for it.
    renewed = Agent("--new-token")
    check(renewed.token != agent.token and
          call(renewed, "GET", "/v1/settings", token=agent.token)[0] == 401 and
          call(renewed, "GET", "/v1/settings", token=False, headers={**jar, **page_header})[0] == 401 and
          call(renewed, "GET", "/v1/settings")[0] == 200, "--new-token: the old token and cookie refused")
    renewed.stop()
    missing = contract.unexercised()
    check(not missing, f"documented but not exercised: {missing}")
    check(not contract.without_examples(), f"responses without an example: {contract.without_examples()}")
    check(contract.codes <= contract.documented_codes(),
          f"error codes given but not documented: {contract.codes - contract.documented_codes()}")


def records():
    return sqlite3.connect(DB).execute("SELECT COUNT(*) FROM CardRecord").fetchone()[0]


def idempotency(agent):
    """The routes that write take an Idempotency-Key: a repeat gets the first
    answer and cuts no card; another request under the key is 422."""
    stamp = str(time.time())
    tavocard("encoder", "insert")
    key = {"Idempotency-Key": "issue-0207-" + stamp}
    body = dict(STAY, room="0207", holder="Ana Souza")
    before = records()
    first = call(agent, "POST", "/v1/cards/guest", body, headers=key)
    again = call(agent, "POST", "/v1/cards/guest", body, headers=key)
    spaced = call(agent, "POST", "/v1/cards/guest", raw=json.dumps(body, indent=2), headers=key)
    check(first[0] == 200 and "idempotent-replayed" not in first[1] and
          [again[0], again[1].get("idempotent-replayed"), again[2]] == [200, "true", first[2]] and
          spaced[2] == first[2] and records() == before + 1,
          f"a repeat with the same key and body: {first[2]} / {again[:1]} {again[2]}, {records() - before} cards")
    for path, other in [("/v1/cards/guest", dict(body, holder="Someone Else")),
                        ("/v1/cards/villa", dict(STAY, rooms=["0207", "0208"], holder="Ana Souza"))]:
        status, _, answer = call(agent, "POST", path, other, headers=key)
        check(status == 422 and answer["error"]["code"] == "idempotency_key_reused" and records() == before + 1,
              f"the key with another request at {path}: {status} {answer}")
    for bad in ("", "x" * 256, "two words"):
        status, _, answer = call(agent, "POST", "/v1/cards/guest", body, headers={"Idempotency-Key": bad})
        check(status == 400 and answer["error"]["code"] == "bad_idempotency_key" and
              answer["error"]["field"] == "Idempotency-Key", f"key {bad[:9]!r}: {status} {answer}")
    check(call(agent, "POST", "/v1/cards/guest", body,
               headers={"Idempotency-Key": "x" * 255})[0] == 409, "a key of 255 characters is taken")
    # A request refused before the encoder keeps nothing under its key.
    key = {"Idempotency-Key": "bad-body-" + stamp}
    status = call(agent, "POST", "/v1/cards/guest", dict(body, room="02x7"), headers=key)[0]
    tavocard("encoder", "insert")
    check(status == 400 and call(agent, "POST", "/v1/cards/guest", body, headers=key)[0] == 200 and
          records() == before + 2, "a key whose first request was refused is free for the next")
    # Repeats while the first still waits for the numbering turn wait for its answer.
    tavocard("encoder", "insert")
    key = {"Idempotency-Key": "concurrent-" + stamp}
    answers = []
    with open(DB + ".lock", "a+") as turn:
        fcntl.flock(turn, fcntl.LOCK_EX)
        threads = [threading.Thread(target=lambda: answers.append(
            call(agent, "POST", "/v1/cards/guest", body, headers=key))) for _ in range(3)]
        for t in threads:
            t.start()
            time.sleep(0.15)
        fcntl.flock(turn, fcntl.LOCK_UN)
    for t in threads:
        t.join()
    check(len(answers) == 3 and all(a[0] == 200 and a[2] == answers[0][2] for a in answers) and
          sorted(a[1].get("idempotent-replayed", "") for a in answers) == ["", "true", "true"] and
          records() == before + 3, f"three at once under one key: {[a[:1] for a in answers]}, "
                                   f"{records() - before - 2} cards")
    # Kept over a restart, in a file of the agent's state folder for its owner only.
    restarted = Agent()
    status, headers, answer = call(restarted, "POST", "/v1/cards/guest", body, headers=key)
    restarted.stop()
    check((status, headers.get("idempotent-replayed"), answer, records()) ==
          (200, "true", answers[0][2], before + 3), f"after a restart: {status} {answer}")
    check(os.stat(WORK + "/idempotency-keys").st_mode & 0o777 == 0o600, "the key file is owner-only")


def live_cards(agent):
    """A live card of the hotel is written over only when asked, and its
    record is then closed; the command says the same."""
    db = lambda sql, *args: sqlite3.connect(DB).execute(sql, args).fetchall()
    tavocard("encoder", "insert")
    old = issue(agent, room="0210", holder="Old Guest")[2]
    status, _, refused = issue(agent, room="0211", holder="Next Guest")
    check(status == 409 and refused["error"]["code"] == "card_in_use" and
          {k: refused["card"][k] for k in ("card_no", "rooms", "holder", "end")} ==
          {"card_no": old["card_no"], "rooms": ["0210"], "holder": "Old Guest", "end": STAY["end"]} and
          call(agent, "GET", "/v1/card")[2]["card_no"] == old["card_no"],
          f"a live card is not written over: {status} {refused}")
    status, _, new = issue(agent, room="0211", holder="Next Guest", replace=True)
    # Closed as the check-out at the desk closes it: marked, with its moment.
    marks = [db("SELECT ChkOutMark, ChkOutDate > '2000' FROM CardRecord WHERE CardNo = ?", card["card_no"])
             for card in (old, new)]
    check(status == 200 and new["replaced"]["card_no"] == old["card_no"] and
          marks[0] == [("#1", 1)] and marks[1][0][0] == "",
          f"replaced: {status} {new}; marks {marks}")
    stay = ["--begin", STAY["begin"], "--end", STAY["end"], "--building", "1", "--floor", "2",
            "--room", "0212", "--name", "Desk Guest"]
    refused = tavocard("issue", *stay)
    check(refused.returncode == 1 and new["card_no"] in refused.stderr and "in use" in refused.stderr,
          f"the command refuses too: {refused.returncode} {refused.stderr}")
    replaced = tavocard("issue", *stay, "--replace", "--json")
    answer = json.loads(replaced.stdout or "{}")
    check(replaced.returncode == 0 and answer.get("replaced", {}).get("card_no") == new["card_no"],
          f"--replace: {replaced.returncode} {replaced.stdout} {replaced.stderr}")
    after_new = answer.get("card_no")
    # A stay that has ended is refused: its card would open no door.
    status, _, refused = issue(agent, room="0213", holder="Gone Guest", begin=stamp(-3), end=stamp(-1),
                               replace=True)
    check(status == 422 and refused["error"]["code"] == "stay_ended" and
          refused["error"]["field"] == "end" and call(agent, "GET", "/v1/card")[2]["card_no"] == after_new,
          f"an ended stay is refused, the card on the encoder kept: {status} {refused}")
    # A card whose stay has ended (cut by a face that keeps the component's
    # own rules) opens no door: written over unasked, its record closed.
    expired = cut_by_the_component("0213", "Gone Guest", stamp(-3), stamp(-1))
    status, _, after = issue(agent, room="0214", holder="New Guest")
    check(status == 200 and after["replaced"]["card_no"] == expired and
          db("SELECT ChkOutMark FROM CardRecord WHERE CardNo = ?", expired) == [("#1",)],
          f"an expired card: {status} {after} {expired}")
    # A card the database does not know as open is no live card: written as before.
    sqlite3.connect(DB).execute("UPDATE CardRecord SET ChkOutMark = '#1' WHERE CardNo = ?",
                                (after["card_no"],)).connection.commit()
    status, _, over = issue(agent, room="0215", holder="Blank Guest")
    check(status == 200 and "replaced" not in over, f"a card without an open record: {status} {over}")


def paging(agent):
    """GET /v1/cards through 1,200 more cards, 500 at a time, each page
    before= the last card of the one before: every record once, newest first."""
    db = sqlite3.connect(DB)
    sql, iso = (lambda *at: moment(*at).strftime("%Y-%m-%d %H:%M:%S")), (lambda *at: moment(*at).strftime("%Y-%m-%dT%H:%M"))
    top = db.execute("SELECT MAX(InfoNo) FROM CardRecord").fetchone()[0]
    db.executemany("INSERT INTO CardRecord (InfoNo, CardNo, Name_F, BuildNo, FloorNo, RoomNo, ChkOutMark, Date_F, "
                   "BeginDate, EndDate, ChkOutDate) VALUES (?, ?, ?, 1, 2, ?, ?, ?, ?, ?, ?)",
                   [(top + i, f"{900000 + i:08d}", f"Page {i}", "0203" if i % 2 else "0204,0205",
                     "#1" if i % 3 == 0 else "", sql(-1, "1405"), sql(-1, "1400"),
                     sql(2, "1200"), sql(0, "0930") if i % 3 == 0 else "1900-01-01 00:00:00")
                    for i in range(1, 1201)])
    db.commit()
    total = db.execute("SELECT COUNT(*) FROM CardRecord").fetchone()[0]
    seen, query, pages, started = [], "/v1/cards?limit=500", 0, time.monotonic()
    while query and pages < 10:
        status, _, page = call(agent, "GET", query)
        pages += 1
        if status != 200:
            break
        seen += page["cards"]
        query = page["next"] and "/v1/cards?limit=500&before=" + page["next"]
    took = time.monotonic() - started
    numbers = [c["card_no"] for c in seen]
    check(pages == total // 500 + 1 and len(numbers) == len(set(numbers)) == total and
          numbers[:1200] == [f"{900000 + i:08d}" for i in range(1200, 0, -1)],
          f"{pages} pages, {len(numbers)} cards ({len(set(numbers))} distinct) of {total}")
    check(seen[0] == {"card_no": "00901200", "card_no_hex": f"{901200:06X}", "kind": "villa",
                      "rooms": ["0204", "0205"], "building": 1, "floor": 2, "holder": "Page 1200",
                      "begin": iso(-1, "1400"), "end": iso(2, "1200"), "issued_at": iso(-1, "1405"),
                      "checked_out_at": iso(0, "0930"), "open": False} and
          (seen[1]["kind"], seen[1]["checked_out_at"], seen[1]["open"]) == ("guest", None, True),
          f"an item: {seen[:2]}")
    for query in ("limit=501", "before=x1", "before=123456789"):
        status, _, answer = call(agent, "GET", "/v1/cards?" + query)
        check(status == 400 and answer["error"]["code"] == "invalid_parameter", f"{query}: {status} {answer}")
    print(f"paging: {total} cards in {pages} pages in {took:.2f} s")


def unknown_rooms(agent):
    """A room the hotel's room list lacks is refused before any call."""
    db = sqlite3.connect(DB)
    tavocard("encoder", "insert")
    before = records()
    for path, body, field in [("/v1/cards/guest", dict(STAY, room="0799", floor=7, holder="x"), "room"),
                              ("/v1/cards/guest", dict(STAY, room="0201", building=2, holder="x"), "room"),
                              ("/v1/cards/villa", dict(STAY, rooms=["0219", "0221"], holder="x"), "rooms")]:
        status, _, answer = call(agent, "POST", path, body)
        check(status == 422 and answer["error"]["code"] == "unknown_room" and
              answer["error"]["field"] == field and records() == before, f"{body}: {status} {answer}")
    refused = tavocard("issue", "--begin", STAY["begin"], "--end", STAY["end"], "--building", "1",
                       "--floor", "7", "--room", "0799", "--name", "x")
    check(refused.returncode == 1 and "room list" in refused.stderr and records() == before,
          f"the command: {refused.returncode} {refused.stderr}")
    # A hotel that keeps no room list takes any room.
    rooms = db.execute("SELECT * FROM RoomList").fetchall()
    db.execute("DELETE FROM RoomList")
    db.commit()
    status, _, answer = issue(agent, room="0799", floor=7)
    db.executemany(f"INSERT INTO RoomList VALUES ({', '.join('?' * len(rooms[0]))})", rooms)
    db.commit()
    check(status == 200 and records() == before + 1, f"no room list: {status} {answer}")


# ---------------------------------------------------------------- load
def load(clients=8, cards=50):
    agent = Agent()
    tavocard("encoder", "insert")
    answers, errors = {}, []

    def client(c):
        for n in range(cards):
            holder = f"Guest {c}-{n}"
            try:
                # One card on the stand-in encoder for every client: each
                # issue writes over the card before, closing its record.
                status, _, a = issue(agent, room=f"02{(c * cards + n) % 20 + 1:02d}", holder=holder,
                                     replace=True)
                answers[holder] = (status, a)
            except Exception as e:  # a lost request
                errors.append(f"{holder}: {e}")

    started = time.monotonic()
    threads = [threading.Thread(target=client, args=(c,)) for c in range(clients)]
    for t in threads: t.start()
    for t in threads: t.join()
    took = time.monotonic() - started
    agent.stop()
    recorded = dict(sqlite3.connect(DB).execute("SELECT CardNo, Name_F FROM CardRecord"))
    numbers = [a["card_no"] for s, a in answers.values()]
    check(not errors and len(answers) == clients * cards, f"answers {len(answers)}, lost {errors[:3]}")
    check(all(s == 200 and a["result"] == 0 for s, a in answers.values()), "every issue done")
    check(len(set(numbers)) == clients * cards, f"{len(set(numbers))} distinct card numbers")
    check(all(recorded.get(a["card_no"]) == holder for holder, (s, a) in answers.items()),
          "each answer carries the number the database recorded for that guest")
    print(f"load: {clients} clients x {cards} cards in {took:.1f} s "
          f"({1000 * took / (clients * cards):.1f} ms a card), {len(set(numbers))} distinct numbers")


# ---------------------------------------------------------------- page
class Browser:
    """Debian's headless Chromium through its DevTools protocol; counts the
    key presses and clicks sent, and keeps the page's errors."""

    KEYS = {"Tab": 9, "Enter": 13}

    def __init__(self, lang=None):
        """`lang` (zh-CN): the browser's own language, in which it shows
        the date and time fields."""
        import urllib.request
        import websocket  # Debian's python3-websocket
        self.profile = tempfile.mkdtemp(prefix="holvanter-chromium-")
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             *([f"--lang={lang}"] if lang else []),
             "--remote-debugging-port=0", "--user-data-dir=" + self.profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, LANGUAGE=lang.replace("-", "_"), LANG=lang.replace("-", "_") + ".UTF-8")
            if lang else None)
        for _ in range(200):  # the browser writes its DevTools port once it listens
            try:
                port = int(open(self.profile + "/DevToolsActivePort").readline())
                break
            except (OSError, ValueError):
                time.sleep(0.1)
        else:
            raise SystemExit("chromium did not start")
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
        self.tab = websocket.create_connection(
            next(t for t in targets if t["type"] == "page")["webSocketDebuggerUrl"], timeout=30)
        self.ids, self.presses, self.errors = iter(range(1, 10**6)), 0, []
        self.send("Runtime.enable")
        self.send("Log.enable")

    def send(self, method, **params):
        n = next(self.ids)
        self.tab.send(json.dumps({"id": n, "method": method, "params": params}))
        while True:
            message = json.loads(self.tab.recv())
            if message.get("id") == n:
                return message.get("result", {})
            # Script errors, refused loads and policy violations on the way.
            p = message.get("params", {})
            if message.get("method") == "Runtime.exceptionThrown":
                self.errors.append(p["exceptionDetails"].get("exception", {}).get("description", str(p)))
            elif message.get("method") == "Log.entryAdded" and p["entry"]["level"] == "error":
                self.errors.append(p["entry"]["text"] + " " + p["entry"].get("url", ""))

    def evaluate(self, expression):
        return self.send("Runtime.evaluate", expression=expression, awaitPromise=True,
                         returnByValue=True)["result"].get("value")

    def wait_for(self, expression, seconds=15):
        for _ in range(seconds * 10):
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        return None

    def key(self, name):
        """One key press, as a keyboard gives it: Tab, Enter or a character."""
        self.presses += 1
        text = "\r" if name == "Enter" else name if len(name) == 1 else ""
        code = self.KEYS.get(name, ord(name.upper()) if len(name) == 1 else 0)
        self.send("Input.dispatchKeyEvent", type="keyDown" if text else "rawKeyDown", key=name,
                  text=text, windowsVirtualKeyCode=code)
        self.send("Input.dispatchKeyEvent", type="keyUp", key=name, windowsVirtualKeyCode=code)

    def type(self, text):
        for c in text:
            self.key(c)

    def click(self, selector):
        """A mouse click in the middle of the element, as the clerk's would be."""
        self.presses += 1
        box = self.evaluate(f"""(() => {{ const e = document.querySelector({json.dumps(selector)});
            if (!e) return null; e.scrollIntoView({{block: 'center'}}); const r = e.getBoundingClientRect();
            return [r.x + r.width / 2, r.y + r.height / 2]; }})()""")
        check(box is not None, f"there is {selector} to press")
        for kind in ("mousePressed", "mouseReleased") if box else ():
            self.send("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def screen(self, width, height, mobile=False):
        self.send("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=mobile)
        self.send("Emulation.setTouchEmulationEnabled", enabled=mobile)

    def close(self):
        self.tab.close()
        self.proc.terminate()
        self.proc.wait(timeout=30)
        shutil.rmtree(self.profile, ignore_errors=True)


def page(screenshots=None):
    """The page at / as a clerk uses it, in both languages, with an
    accessibility audit (axe-core, HOLVANTER_AXE) in each state."""
    import base64, datetime
    axe = os.environ.get("HOLVANTER_AXE")
    check(axe and os.path.exists(axe), "HOLVANTER_AXE names axe-core's axe.min.js")
    # Room 0101 in two buildings; the hotel's own hours.
    tavocard("hotel", "init", DB, "--force", "--rooms", "1:1:0101-0120,1:2:0201-0220,2:1:0101-0104")
    agent = Agent("--checkin-time", "15:00", "--checkout-time", "11:00")
    tavocard("encoder", "insert")
    b = Browser()
    db = lambda sql, *args: sqlite3.connect(DB).execute(sql, args).fetchall()
    text = lambda selector: b.evaluate(f"document.querySelector({json.dumps(selector)})?.innerText")
    cardno = "document.getElementById('cardno')?.textContent.match(/\\d{8}/)?.[0]"

    def audit(state):
        if not (axe and os.path.exists(axe)):
            return
        if not b.evaluate("typeof axe === 'object'"):
            b.evaluate(open(axe).read() + ";0")
        found = b.evaluate("""axe.run(document, {resultTypes: ['violations']}).then((r) => r.violations
            .filter((v) => v.impact === 'serious' || v.impact === 'critical')
            .map((v) => v.id + ' at ' + v.nodes.map((n) => n.target.join(' ')).join(', ')))""")
        check(found == [], f"accessibility ({state}): {found}")

    def issued(before):
        """The number of a card the page shows as written after `before`."""
        return b.wait_for(f"(n => n && n !== {json.dumps(before)} && n)({cardno})")

    def tile(room):
        return f"#board .tile[data-room='{room}']"

    def shoot(name):
        """A screenshot of the page's top, with the taken room 0203 in view on the board."""
        b.evaluate(f"document.querySelector(\"{tile('0203')}\").scrollIntoView({{block: 'center'}}); scrollTo(0, 0)")
        with open(f"{screenshots}/agent-page-{name}.png", "wb") as f:
            f.write(base64.b64decode(b.send("Page.captureScreenshot", format="png")["data"]))

    try:
        # A browser that prefers Chinese gets the page in Chinese.
        b.send("Emulation.setUserAgentOverride", userAgent="Mozilla/5.0 (holvanter test)",
               acceptLanguage="zh-CN,zh;q=0.9,en;q=0.5")
        b.screen(1024, 768)
        b.send("Page.navigate", url=f"http://127.0.0.1:{agent.port}/")
        check(b.wait_for("document.readyState === 'complete' && document.documentElement.lang === 'zh-CN'"
                         " && /[\\u4e00-\\u9fff]/.test(document.querySelector('h1').textContent)"),
              "the page speaks Chinese to a Chinese browser")
        # (A result code's words come with the agent's answer: clerk_words_test holds
        # them to both languages.)
        check(b.evaluate("""import('/page/words.js').then(({WORDS}) => ['en', 'zh'].every((l) =>
                   JSON.stringify(Object.keys(WORDS[l]).sort()) === JSON.stringify(Object.keys(WORDS.en).sort())))"""),
              "every word in both languages")
        check(b.wait_for("!document.getElementById('token-form').hidden && "
                         "document.getElementById('token').type === 'password'"), "a password field asks the token")
        audit("token asked")
        for given in ("0" * 32, agent.token):
            b.evaluate(f"document.getElementById('token').value = {json.dumps(given)};"
                       "document.getElementById('token-form').requestSubmit()")
            check(given == agent.token or b.wait_for("document.getElementById('token-error').textContent"),
                  "a wrong token is refused beside its field")
        check(b.wait_for(f"document.querySelectorAll('#board .tile').length === 44 && "
                         f"!document.querySelector(\"{tile('0203')}\").classList.contains('occupied')"),
              "the board shows the hotel's 44 rooms, 0203 vacant")
        b.errors = [e for e in b.errors if "401 (Unauthorized)" not in e]  # the wrong token's, as meant

        # A guest card by keyboard alone: the room, Tab, the holder, Enter.
        check(b.wait_for("document.activeElement.id === 'room'"), "the room field has the focus")
        b.presses = 0
        b.type("203"), b.key("Tab"), b.type("Li Wei"), b.key("Enter")
        presses, first = b.presses, issued(None)
        tomorrow = (datetime.date.today() + datetime.timedelta(days=1)).isoformat()
        row = db("SELECT CardNo, Name_F, BuildNo, FloorNo, RoomNo, EndDate FROM CardRecord ORDER BY InfoNo DESC")
        read = json.loads(tavocard("read", "--json").stdout)
        check(first and row and row[0] == (first, "Li Wei", 1, 2, "0203", tomorrow + " 11:00:00") and
              (read["card_no"], read["rooms"]) == (first, ["0203"]),
              f"{presses} presses give card {first}; the database has {row[:1]}, the encoder {read}")
        check(b.wait_for(f"document.querySelector(\"{tile('0203')}\").classList.contains('occupied') && "
                         f"document.querySelector(\"{tile('0203')}\").textContent.includes('Li Wei')"),
              "the board shows 0203 taken by Li Wei")
        audit("guest card written")
        tavocard("encoder", "insert")  # the second key is another blank card
        b.click("#second-key")
        second = issued(first)
        check(second and len(db("SELECT 1 FROM CardRecord WHERE RoomNo = '0203' AND Name_F = 'Li Wei' "
                                "AND EndDate = ? AND ChkOutMark = ''", tomorrow + " 11:00:00")) == 2,
              f"a second key for the same stay in one press: {second}")
        if screenshots:
            b.wait_for(f"document.querySelector(\"{tile('0203')}\").textContent.includes('2')")
            shoot("zh")

        # English on a press, kept over a reload.
        b.click("button[data-lang=en]")
        check(b.wait_for("document.documentElement.lang === 'en' && "
                         "document.getElementById('answer').innerText.includes('Card written')"),
              "the language switches, the last answer with it")
        b.send("Page.reload")
        check(b.wait_for("document.readyState === 'complete' && document.documentElement.lang === 'en' && "
                         "document.querySelectorAll('#board .tile').length === 44 && "
                         "document.getElementById('token-form').hidden"),
              "English is kept at a reload, and the token is not asked again")
        check(b.evaluate("document.cookie") == "" and not b.evaluate("sessionStorage.length"),
              "the page's sign-in is out of its script's reach")
        audit("English")

        # Errors beside their fields; nothing issued.
        cards = len(db("SELECT 1 FROM CardRecord"))
        b.click("input[value=villa]")
        b.evaluate("document.getElementById('room').value = '0105';"
                   "document.getElementById('room').dispatchEvent(new Event('input'));"
                   "document.getElementById('room2').value = '0204'")
        b.click("#issue")
        check(b.wait_for("document.getElementById('room2-error').textContent.includes('0204') && "
                         "document.getElementById('holder-error').textContent !== '' && "
                         "document.getElementById('room2').getAttribute('aria-invalid') === 'true'") and
              len(db("SELECT 1 FROM CardRecord")) == cards, "a villa across floors and no holder: errors beside them")
        audit("errors shown")

        # A villa card started from the board: its first room, then the second.
        b.evaluate("document.getElementById('room').value = document.getElementById('room2').value = ''")
        b.click(tile("0204")), b.click(tile("0205"))
        check(b.evaluate("[room.value, room2.value, building.value, floor.value, floor.disabled].join()")
              == "0204,0205,1,2,true", "the board fills the rooms; building and floor follow")
        b.type("Zhang Min"), b.click("#more")
        tavocard("encoder", "insert")
        b.click("#issue")
        villa = issued(second)
        after = (datetime.date.today() + datetime.timedelta(days=2)).isoformat() + " 11:00:00"
        check(villa and db("SELECT Name_F, RoomNo, EndDate FROM CardRecord WHERE CardNo = ?", villa) ==
              [("Zhang Min", "0204,0205", after)], f"villa card {villa} for two nights")

        # Read, then check out from the answer, confirming the rooms named.
        b.click("#read")
        check(b.wait_for(f"(t => t.includes('Card read') && t.includes('Villa card') && t.includes('0204 + 0205')"
                         f" && t.includes('Zhang Min') && / left/.test(t))(answer.innerText)"),
              f"the card read: {text('#answer')}")
        audit("card read")
        confirming = ("document.getElementById('confirm').open && "
                      "document.getElementById('confirm-text').textContent.includes('0204 + 0205')")
        b.click("#checkout-here")
        check(b.wait_for(confirming), "the check-out names the rooms")
        b.click("#confirm-no")
        check(b.wait_for("answer.innerText.includes('Nothing was checked out')") and
              db("SELECT ChkOutMark FROM CardRecord WHERE CardNo = ?", villa) == [("",)], "a check-out called off")
        b.click("#checkout")
        check(b.wait_for(confirming), "the check-out asks again")
        audit("check-out confirmation")
        b.click("#confirm-yes")
        check(b.wait_for("answer.innerText.includes('Checked out')") and
              db("SELECT ChkOutMark FROM CardRecord WHERE CardNo = ?", villa) == [("#1",)],
              f"checked out: {text('#answer')}")
        check(b.wait_for(f"!document.querySelector(\"{tile('0204')}\").classList.contains('occupied')"),
              "the board shows 0204 free again")

        # Recent cards by holder and by room, open and checked out apart.
        b.click("#search"), b.type("Zhang")
        check(b.wait_for(f"!document.getElementById('open-cards').innerText.includes('Zhang') && "
                         f"document.getElementById('closed-cards').innerText.includes('{villa}')"),
              "the checked-out villa card found by its holder")
        b.evaluate("search.value = '203'; search.dispatchEvent(new Event('input'))")
        check(b.wait_for(f"(o => o.includes('{first}') && o.includes('{second}') && !o.includes('Zhang'))"
                         "(document.getElementById('open-cards').innerText)"), "the open cards of room 0203")

        # Room 0101 of building 2, chosen; no card on the encoder, then one.
        tavocard("encoder", "remove")
        b.click("input[value=guest]"), b.click("#room"), b.type("101")
        check(b.wait_for("!building.disabled && "
                         "document.getElementById('room-note').textContent.includes('more than one')"),
              "a room in two buildings asks for the building")
        b.evaluate("building.value = '2'; building.dispatchEvent(new Event('change'))")
        b.click("#holder"), b.type("Ana Souza"), b.key("Enter")
        # Nothing on the encoder reads as a card that cannot be read: the
        # issue writes over nothing it could not look at.
        check(b.wait_for("answer.innerText.includes('could not be read')"), f"no card: {text('#answer')}")
        audit("no card")
        tavocard("encoder", "insert")
        b.key("Enter")
        again = issued(villa)
        check(again and db("SELECT BuildNo, FloorNo, RoomNo FROM CardRecord WHERE CardNo = ?", again) ==
              [(2, 1, "0101")], f"issued again, in building 2: {again}")
        if screenshots:
            b.evaluate("search.value = ''; search.dispatchEvent(new Event('input'))")
            time.sleep(0.5)
            shoot("en")

        # A live card on the encoder: the page asks, naming its room and
        # guest; no leaves it, yes writes over it and closes its record.
        b.click("#room"), b.type("105"), b.click("#holder"), b.type("Bo Chen"), b.key("Enter")
        asking = ("document.getElementById('confirm').open && (t => t.includes('0101') && t.includes('Ana Souza'))"
                  "(document.getElementById('confirm-text').textContent)")
        check(b.wait_for(asking), f"replacing a live card asks: {text('#confirm-text')}")
        audit("replace confirmation")
        b.click("#confirm-no")
        check(b.wait_for("answer.innerText.includes('still in use')") and
              json.loads(tavocard("read", "--json").stdout)["card_no"] == again, "not replaced when told no")
        b.click("#issue")
        check(b.wait_for(asking), "asked again")
        b.click("#confirm-yes")
        replaced = issued(again)
        check(replaced and db("SELECT ChkOutMark FROM CardRecord WHERE CardNo = ?", again) == [("#1",)] and
              db("SELECT RoomNo, Name_F FROM CardRecord WHERE CardNo = ?", replaced) == [("0105", "Bo Chen")],
              f"replaced {again} by {replaced}")

        # A second press of Issue after an answer that was too slow to wait
        # for goes with the same Idempotency-Key: one card.
        tavocard("encoder", "insert")
        cards = len(db("SELECT 1 FROM CardRecord"))
        b.evaluate("import('/page/agent.js').then((m) => m.setAnswerWait(1000))")
        with open(DB + ".lock", "a+") as turn:
            fcntl.flock(turn, fcntl.LOCK_EX)
            b.click("#room"), b.type("106"), b.click("#holder"), b.type("Eve Moss"), b.key("Enter")
            check(b.wait_for("import('/page/words.js').then(({WORDS}) => answer.innerText.includes(WORDS.en.noAgent))"), f"no answer in time: {text('#answer')}")
            b.click("#issue")
            time.sleep(0.3)
            fcntl.flock(turn, fcntl.LOCK_UN)
        slow = issued(replaced)
        b.evaluate("import('/page/agent.js').then((m) => m.setAnswerWait(25000))")
        check(slow and len(db("SELECT 1 FROM CardRecord")) == cards + 1 and
              db("SELECT RoomNo FROM CardRecord WHERE CardNo = ?", slow) == [("0106",)],
              f"two presses, one card: {slow}, {len(db('SELECT 1 FROM CardRecord')) - cards} new records")

        # A desk screen and an upright 10-inch tablet: nothing wider than the screen.
        for width, height, mobile in [(1024, 768, False), (800, 1280, True)]:
            b.screen(width, height, mobile)
            check(b.wait_for("document.documentElement.scrollWidth <= innerWidth"),
                  f"the page fits {width}x{height}")
        check(b.evaluate("performance.getEntriesByType('resource').every((e) => e.name.startsWith(location.origin))"),
              "nothing loaded from outside the agent")
        # (The browser's own look for /favicon.ico is no fault of the page.)
        # A refusal the page showed (no card 502, a live card 409) is an
        # answer, though the browser logs its status.
        errors = [e for e in b.errors if not e.endswith("/favicon.ico") and
                  not re.match(r"Failed to load resource: .* status of (409|422|502) .*/v1/cards/", e)]
        check(not errors, f"the page's errors: {errors}")
    finally:
        b.close()
        agent.stop()
    print(f"page: a guest card from the first key press in {presses} key presses and clicks")


if __name__ == "__main__":
    result = tavocard("hotel", "init", DB, "--rooms", "1:1:0101-0120,1:2:0201-0220")
    if result.returncode != 0:
        raise SystemExit(result.stdout + result.stderr)
    try:
        {"routes": routes, "load": load, "page": page}[sys.argv[2]](*sys.argv[3:])
    finally:
        for agent in Agent.started:
            if agent.proc.poll() is None:
                agent.proc.kill()
        shutil.rmtree(WORK, ignore_errors=True)
    print("agent test", sys.argv[2] + ":", "FAILED" if failures else "passed")
    sys.exit(1 if failures else 0)

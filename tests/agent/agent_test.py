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
import base64, datetime, fcntl, hashlib, http.client, json, os, re, resource, shutil, signal, socket, sqlite3, subprocess, sys, tempfile, threading, time, urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from stays import day, iso, moment, stamp

# The desk's time zone is the test's own, one whose offset shows in every
# time the agent gives: a time given without it, or in another zone, fails.
os.environ["TZ"] = "Asia/Shanghai"
time.tzset()

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
    """The agent's own OpenAPI document held to the agent, both ways. Every
    answer: its status is documented for the operation, and its body is
    valid under the documented schema. Every request the agent takes (any
    answer but 400, 401, 403, 404, 405, 413 and 421): its query, its
    Idempotency-Key and its body are valid under the operation's
    parameters and request body; and a request the agent refuses as bad
    JSON, an unknown or a missing field or an unknown query parameter is
    invalid under them too. Every example of the document is valid under
    its schema. The schemas are checked with every keyword the document
    uses; a keyword this checker does not know fails, so that none is
    passed over unchecked."""

    KEYWORDS = {"$ref", "type", "nullable", "enum", "required", "properties", "additionalProperties",
                "items", "minItems", "maxItems", "pattern", "minLength", "maxLength", "minimum",
                "maximum", "default", "description", "example"}
    TYPES = {"object": (dict,), "array": (list,), "string": (str,), "boolean": (bool,),
             "integer": (int,), "number": (int, float)}
    # Refusals of a request's form, which the document's schemas say as well.
    FORM_REFUSALS = {"bad_json", "unknown_field", "missing_field", "unknown_parameter"}

    def __init__(self, doc):
        self.doc, self.seen, self.codes, self.requests = doc, set(), set(), 0
        self.example_faults = []
        for path, ops in doc["paths"].items():
            for method, op in ops.items():
                where = f"{method} {path}"
                for p in op.get("parameters", []):
                    self.example_faults += self.schema_examples(p["schema"], f"{where} {p['name']}")
                for media in op.get("requestBody", {}).get("content", {}).values():
                    self.example_faults += self.media_examples(media, f"{where} request")
                for status, response in op["responses"].items():
                    for media in self.deref(response).get("content", {}).values():
                        self.example_faults += self.media_examples(media, f"{where} {status}")

    def deref(self, node):
        while isinstance(node, dict) and "$ref" in node:
            target = self.doc
            for part in node["$ref"].split("/")[1:]:
                target = target[part]
            node = target
        return node

    def errors(self, schema, value, where):
        """What makes `value` invalid under `schema`: a list, empty when valid."""
        schema = self.deref(schema)
        unknown = set(schema) - self.KEYWORDS
        if unknown:
            return [f"{where}: the schema uses {sorted(unknown)}, which this checker does not know"]
        if value is None:
            return [] if schema.get("nullable") else [f"{where} is null"]
        kind = schema.get("type")
        if kind is not None and (not isinstance(value, self.TYPES[kind]) or
                                 (kind != "boolean" and isinstance(value, bool))):
            return [f"{where} is not {kind}: {value!r}"]
        if "enum" in schema and value not in schema["enum"]:
            return [f"{where} is {value!r}, not one of {schema['enum']}"]
        faults = []
        if isinstance(value, str):
            if "pattern" in schema and not re.search(schema["pattern"], value, re.ASCII):
                faults.append(f"{where} {value!r} does not match {schema['pattern']}")
            if not schema.get("minLength", 0) <= len(value) <= schema.get("maxLength", len(value)):
                faults.append(f"{where} has {len(value)} characters")
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            if not schema.get("minimum", value) <= value <= schema.get("maximum", value):
                faults.append(f"{where} {value} is out of range")
        if isinstance(value, list):
            if not schema.get("minItems", 0) <= len(value) <= schema.get("maxItems", len(value)):
                faults.append(f"{where} has {len(value)} items")
            for i, item in enumerate(value):
                faults += self.errors(schema.get("items", {}), item, f"{where}[{i}]")
        if isinstance(value, dict):
            properties = schema.get("properties", {})
            faults += [f"{where} lacks {name}" for name in schema.get("required", []) if name not in value]
            for name, item in value.items():
                if name in properties:
                    faults += self.errors(properties[name], item, f"{where}.{name}")
                elif schema.get("additionalProperties", True) is False:
                    faults.append(f"{where}.{name} is not in the document")
                elif isinstance(schema.get("additionalProperties"), dict):
                    faults += self.errors(schema["additionalProperties"], item, f"{where}.{name}")
        return faults

    def schema_examples(self, schema, where):
        """The examples written into a schema and into every schema inside it."""
        schema = self.deref(schema)
        faults = self.errors(schema, schema["example"], f"{where} example") if "example" in schema else []
        for name, sub in schema.get("properties", {}).items():
            faults += self.schema_examples(sub, f"{where}.{name}")
        if isinstance(schema.get("items"), dict):
            faults += self.schema_examples(schema["items"], f"{where}[]")
        return faults

    def media_examples(self, media, where):
        if "schema" not in media:
            return []
        examples = [("", media["example"])] if "example" in media else []
        examples += [(" " + name, e["value"]) for name, e in media.get("examples", {}).items()]
        faults = self.schema_examples(media["schema"], where)
        for name, value in examples:
            faults += self.errors(media["schema"], value, f"{where} example{name}")
        return faults

    def request_errors(self, op, query, headers, data):
        """What makes a request invalid under its operation."""
        faults = []
        parameters = [self.deref(p) for p in op.get("parameters", [])]
        taken = {p["name"]: p for p in parameters if p["in"] == "query"}
        given = urllib.parse.parse_qs(query, keep_blank_values=True)
        for name, values in given.items():
            if name not in taken:
                faults.append(f"query parameter {name} is not documented")
                continue
            if len(values) > 1:
                faults.append(f"query parameter {name} is given {len(values)} times")
            value = values[0]
            if taken[name]["schema"].get("type") == "integer" and re.fullmatch(r"-?\d+", value):
                value = int(value)
            faults += self.errors(taken[name]["schema"], value, f"query {name}")
        faults += [f"query parameter {p['name']} is missing" for p in taken.values()
                   if p.get("required") and p["name"] not in given]
        for p in parameters:
            if p["in"] == "header" and p["name"].lower() in headers:
                faults += self.errors(p["schema"], headers[p["name"].lower()], p["name"])
        body = op.get("requestBody")
        if data is None:
            if body and body.get("required"):
                faults.append("the body is missing")
        elif not body:
            faults.append("this operation takes no body")
        else:
            try:
                value = json.loads(data)
            except ValueError:
                faults.append("the body is not JSON")
            else:
                faults += self.errors(body["content"]["application/json"]["schema"], value, "body")
        return faults

    def check(self, method, target, headers, data, status, content_type, body):
        path, _, query = target.partition("?")
        # Every answer that is not 2xx is an error object a program can switch on.
        error = body.get("error") if isinstance(body, dict) else None
        if status >= 400 and status != 421:
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
        if response is not None:
            content = self.deref(response).get("content", {})
            media = content.get(content_type.split(";")[0].strip())
            if status == 204 or not content:
                check(body == "", f"{method} {path} {status}: a body the document does not show: {body!r}")
            elif media is None:
                check(False, f"{method} {path} {status}: {content_type} is not documented")
            elif "schema" in media:
                faults = self.errors(media["schema"], body, "body")
                check(not faults, f"{method} {path} {status}: {faults[:3]}")
                # (The document itself is text to read, not an answer.)
                empty = self.empty_texts(body, "body") if path != "/v1/openapi.json" else []
                check(not empty, f"{method} {path} {status}: empty texts, not null: {empty}")
        faults = self.request_errors(op, query, headers, data)
        self.requests += 1
        if status not in (400, 401, 403, 404, 405, 413, 421):
            check(not faults, f"{method} {target}: taken ({status}), but the document refuses it: {faults[:3]}")
        elif status == 400 and isinstance(error, dict) and error.get("code") in self.FORM_REFUSALS:
            check(faults, f"{method} {target}: refused ({error.get('code')}), but the document takes it")

    def empty_texts(self, value, where):
        """The values of an answer that are "": an absent value is null."""
        if value == "":
            return [where]
        items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else []
        return [e for k, v in items for e in self.empty_texts(v, f"{where}.{k}")]

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
    content_type = r.getheader("Content-Type", "")
    answer = json.loads(text) if content_type.startswith("application/json") and text else text
    if contract is not None:
        contract.check(method, path, {k.lower(): v for k, v in h.items()}, data, r.status, content_type,
                       answer)
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
    contract.check("GET", "/v1/openapi.json", {}, None, status, "application/json", doc)
    check(not contract.example_faults, f"examples the document's own schemas refuse: {contract.example_faults}")
    check(doc["openapi"].startswith("3."), "an OpenAPI 3 document")

    status, _, health = call(agent, "GET", "/v1/health", token=False)
    check(status == 200 and health["encoder"]["open"] and health["database"]["reachable"],
          f"health: {health}")
    # Health needs no token, and without one it tells no file's path.
    check("path" not in health["database"] and WORK not in json.dumps(health) and
          call(agent, "GET", "/v1/health")[2]["database"]["path"] == DB, f"health's paths: {health}")
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
    # Times as the desk's local time with its offset; the card carries the
    # day its stay begins, not the time.
    check((guest["begin"], guest["end"], read["begin"], read["end"], read["holder"]) ==
          (iso(-1, "1400"), iso(2, "1200"), day(-1), iso(2, "1200"), "Li Wei"), f"times: {guest} / {read}")
    status, _, decoded = call(agent, "POST", "/v1/decode", {"image": card_file_hex()})
    command = json.loads(tavocard("decode", card_file_hex(), "--json").stdout)
    check(decoded == command and decoded["card_no"] == guest["card_no"] and
          decoded["system_code"] == "TAVO1" and (decoded["begin"], decoded["end"]) == (day(-1), iso(2, "1200")),
          f"decode: {decoded} / {command}")
    status, _, out = call(agent, "POST", "/v1/card/checkout")
    check(out["result"] == 0 and out["card_no"] == guest["card_no"], f"check-out: {out}")
    status, _, blank = call(agent, "GET", "/v1/card")
    check(blank["result"] == -700 and blank["card_no"] is None, f"a blank card reads -700: {blank}")
    check(all(blank[k] is None for k in ("card_no_hex", "kind", "holder", "building", "floor", "begin", "end")),
          f"what a blank card lacks is null, never empty: {blank}")
    # The clerk's words come with the answer, in both languages; the read
    # before a check-out speaks of the check-out.
    status, _, before_checkout = call(agent, "GET", "/v1/card?for=checkout")
    check(blank["clerk"]["en"].startswith("No guest card on the encoder") and
          before_checkout["result"] == -700 and before_checkout["command"] == "read" and
          before_checkout["clerk"] == {"en": "Nothing to check out: the card on the encoder is blank or erased",
                                       "zh": "这张卡没有可退房的记录：发卡器上的卡是空白卡或已注销"},
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
                                     "end": iso(2, "1200")} and rooms[r]["state"] == "1" and
              rooms[r]["cards"] == 1 for r in ("0204", "0205")) and
          rooms["0206"]["newest"]["holder"] == "李伟 Li", f"rooms: {rooms}")
    # 0203's card is checked out: the board and the command count what is
    # out by the records, whatever RoomList's own State and CardQTY keep.
    kept = sqlite3.connect(DB).execute("SELECT State, CardQTY FROM RoomList WHERE RoomNo = '0203'").fetchone()
    listed = {r["room"]: r["cards"] for r in json.loads(tavocard("hotel", "rooms", "list", "--json").stdout)
              if r["floor"] == 2}
    check((rooms["0203"]["cards"], rooms["0203"]["state"], listed["0203"], listed["0204"]) == (0, None, 0, 1),
          f"0203 checked out (RoomList keeps {kept}): {rooms['0203']}, rooms list {listed}")
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
    # A query parameter a route does not take is refused as an unknown body
    # field is; one given twice would count once.
    for path, token, code, field in [("/v1/cards?limt=5", True, "unknown_parameter", "limt"),
                                     ("/v1/rooms?floor=2", True, "unknown_parameter", "floor"),
                                     ("/v1/card?for=checkout&force=1", True, "unknown_parameter", "force"),
                                     ("/v1/health?verbose=1", False, "unknown_parameter", "verbose"),
                                     ("/v1/cards?limit=5&limit=6", True, "invalid_parameter", "limit")]:
        status, _, answer = call(agent, "GET", path, token=token)
        check(status == 400 and (answer["error"]["code"], answer["error"]["field"]) == (code, field),
              f"{path}: {status} {answer}")
    # Times given with any offset, or none, are the desk's local time; the
    # record holds them so.
    tavocard("encoder", "insert")
    utc = moment(-1, "1400").astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    west = moment(2, "1200").astimezone(datetime.timezone(datetime.timedelta(hours=-5))).isoformat()
    status, _, zoned = issue(agent, room="0208", holder="Zoned Guest", begin=utc, end=west)
    recorded = sqlite3.connect(DB).execute("SELECT BeginDate, EndDate FROM CardRecord WHERE CardNo = ?",
                                           (zoned.get("card_no"),)).fetchall()
    check(status == 200 and (zoned["begin"], zoned["end"]) == (iso(-1, "1400"), iso(2, "1200")) and
          recorded == [(moment(-1, "1400").strftime("%Y-%m-%d %H:%M:%S"),
                        moment(2, "1200").strftime("%Y-%m-%d %H:%M:%S"))],
          f"{utc} to {west}: {status} {zoned}, recorded {recorded}")
    listed = call(agent, "GET", "/v1/cards?limit=1")[2]["cards"][0]
    command = json.loads(tavocard("hotel", "cards", "--json").stdout)[0]
    check(listed["card_no"] == zoned["card_no"] and listed["begin"] == iso(-1, "1400") and command == listed,
          f"the record as the API and the command's --json name it: {listed} / {command}")
    status, _, refused = issue(agent, room="0208", begin=day(-1) + "T14:00+8")
    check(status == 400 and refused["error"]["field"] == "begin" and "ISO 8601" in refused["error"]["message"],
          f"an offset cut short: {status} {refused}")

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
    retries()
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
    # A wrong token is told apart from none.
    told = [call(agent, "GET", "/v1/cards", token=token)[2]["error"]["message"] for token in (False, "0" * 32)]
    check("needed" in told[0] and "not this agent's" in told[1], f"no token, a wrong one: {told}")

    # The page's session: made for the token, a random value of each
    # browser's own (no digest of the token), for this site, 30 days; it
    # counts only beside the page's own header, and makes no other.
    status, headers, _ = call(agent, "POST", "/v1/session")
    attrs = [a.strip() for a in headers.get("set-cookie", "").split(";")]
    check(status == 204 and attrs[0].startswith("holvanter_page=") and agent.token not in attrs[0] and
          {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age=2592000"} <= set(attrs[1:]),
          f"the page's cookie: {status} {attrs}")
    other = call(agent, "POST", "/v1/session")[1].get("set-cookie", "").split(";")[0]
    check(re.fullmatch(r"holvanter_page=[0-9a-f]{32}", other) and other != attrs[0],
          f"each browser a session of its own: {attrs[0]} {other}")
    jar, page_header = {"Cookie": "theme=dark; " + attrs[0]}, {"X-Holvanter-Page": "1"}
    status = call(agent, "POST", "/v1/session", token=False, headers={**jar, **page_header})[0]
    check(status == 401, f"a session's cookie makes no other session: {status}")
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
    # The hotel's hours from the settings file, its names in any case; one
    # that is not HH:MM stops the agent before it listens.
    with open(WORK + "/agent.ini", "w") as f:
        f.write("[Serve]\nCheckin-Time = 15:30\ncheckout-time = 11:00\n")
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
    # A settings line the agent would pass over stops it, named with its
    # file, its line and the nearest known name.
    for line, says in [("chekin-time = 15:00", "no key chekin-time in [serve]; the nearest known key is checkin-time"),
                       ("checkout-time 11:00", "not key = value; the nearest known key is checkout-time"),
                       ("fias-encoding gbk", "not key = value; the nearest known key is fias-encoding"),
                       ("[Sevre]", "no section of that name; the nearest known section is [serve]"),
                       ("[fias-rooms]\nA101", "not key = value")]:
        with open(WORK + "/wrong.ini", "w") as f:
            f.write("[serve]\nlisten-port = 0\n" + line + "\n")
        refused = tavocard("serve", "--config", WORK + "/wrong.ini", "--token-file", WORK + "/token")
        shown = line.split("\n")[-1]
        check(refused.returncode == 64 and
              f'{WORK}/wrong.ini line {2 + line.count(chr(10)) + 1} "{shown}": {says}' in refused.stderr,
              f"settings line {line!r}: {refused.returncode} {refused.stderr}")
    # An old token that cannot be removed would stay valid: --new-token does not start on it.
    stuck = WORK + "/stuck-token"
    os.makedirs(stuck + "/inside", exist_ok=True)
    refused = tavocard("serve", "--listen-port", "0", "--token-file", stuck, "--new-token")
    check(refused.returncode == 3 and "cannot remove the old token" in refused.stderr,
          f"--new-token over a token it cannot remove: {refused.returncode} {refused.stderr}")
    # --new-token while an agent listens on that port: refused before the
    # token is touched, so nothing looks revoked that is not; the running
    # agent keeps its token and its sessions.
    running = Agent()
    session = {"Cookie": call(running, "POST", "/v1/session")[1].get("set-cookie", "").split(";")[0]}
    kept = open(WORK + "/token").read()
    refused = tavocard("serve", "--listen-port", str(running.port), "--token-file", WORK + "/token",
                       "--new-token")
    check(refused.returncode == 3 and "Address already in use" in refused.stderr and
          "the token is left as it was" in refused.stderr and "bearer token" not in refused.stdout and
          open(WORK + "/token").read() == kept and
          call(running, "GET", "/v1/settings")[0] == 200 and
          call(running, "GET", "/v1/settings", token=False, headers={**session, **page_header})[0] == 200,
          f"--new-token on a port in use: {refused.returncode} {refused.stdout} {refused.stderr}")
    running.stop()
    # A new token revokes the old one and every page session.
    renewed = Agent("--new-token")
    check(renewed.token != running.token and
          call(renewed, "GET", "/v1/settings", token=running.token)[0] == 401 and
          call(renewed, "GET", "/v1/settings", token=False, headers={**session, **page_header})[0] == 401 and
          call(renewed, "GET", "/v1/settings")[0] == 200, "--new-token: the old token and session refused")
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


def retries():
    """An answer that changed no card frees its Idempotency-Key, so that the
    same request sent again does the work; one that changed a card is kept
    and replayed. Each row: the stand-in encoder's failures (write#N: its
    Nth write) for an agent of its own, and its requests in order, each
    (route, body, key, status, replayed)."""
    run = str(time.time())
    guest, checkout = "/v1/cards/guest", "/v1/card/checkout"
    stay = dict(STAY, room="0209", holder="Eva Lind")
    replace = dict(stay, replace=True)
    rows = [
        ("write#1", "a card not written, then cut under the same key",
         [(guest, stay, "a", 502, False), (guest, stay, "a", 200, False), (guest, stay, "a", 200, True)]),
        (None, "a live card on the encoder, then replaced under the same key",
         [(guest, stay, "a", 200, False), (guest, stay, "b", 409, False), (guest, stay, "b", 409, False),
          (guest, replace, "b", 200, False)]),
        ("write#2", "a live card not erased (its record open again), then replaced",
         [(guest, stay, "a", 200, False), (guest, replace, "b", 502, False), (guest, replace, "b", 200, False)]),
        ("write#3", "a live card checked out to be replaced, the new card not written: kept",
         [(guest, stay, "a", 200, False), (guest, replace, "b", 502, False), (guest, replace, "b", 502, True)]),
        (None, "a check-out with no body, then with {}",
         [(guest, stay, "a", 200, False), (checkout, None, "c", 200, False), (checkout, {}, "c", 200, True)]),
    ]
    for i, (fail, what, steps) in enumerate(rows):
        tavocard("encoder", "insert")
        agent = Agent(env={"LYCOMM_SIM_FAIL": fail} if fail else None)
        seen = []
        for path, body, key, _, _ in steps:
            status, headers, _ = call(agent, "POST", path, body,
                                      headers={"Idempotency-Key": f"retry-{run}-{i}-{key}"})
            seen.append((status, headers.get("idempotent-replayed") == "true"))
        agent.stop()
        check(seen == [(status, replayed) for _, _, _, status, replayed in steps], f"{what}: {seen}")


def live_cards(agent):
    """A live card of the hotel is written over only when asked, and its
    record is then closed; the command says the same."""
    db = lambda sql, *args: sqlite3.connect(DB).execute(sql, args).fetchall()
    tavocard("encoder", "insert")
    old = issue(agent, room="0210", holder="Old Guest")[2]
    status, _, refused = issue(agent, room="0211", holder="Next Guest")
    check(status == 409 and refused["error"]["code"] == "card_in_use" and
          {k: refused["card"][k] for k in ("card_no", "rooms", "holder", "end")} ==
          {"card_no": old["card_no"], "rooms": ["0210"], "holder": "Old Guest", "end": iso(2, "1200")} and
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
    check(replaced.returncode == 0 and answer.get("replaced", {}).get("card_no") == new["card_no"] and
          (answer["begin"], answer["end"], answer["replaced"]["end"]) == (iso(-1, "1400"),) + (iso(2, "1200"),) * 2,
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
    sql = lambda *at: moment(*at).strftime("%Y-%m-%d %H:%M:%S")
    top = db.execute("SELECT MAX(InfoNo) FROM CardRecord").fetchone()[0]
    db.executemany("INSERT INTO CardRecord (InfoNo, CardNo, Name_F, BuildNo, FloorNo, RoomNo, ChkOutMark, Date_F, "
                   "BeginDate, EndDate, ChkOutDate) VALUES (?, ?, ?, 1, 2, ?, ?, ?, ?, ?, ?)",
                   [(top + i, f"{900000 + i:08d}", f"Page {i}", "0203" if i % 2 else "0204,0205",
                     "#1" if i % 3 == 0 else "", sql(-1, "1405"), sql(-1, "1400"),
                     sql(2, "1200"), sql(0, "0930") if i % 3 == 0 else "1900-01-01 00:00:00")
                    for i in range(1, 1201)])
    db.commit()
    total = db.execute("SELECT COUNT(*) FROM CardRecord").fetchone()[0]
    seen, query, pages, started, shapes = [], "/v1/cards?limit=500", 0, time.monotonic(), []
    while query and pages < 10:
        status, _, page = call(agent, "GET", query)
        pages += 1
        if status != 200:
            break
        seen += page["cards"]
        shapes.append((len(page["cards"]), page["has_more"], page["next"] == (page["cards"] or [{}])[-1].get("card_no")))
        query = page["has_more"] and "/v1/cards?limit=500&before=" + page["next"]
    took = time.monotonic() - started
    numbers = [c["card_no"] for c in seen]
    # No next page is ever empty: has_more only while records follow.
    check(shapes == [(500, True, True)] * (pages - 1) + [(total - 500 * (pages - 1), False, False)] and
          pages == -(-total // 500), f"pages of {total}: {shapes}")
    # A page that holds the last record exactly is the last; so is one whose
    # last card has the older records left (before= leaves out every
    # record of its number).
    named = sum("Page 12" in f"Page {i}" for i in range(1, 1201))
    db.executemany("INSERT INTO CardRecord (InfoNo, CardNo, Name_F, BuildNo, FloorNo, RoomNo) "
                   "VALUES (?, ?, 'Twice Guest', 1, 2, '0203')",
                   [(top + 2001, "00902001"), (top + 2002, "00902002"), (top + 2003, "00902001")])
    db.commit()
    for query, more in [(f"holder=Page+12&limit={named}", False), (f"holder=Page+12&limit={named - 1}", True),
                        ("holder=Twice&limit=1", False), ("holder=Twice&limit=2", True)]:
        status, _, page = call(agent, "GET", "/v1/cards?" + query)
        check((page["has_more"], page["next"] is not None) == (more, more),
              f"{query}: {page['has_more']} {page['next']}")
    check(len(numbers) == len(set(numbers)) == total and
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
        check(text("#confirm-yes") == "Check out", f"the check-out's yes: {text('#confirm-yes')}")
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
        # The last card was of floor 2; 0101 is on floor 1 in either building.
        check(b.evaluate("[...floor.options].map(o => o.value).join() + ' ' + floor.value") == "1 1",
              f"the floor follows the building chosen: {b.evaluate('floor.value')}")
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
        check(text("#confirm-yes") == "Replace", f"the replacing's yes is no check-out: {text('#confirm-yes')}")
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
        # Read back, the guest card shows the time it was issued with, which
        # the card itself does not carry.
        begun = db("SELECT BeginDate FROM CardRecord WHERE CardNo = ?", replaced)[0][0][11:16]
        b.click("#read")
        check(b.wait_for(f"(t => t.includes('Card read') && t.includes('{begun}'))(answer.innerText)"),
              f"the card read shows its begin {begun}: {text('#answer')}")

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

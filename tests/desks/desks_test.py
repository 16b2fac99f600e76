#!/usr/bin/env python3
"""Desks joining the link desk, end to end: three agents on this machine (the
link desk and two desks, each with an encoder folder of its own, one hotel
database) and our PMS interface program (tests/fias/pms_interface.py).

    desks_test.py TAVOCARD routes   KR, KD and KZ for three coders on three
                                    encoders; refusals; a desk stopped and lost;
                                    desks and the link desk restarted
    desks_test.py TAVOCARD bench    KR-to-KA for a coder on another desk beside
                                    one on the link desk

The hotel database is SQLite, or the ODBC data source HOLVANTER_TEST_DSN names.
"""
import http.client, json, os, re, shutil, signal, socket, statistics, subprocess, sys, tempfile, \
    threading, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fias"))
from pms_interface import Interface

TAVOCARD = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="holvanter-desks-")
DSN = os.environ.get("HOLVANTER_TEST_DSN")
AGENTS = []
failures = []
day = lambda offset: time.strftime("%y%m%d", time.localtime(time.time() + offset * 86400))


def check(ok, what, sim=None):
    if not ok:
        failures.append(what)
        print("FAIL", what + ("\n" + sim.transcript() if sim else ""))
    return ok


def env(desk):
    return dict(os.environ, LYCOMM_SIM_DIR=f"{WORK}/{desk}/encoder", LD_LIBRARY_PATH="")


def tavocard(desk, *args):
    return subprocess.run([TAVOCARD, *args], env=env(desk), capture_output=True, text=True,
                          timeout=60)


class Agent:
    """`tavocard serve` of desk `name`, its state in WORK/name."""

    def __init__(self, name, *flags, ready=r"listening on http://127\.0\.0\.1:(\d+)/"):
        self.name = name
        os.makedirs(f"{WORK}/{name}", exist_ok=True)
        self.proc = subprocess.Popen(
            [TAVOCARD, "serve", "--listen-port", "0", "--token-file", f"{WORK}/{name}/token",
             "--queue-wait", "2", *flags], env=env(name), stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, errors="replace")
        self.lines, self.cond = [], threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        m = self.wait_log(ready, 20)
        if not m:
            raise SystemExit(f"desk {name} did not start:\n" + self.log())
        self.port = int(m.group(1))
        self.desks_port = (m := self.wait_log(r"listening for desks on .* \(port (\d+)\)", 0)) \
            and int(m.group(1))
        self.token = open(f"{WORK}/{name}/token").read().strip()
        AGENTS.append(self)

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def log(self):
        with self.cond:
            return "".join(self.lines)

    def wait_log(self, pattern, timeout):
        """The first match of `pattern` in the log within `timeout` seconds."""
        with self.cond:
            self.cond.wait_for(lambda: re.search(pattern, "".join(self.lines)), timeout)
            return re.search(pattern, "".join(self.lines))

    def health(self):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        c.request("GET", "/v1/health", headers={"Authorization": "Bearer " + self.token})
        return json.loads(c.getresponse().read())

    def joined(self):
        return {d["name"] for d in self.health().get("desks", []) if d["joined"]}

    def wait_joined(self, names, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end and not set(names) <= self.joined():
            time.sleep(0.1)
        return set(names) <= self.joined()

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        status = self.proc.wait(timeout=30)
        check(sig != signal.SIGTERM or status == 0, f"{self.name} exits 0 on SIGTERM: {status}")
        AGENTS.remove(self)


def pair(link, desk):
    out = tavocard(link.name, "desks", "pair", desk, "--registry", f"{WORK}/{link.name}/desks")
    return re.search(r"[2-9A-Z]{4}(-[2-9A-Z]{4}){3}", out.stdout).group(0)


def join(link, desk, *flags, port=None):
    return Agent(desk, "--join", f"127.0.0.1:{port or link.desks_port}", "--desk", desk, *flags)


def kr(sim, coder, room, what, status="OK"):
    """A KR on `coder` for `room`: the answer's card number (or its CT)."""
    a, _ = sim.request("KR", {"KC": coder, "KT": "N", "RN": room, "GD": day(2), "DT": "11:00",
                              "GN": "Desk Test"}, timeout=20)
    m = a and re.fullmatch(r"card (\d{8}) (room " + room + r"|replaced \d{8})", a.get("CT", ""))
    check(a and a.get("AS") == status and (status != "OK" or m), f"{what}: {a}", sim)
    return (m.group(1) if m else a and a.get("CT"))


def on_encoder(desk):
    card = json.loads(tavocard(desk, "read", "--json").stdout or "{}")
    return card.get("card_no")


def blank(*desks):
    for desk in desks:
        tavocard(desk, "encoder", "insert")


class Proxy:
    """A TCP relay in front of the link desk that can flip a byte of the next
    frame the link desk sends, or send the next frame of the desk twice."""

    def __init__(self, target):
        self.target, self.mode = target, None
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            desk, _ = self.server.accept()
            link = socket.create_connection(("127.0.0.1", self.target))
            threading.Thread(target=self._pipe, args=(link, desk, "flip"), daemon=True).start()
            threading.Thread(target=self._pipe, args=(desk, link, "replay"), daemon=True).start()

    def _pipe(self, src, dst, acts):
        buf = b""
        try:
            while data := src.recv(65536):
                buf += data
                while len(buf) >= 4 and len(buf) >= 4 + int.from_bytes(buf[:4], "big"):
                    n = 4 + int.from_bytes(buf[:4], "big")
                    frame, buf = bytearray(buf[:n]), buf[n:]
                    if self.mode == acts and frame[4:5] == b"M" and b'"pong"' not in frame \
                            and b'"ping"' not in frame:
                        self.mode = None
                        if acts == "flip":
                            frame[-40] ^= 0x01  # a byte of the payload
                        else:
                            dst.sendall(frame)  # the same frame once more
                    dst.sendall(frame)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def routes():
    sim = Interface()
    link = Agent("link", "--fias", f"127.0.0.1:{sim.port}", "--desks-listen", "127.0.0.1:0",
                 "--fias-coder", "1=0", "--fias-coder", "2=east:0", "--fias-coder", "3=pool:0",
                 "--fias-coder", "4=west:0", "--fias-coder", "5=gone:0")
    check(sim.wait_up(10), "the key link comes up", sim)
    east = join(link, "east", "--pair", pair(link, "east"))
    pool = join(link, "pool", "--pair", pair(link, "pool"))
    check(link.wait_joined({"east", "pool"}), f"east and pool join: {link.health()}")
    for agent in (east, pool):
        agent.wait_log(r"joined the link desk", 10)  # the desk's side of it
    for desk in ("east", "pool"):
        check(os.stat(f"{WORK}/{desk}/desk-secret").st_mode & 0o077 == 0,
              f"{desk}'s secret is its owner's alone")

    # Each coder's KR is cut on its own desk's encoder, with its own number.
    blank("link", "east", "pool")
    cards = {c: kr(sim, c, room, f"KR coder {c}") for c, room in (("1", "0101"), ("2", "0102"),
                                                                   ("3", "0103"))}
    check(len(set(cards.values())) == 3, f"three distinct card numbers: {cards}")
    for coder, desk in (("1", "link"), ("2", "east"), ("3", "pool")):
        check(on_encoder(desk) == cards[coder], f"coder {coder}'s card is on {desk}'s encoder")
    rows = {r["card_no"]: r for r in
            json.loads(tavocard("link", "hotel", "cards", "--json").stdout)}
    check(all(c in rows for c in cards.values()), f"every card is in the hotel database")
    a, _ = sim.request("KZ", {"KC": "2"})
    check(a and a.get("AS") == "OK" and a.get("RN") == "0102" and cards["2"] in a.get("CT", ""),
          f"a KZ routed to east reads its card: {a}", sim)
    a, _ = sim.request("KD", {"KC": "3", "RN": "0103"})
    check(a and a.get("AS") == "OK", f"a KD routed to pool checks its card out: {a}", sim)
    check(re.search(r"desks: KR KC 2 on desk east port 0: OK card " + cards["2"], link.log()),
          "one log line per routed operation")
    status = {d["name"]: d for d in link.health()["desks"]}
    check(status["east"]["coders"] == ["2"] and status["east"]["last_contact"] and
          not status["gone"]["joined"], f"the health lists the desks: {status}")
    # As the agent's API document says.
    c = http.client.HTTPConnection("127.0.0.1", link.port, timeout=30)
    c.request("GET", "/v1/openapi.json")
    schema = json.loads(c.getresponse().read())["paths"]["/v1/health"]["get"]["responses"]["200"]
    props = schema["content"]["application/json"]["schema"]["properties"]
    check(all(set(props["desks"]["items"]["required"]) <= set(d) for d in status.values()) and
          set(props["join"]["required"]) <= set(east.health()["join"]) and
          east.health()["join"]["joined"], "the health answers as documented")
    check(kr(sim, "5", "0105", "a desk that never joined", "UR") == "desk gone not connected",
          "UR: desk not connected")

    # Refusals: each logged, nothing cut.
    secret = open(f"{WORK}/east/desk-secret").read()
    os.makedirs(f"{WORK}/rogue", exist_ok=True)
    with open(f"{WORK}/rogue/desk-secret", "w") as f:
        f.write(re.sub(r"[0-9a-f](?=\s*$)", lambda m: "1" if m.group(0) != "1" else "2", secret))
    os.chmod(f"{WORK}/rogue/desk-secret", 0o600)
    rogue = Agent("rogue", "--join", f"127.0.0.1:{link.desks_port}", "--desk", "east")
    used = pair(link, "west")
    west = join(link, "west", "--pair", used)
    check(link.wait_joined({"west"}), "west joins")
    late = join(link, "late", "--pair", used)
    expired = pair(link, "old")
    reg = f"{WORK}/link/desks"
    text = open(reg).read()
    with open(reg + ".edit", "w") as f:  # the code's time runs out
        f.write(re.sub(r"(code\told\t\S+\t)\d+", lambda m: m.group(1) + str(int(time.time()) - 1), text))
    os.chmod(reg + ".edit", 0o600)
    os.replace(reg + ".edit", reg)
    old = join(link, "old", "--pair", expired)
    for pattern, what in ((r"refused desk east .*wrong desk secret", "a wrong secret"),
                          (r"refused desk late .*no pairing code for desk late", "a reused code"),
                          (r"refused desk old .*pairing code of desk old has expired", "an expired code")):
        check(link.wait_log(pattern, 10), f"{what} is refused and logged")
    check(kr(sim, "2", "0102", "east after the rogue") != cards["2"], "east still joined")
    for agent in (rogue, late, old):
        agent.stop()

    # A removed desk is dropped at once and refused after.
    tavocard("link", "desks", "remove", "pool", "--registry", reg)
    check(link.wait_log(r"desk pool was removed", 5), "a removed desk is dropped")
    check(kr(sim, "3", "0103", "a removed desk", "UR") == "desk pool not connected", "UR after remove")
    check(pool.wait_log(r"refused desk pool: desk pool is not paired", 10), "and refused after")
    pool.stop()

    # Through a proxy that alters a request, then one that replays an answer.
    west.stop()
    proxy = Proxy(link.desks_port)
    west = join(link, "west", port=proxy.port)
    check(link.wait_joined({"west"}), "west joins through the proxy")
    blank("west")
    before = len(json.loads(tavocard("link", "hotel", "cards", "--json").stdout))
    proxy.mode = "flip"
    kr(sim, "4", "0104", "an altered request", "RY")
    check(west.wait_log(r"dropped the link .*altered in flight", 5), "the desk refuses it, logged")
    check(on_encoder("west") is None and
          len(json.loads(tavocard("link", "hotel", "cards", "--json").stdout)) == before,
          "nothing cut for an altered request")
    check(link.wait_joined({"west"}, 15), "west joins again")
    proxy.mode = "replay"
    kr(sim, "4", "0104", "a KR whose answer is replayed")
    check(link.wait_log(r"dropped desk west .*out of order or replayed", 5), "a replay is refused")
    west.stop()

    # A desk stopped mid-request: RY after the queue wait; the card it cuts
    # when it goes on is reported when it joins again.
    check(link.wait_joined({"east"}), "east is joined")
    blank("east")
    east.proc.send_signal(signal.SIGSTOP)
    started = time.monotonic()
    check(kr(sim, "2", "0102", "a stopped desk", "RY") == "desk east lost", "RY desk east lost")
    took = time.monotonic() - started
    check(2 <= took <= 8, f"RY after the queue wait and a little: {took:.1f} s")
    east.proc.send_signal(signal.SIGCONT)
    m = link.wait_log(r"desk east reports card (\d{8}) .*answer was lost", 20)
    check(m and on_encoder("east") == m.group(1), "the late card is reported with its number")
    # Killed and started again: it joins by itself with its secret.
    east.stop(signal.SIGKILL)
    east = join(link, "east")
    check(link.wait_joined({"east"}), "east joins again after a restart")
    blank("east")
    kr(sim, "2", "0102", "east after its restart")

    # The link desk restarted: the desks join again by themselves.
    port = link.desks_port
    link.stop()
    sim.close()
    sim = Interface()
    link = Agent("link", "--fias", f"127.0.0.1:{sim.port}", "--desks-listen", f"127.0.0.1:{port}",
                 "--fias-coder", "2=east:0")
    check(sim.wait_up(10) and link.wait_joined({"east"}, 40), "east joins the restarted link desk")
    blank("east")
    kr(sim, "2", "0102", "east after the link desk's restart")
    sim.close()


def bench(n=100):
    sim = Interface(silent=True)
    link = Agent("link", "--fias", f"127.0.0.1:{sim.port}", "--desks-listen", "127.0.0.1:0",
                 "--fias-coder", "1=0", "--fias-coder", "2=east:0")
    east = join(link, "east", "--pair", pair(link, "east"))
    check(sim.wait_up(10) and link.wait_joined({"east"}), "the link and east are up")
    for coder, desk, where in (("1", "link", "on the link desk"), ("2", "east", "on another desk")):
        times = []
        for i in range(n):
            blank(desk)
            a, took = sim.request("KR", {"KC": coder, "KT": "N", "RN": "0101", "GD": day(2)})
            check(a and a.get("AS") == "OK", f"bench KR {i} {where}: {a}")
            times.append(took * 1000)
        times.sort()
        print(f"desks bench: KR to KA {where}: median {statistics.median(times):.1f} ms, "
              f"p95 {times[int(len(times) * 0.95)]:.1f} ms ({n} KRs)")
    sim.close()


if __name__ == "__main__":
    where = ["--dsn", DSN] if DSN else [WORK + "/hotel.db"]
    result = tavocard("link", "hotel", "init", *where, "--rooms", "1:1:0101-0120", "--force")
    if result.returncode != 0:
        raise SystemExit(result.stdout + result.stderr)
    try:
        {"routes": routes, "bench": bench}[sys.argv[2]](*sys.argv[3:])
    finally:
        for agent in list(AGENTS):
            agent.proc.kill()
        if failures:
            for agent in AGENTS:
                print(f"--- {agent.name}\n{agent.log()[-3000:]}")
        shutil.rmtree(WORK, ignore_errors=True)
    print("desks test", sys.argv[2] + ":", "FAILED" if failures else "passed")
    sys.exit(1 if failures else 0)

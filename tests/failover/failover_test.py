#!/usr/bin/env python3
"""Four desks and the PMS key link through a failover of the hotel database's
pair (scripts/test-failover.sh sets the pair up and runs this):

    failover_test.py TAVOCARD DSN CLUSTER

DSN: the file data source that lists both nodes. CLUSTER: the script that
tells the primary (`primary`), switches over (`failover`) and loses a node's
machine (`lose NODE`). Each desk is a front-desk agent (`tavocard serve`) with
an encoder of its own, issuing a guest card and checking it out, over and
over, through both failovers without being restarted. After each failover:
every card answered OK is in the new primary with its number and room, every
check-out answered OK closed its record, no number is there twice, every call
that failed said so within the bounded wait and wrote no card, every desk went
on within 10 s of the new primary accepting writes, and a KR caught in the
failover is answered RY and the next one OK.
"""
import datetime, http.client, json, os, re, shutil, signal, subprocess, sys, tempfile, threading, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fias"))
from pms_interface import Interface

TAVOCARD, DSN, CLUSTER = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="holvanter-failover-")
KEYS = dict(re.findall(r"^(\w+)=(.*)$", open(DSN).read(), re.M))
# The longest a failed call may take: the 10-second statement time limit, and
# a connection attempt to each node (connect_timeout in the data source).
BOUND = 16.0
GO_ON = 10.0       # s from the new primary accepting writes to each desk's next card
LOSS_LIMIT = 30.0  # s from losing the primary's machine to the first card issued
BLANK = b"\xff" * 28
KEY_CARDS = []  # the card numbers of the KRs answered OK
failures = []
stamp = lambda days: (datetime.datetime.now() + datetime.timedelta(days=days)).strftime("%Y%m%d%H%M")


def check(ok, what):
    print(("  ok   " if ok else "FAIL   ") + what, flush=True)
    ok or failures.append(what)
    return ok


def env_of(folder):
    os.makedirs(folder, exist_ok=True)
    env = dict(os.environ, LYCOMM_SIM_DIR=folder, LD_LIBRARY_PATH="")
    if os.environ.get("HOLVANTER_FAILOVER_POOLING") == "1":
        env["ODBCSYSINI"] = WORK  # the odbcinst.ini below: the driver manager keeps connections
    return env


class Agent:
    """`tavocard serve` on an encoder of its own (a blank card on it)."""

    def __init__(self, name, *flags):
        self.env = env_of(f"{WORK}/{name}")
        subprocess.run([TAVOCARD, "encoder", "insert"], env=self.env, check=True, capture_output=True)
        self.card_file = f"{WORK}/{name}/port1.card"
        token = f"{WORK}/{name}.token"
        self.proc = subprocess.Popen([TAVOCARD, "serve", "--listen-port", "0", "--token-file", token, *flags],
                                     env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        for line in self.proc.stdout:
            if m := re.search(r"listening on http://127\.0\.0\.1:(\d+)/", line):
                self.port = int(m.group(1))
                break
        else:
            raise SystemExit(f"{name}: the agent did not start")
        threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True).start()
        self.token = open(token).read().strip()

    def call(self, path, body):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        c.request("POST", path, body=json.dumps(body),
                  headers={"Authorization": "Bearer " + self.token, "Content-Type": "application/json"})
        r = c.getresponse()
        return r.status, json.loads(r.read() or "null")


class Desk(threading.Thread):
    """Issues a card, checks it out, again; keeps every call's times and answer."""

    def __init__(self, n):
        super().__init__(daemon=True)
        self.n, self.agent, self.stop = n, Agent(f"desk{n}"), threading.Event()
        self.calls = []   # (start, end, what, ok, card_no, room, answer)
        self.wrote_on_failure = []

    def run(self):
        holding, i = None, 0
        while not self.stop.is_set():
            start = time.monotonic()
            if holding is None:
                room = f"01{self.n * 10 + i % 10 + 1:02d}"
                i += 1
                status, a = self.agent.call("/v1/cards/guest", {
                    "begin": stamp(0), "end": stamp(1), "building": 1, "floor": 1, "room": room,
                    "holder": f"Desk {self.n} guest {i}"})
                ok = status == 200 and a.get("result") == 0
                card = a.get("card_no") if ok else None
                self.calls.append((start, time.monotonic(), "issue", ok, card, room, a))
                if ok:
                    holding = (card, room)
                elif open(self.agent.card_file, "rb").read()[4:] != BLANK:
                    self.wrote_on_failure.append(a)  # the card was erased before this issue
            else:
                status, a = self.agent.call("/v1/card/checkout", {})
                ok = status == 200 and a.get("result") == 0
                self.calls.append((start, time.monotonic(), "checkout", ok, holding[0], holding[1], a))
                if ok:
                    holding = None
            if not ok:
                time.sleep(0.2)  # as a clerk tries again, a moment later


def psql(host, sql, timeout=2):
    r = subprocess.run(["psql", "-Atq", "-h", host, "-p", KEYS["PORT"], "-U", KEYS["UID"], "-d", "hotel",
                        "-c", sql], capture_output=True, text=True, timeout=timeout + 3,
                       env=dict(os.environ, PGCONNECT_TIMEOUT=str(timeout)))
    return r.returncode == 0, r.stdout


def cluster(*args):
    return subprocess.run([CLUSTER, *args], capture_output=True, text=True, timeout=90)


def address(node):
    return {"node1": "127.0.0.1", "node2": "127.0.0.2"}[node]


def writes_accepted(host, since, limit=60):
    """When `host` first commits a row, polled from `since` (a promoted node
    stays read-only until the monitor gives up on the old primary)."""
    while time.monotonic() - since < limit:
        ok, out = psql(host, "INSERT INTO failover_probe VALUES (now())", timeout=1)
        if ok:
            return time.monotonic()
        time.sleep(0.1)
    return None


def kr(sim, room="0115"):
    sim_fields = {"KC": "1", "KT": "N", "RN": room, "GA": datetime.date.today().strftime("%y%m%d"),
                  "GD": (datetime.date.today() + datetime.timedelta(days=1)).strftime("%y%m%d"),
                  "GN": "Key Link Guest"}
    subprocess.run([TAVOCARD, "encoder", "insert"], env=LINK.env, check=True, capture_output=True)
    a, took = sim.request("KR", sim_fields, timeout=60)
    if a is not None and a.get("AS") == "OK":
        KEY_CARDS.append(re.search(r"card (\d{8})", a.get("CT", "")).group(1))
    return a, took


def phase(name, desks, sim, lose):
    """One failover: `lose` takes the primary away; then the checks."""
    print(f"-- {name}", flush=True)
    old = cluster("primary").stdout.strip()
    new = {"node1": "node2", "node2": "node1"}[old]
    # Synchronous: a commit answered is on the standby before the desk hears of it.
    ok, names = psql(address(old), "SHOW synchronous_standby_names")
    check(ok and names.strip() not in ("", "''"), f"{old} commits with a synchronous standby: {names.strip()}")
    marks = [len(d.calls) for d in desks]
    t_lost = time.monotonic()
    caught = {}
    losing = threading.Thread(target=lose, args=(old,))  # a switch-over waits for its end
    losing.start()
    if name.startswith("unplanned"):  # the primary is gone for seconds: this KR is caught
        catch = threading.Thread(target=lambda: caught.update(zip(("a", "took"), kr(sim))))
        catch.start()
    t_writes = writes_accepted(address(new), t_lost)
    losing.join()
    if not check(t_writes is not None, f"{new} accepts writes after losing {old}"):
        return
    if name.startswith("unplanned"):
        catch.join()
        check(caught["a"] is not None and caught["a"].get("AS") == "RY",
              f"a KR caught in the failover is answered RY in {caught['took']:.1f} s: {caught['a']}")
    a, _ = kr(sim)
    check(a is not None and a.get("AS") == "OK", f"the next KR is served: {a}")
    time.sleep(GO_ON + 1)  # every desk has had its chance to go on

    calls = [c for d, m in zip(desks, marks) for c in d.calls[m:]]
    failed = [c for c in calls if not c[3]]
    longest = max((c[1] - c[0] for c in failed), default=0.0)
    first_fail = min((c[0] for c in failed), default=None)
    first_ok = min((c[1] for c in calls if c[3] and c[2] == "issue" and c[0] >= t_lost), default=None)
    last_fail = max((c[1] for c in failed), default=None)
    if not check(first_ok is not None, "a card issued after the loss"):
        return
    print(f"  {name}: new primary {new} accepts writes {t_writes - t_lost:.1f} s after losing {old}; "
          f"first card issued after {first_ok - t_lost:.1f} s; the desks' calls failed for "
          f"{(last_fail - first_fail) if failed else 0:.1f} s (first failed call to the end of the last); "
          f"{len(failed)} of {len(calls)} calls failed, the longest failed call took {longest:.1f} s",
          flush=True)
    if name.startswith("unplanned"):
        check(first_ok - t_lost <= LOSS_LIMIT, f"the first card within {LOSS_LIMIT:.0f} s of losing the "
              f"primary's machine: {first_ok - t_lost:.1f} s")
    check(longest <= BOUND, f"every failed call said so within {BOUND:.0f} s: the longest took {longest:.1f} s")
    unexplained = [c[6] for c in failed
                   if not (c[6].get("reason") or c[6].get("message") or
                           (c[6].get("error") or {}).get("message"))]
    check(not unexplained, f"every failed call gives its reason: {unexplained[:3]}")
    reasons = {}
    for c in failed:
        text = c[6].get("reason") or c[6].get("message") or ""
        key = f"{c[6].get('result', c[6].get('error'))}: {text.splitlines()[0][:90] if text else ''}"
        reasons[key] = reasons.get(key, 0) + 1
    for key, count in sorted(reasons.items(), key=lambda kv: -kv[1])[:6]:
        print(f"    {count:4} x {key}")
    for d, m in zip(desks, marks):
        went_on = min((c[1] for c in d.calls[m:] if c[3] and c[0] >= t_writes), default=None)
        check(went_on is not None and went_on - t_writes <= GO_ON,
              f"desk {d.n} goes on {went_on - t_writes if went_on else float('inf'):.1f} s after the new "
              f"primary accepts writes")
        check(d.agent.proc.poll() is None and not d.wrote_on_failure,
              f"desk {d.n} runs on, no card written by a failed issue {d.wrote_on_failure[:2]}")
    records_checked(desks, address(new))


def records_checked(desks, host, final=False):
    calls = [c for d in desks for c in list(d.calls)]  # each ended before the records are read
    ok, out = psql(host, "SELECT CardNo, RoomNo, ChkOutMark FROM CardRecord", timeout=5)
    if not check(ok, f"the card records read from the new primary {host}"):
        return
    rows = [line.split("|") for line in out.splitlines() if line]
    numbers = [r[0] for r in rows]
    check(len(numbers) == len(set(numbers)), f"no card number twice among {len(rows)} records")
    by_no = {r[0]: r for r in rows}
    issued = [c for c in calls if c[3] and c[2] == "issue"]
    closed = [c for c in calls if c[3] and c[2] == "checkout"]
    missing = [c[4:6] for c in issued if c[4] not in by_no or by_no[c[4]][1] != c[5]]
    check(not missing, f"all {len(issued)} cards answered OK are recorded with their room: missing {missing[:5]}")
    answered = [c[4] for c in issued]
    check(len(answered) == len(set(answered)), "no card number answered OK twice")
    open_ = [c[4] for c in closed if c[4] not in by_no or by_no[c[4]][2] != "#1"]
    check(not open_, f"all {len(closed)} check-outs answered OK closed their record: open {open_[:5]}")
    stray = set(by_no) - {c[4] for c in issued} - set(KEY_CARDS)
    final and print(f"    {len(stray)} records of issues that failed after their commit reached the server: "
          f"{sorted(stray)[:5]}", flush=True)


def planned(node):
    r = cluster("failover")
    check(r.returncode == 0, f"pg_autoctl perform failover: {r.stdout[-300:]}{r.stderr[-300:]}")


def unplanned(node):
    r = cluster("lose", node)
    check(r.returncode == 0, f"the machine of {node} lost (keeper and Postgres killed): {r.stderr}")


if __name__ == "__main__":
    if os.environ.get("HOLVANTER_FAILOVER_POOLING") == "1":
        driver = subprocess.run(["odbcinst", "-q", "-d", "-n", "PostgreSQL Unicode"], capture_output=True,
                                text=True).stdout
        with open(f"{WORK}/odbcinst.ini", "w") as f:
            f.write("[ODBC]\nPooling=Yes\n\n" + driver.strip() + "\nCPTimeout=5\n")
    desks, sim = [], None
    try:
        r = subprocess.run([TAVOCARD, "hotel", "init", "--dsn", DSN, "--rooms", "1:1:0101-0150", "--force"],
                           env=env_of(WORK + "/init"), capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise SystemExit(r.stdout + r.stderr)
        psql(KEYS["SERVER"].split(",")[0], "CREATE TABLE failover_probe (at timestamptz)")
        sim = Interface()
        LINK = Agent("link", "--fias", f"127.0.0.1:{sim.port}")
        check(sim.wait_up(10), "the key link comes up")
        desks = [Desk(n) for n in range(4)]
        for d in desks:
            d.start()
        time.sleep(3)
        check(all(any(c[3] for c in d.calls) for d in desks), "every desk issues cards")
        phase("planned switch-over (pg_autoctl perform failover)", desks, sim, planned)
        phase("unplanned: the primary's machine lost", desks, sim, unplanned)
        for d in desks:
            d.stop.set()
            d.join(timeout=30)
        print("-- the desks stopped", flush=True)
        records_checked(desks, address(cluster("primary").stdout.strip()), final=True)
    finally:
        for d in desks:
            d.stop.set()
        for d in desks:
            d.join(timeout=30)
        for agent in [d.agent for d in desks] + ([LINK] if "LINK" in globals() else []):
            agent.proc.poll() is None and agent.proc.send_signal(signal.SIGTERM)
            try:
                agent.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                agent.proc.kill()
        sim and sim.close()
        shutil.rmtree(WORK, ignore_errors=True)
    total = sum(len(d.calls) for d in desks)
    print(f"failover test: {total} desk calls;", "FAILED" if failures else "passed")
    sys.exit(1 if failures else 0)

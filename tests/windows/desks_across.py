#!/usr/bin/env python3
"""Desks across Linux and Windows, for the Windows stage: the same hotel
database, one PMS interface program of our own (tests/fias/pms_interface.py)
per direction, the desks' message authentication on both sides (nettle on
Linux, CNG under Wine).

  1. a Windows desk (tavocard.exe under Wine) joins a Linux link desk; a KR
     for its coder is cut on the Windows desk's encoder;
  2. a Linux desk joins a Windows link desk; a KR for its coder is cut on the
     Linux desk's encoder.

    desks_across.py LINUX_BUILD DSN WORK WINE_ENCODER_DIR WINE_COMMAND... TAVOCARD_EXE

The Linux agent loads a copy of the build's libraries from WORK, so that its
Tavoper.ini (naming DSN, as the Windows side's does) is its own, not the
build folder's. Prints PASS and FAIL lines and a closing RESULT line.
"""
import glob, http.client, json, os, re, shutil, subprocess, sys, threading, time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fias"))
from pms_interface import Interface

LINUX_BUILD, DSN, WORK, WINE_ENCODER = sys.argv[1:5]
WINE = sys.argv[5:]
TAVOCARD = f"{LINUX_BUILD}/bin/tavocard"
LIB = f"{WORK}/linux-lib"
failures, passes, agents = [], [], []


def check(ok, what):
    print(("PASS " if ok else "FAIL ") + what, flush=True)
    (passes if ok else failures).append(what)
    return ok


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def linux_env(encoder):
    return dict(os.environ, LYCOMM_SIM_DIR=encoder, LD_LIBRARY_PATH=LIB)


def linux(encoder, *args):
    return subprocess.run([TAVOCARD, *args], env=linux_env(encoder), capture_output=True,
                          text=True, timeout=60)


class Agent:
    """A `serve` of either side; its state (token, desk secret, registry) in `state`."""

    def __init__(self, name, command, env, state, *flags):
        self.name, self.state = name, state
        os.makedirs(state, exist_ok=True)
        token = winpath(f"{state}/token") if command is WINE else f"{state}/token"
        self.proc = subprocess.Popen([*command, "serve", "--listen-port", "0", "--token-file",
                                      token, *flags], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, errors="replace")
        agents.append(self)
        self.lines, self.cond = [], threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        m = self.wait_log(r"listening on http://127\.0\.0\.1:(\d+)/", 60)
        if not m:
            raise RuntimeError(f"{name} did not start:\n{self.log()}")
        self.port = int(m.group(1))
        self.token = open(f"{state}/token").read().strip()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\r\n") + "\n")
                self.cond.notify_all()

    def log(self):
        with self.cond:
            return "".join(self.lines)

    def wait_log(self, pattern, timeout):
        with self.cond:
            self.cond.wait_for(lambda: re.search(pattern, "".join(self.lines)), timeout)
            return re.search(pattern, "".join(self.lines))

    def health(self):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        c.request("GET", "/v1/health", headers={"Authorization": "Bearer " + self.token})
        return json.loads(c.getresponse().read())

    def wait_joined(self, desk, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if any(d["name"] == desk and d["joined"] for d in self.health().get("desks", [])):
                return True
            time.sleep(0.2)
        return False

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


def blank(encoder):
    os.makedirs(encoder, exist_ok=True)
    with open(f"{encoder}/port1.card", "wb") as f:
        f.write(bytes.fromhex("5c1e93a7") + b"\xff" * 28)


def on_encoder(encoder):
    """The card number on port 0 of the encoder folder, read by the component."""
    out = linux(encoder, "read", "--json").stdout
    return json.loads(out or "{}").get("card_no")


def recorded(card, room):
    rows = json.loads(linux(WORK, "hotel", "cards", "--json").stdout or "[]")
    return any(row.get("card_no") == card and row.get("rooms") == [room] for row in rows)


def key_request(link, coder, room, desk_encoder, idle_encoder, what):
    sim = link.sim
    blank(desk_encoder)
    if os.path.exists(f"{idle_encoder}/port1.card"):
        os.remove(f"{idle_encoder}/port1.card")
    a, took = sim.request("KR", {"KC": coder, "KT": "N", "RN": room, "GD": "301231",
                                 "GN": "Desk Guest"}, timeout=60)
    m = a and re.fullmatch(r"card (\d{8}) room " + room, a.get("CT", ""))
    if not check(bool(a and a.get("AS") == "OK" and m), f"{what}: KR coder {coder} room {room} "
                 f"answered {a} in {took:.2f} s" + ("" if m else "\n" + sim.transcript())):
        return
    card = m.group(1)
    check(on_encoder(desk_encoder) == card, f"{what}: card {card} is on the desk's encoder")
    check(not os.path.exists(f"{idle_encoder}/port1.card"),
          f"{what}: the link desk's own encoder was left alone")
    check(recorded(card, room), f"{what}: card {card} is recorded in the hotel database")
    check(re.search(rf"desks: KR KC {coder} on desk \S+ port 0: OK card {card}", link.log()),
          f"{what}: the link desk logged the routed request")


def link_desk(name, command, env, state, coder, desk):
    sim = Interface()
    link = Agent(name, command, env, state, "--fias", f"127.0.0.1:{sim.port}", "--desks-listen",
                 "127.0.0.1:0", "--fias-coder", f"{coder}={desk}:0")
    link.sim = sim
    m = link.wait_log(r"listening for desks on .* \(port (\d+)\)", 10)
    link.desks_port = m and int(m.group(1))
    check(sim.wait_up(30) and bool(link.desks_port), f"{name}: key link up, listening for desks")
    return link


def main():
    # The Linux side's own copy of the component, its Tavoper.ini naming DSN.
    os.makedirs(LIB, exist_ok=True)
    for lib in glob.glob(f"{LINUX_BUILD}/lib/*.so*"):
        shutil.copy2(lib, LIB, follow_symlinks=False)
    with open(f"{LIB}/Tavoper.ini", "w") as f:
        f.write(f"[Setting]\nDataBase={DSN}\n")
    wine_env = dict(os.environ, LYCOMM_SIM_DIR=winpath(WINE_ENCODER))

    # 1. A Windows desk joins a Linux link desk.
    started = time.monotonic()
    link_encoder = f"{WORK}/linux-link/encoder"
    link = link_desk("Linux link desk", [TAVOCARD], linux_env(link_encoder), f"{WORK}/linux-link",
                     "7", "wdesk")
    pair = linux(link_encoder, "desks", "pair", "wdesk", "--registry", f"{WORK}/linux-link/desks")
    code = re.search(r"[2-9A-Z]{4}(-[2-9A-Z]{4}){3}", pair.stdout)
    if check(bool(code), "a pairing code for wdesk" + (f": {code.group(0)}" if code else pair.stdout)):
        desk = Agent("Windows desk", WINE, wine_env, f"{WORK}/wine-desk", "--join",
                     f"127.0.0.1:{link.desks_port}", "--desk", "wdesk", "--pair", code.group(0))
        if check(link.wait_joined("wdesk") and desk.health()["join"]["joined"],
                 "the Windows desk joined the Linux link desk"):
            check(os.path.exists(f"{WORK}/wine-desk/desk-secret"),
                  "the Windows desk keeps its secret beside its token")
            key_request(link, "7", "0102", WINE_ENCODER, link_encoder, "Windows desk")
            # Started again without the code: the kept secret is enough (the
            # first join was logged as "paired and joined").
            desk.stop()
            desk = Agent("Windows desk", WINE, wine_env, f"{WORK}/wine-desk", "--join",
                         f"127.0.0.1:{link.desks_port}", "--desk", "wdesk")
            check(link.wait_log(r"desks: desk wdesk joined from", 30),
                  "the Windows desk joined again with its kept secret")
        desk.stop()
    link.stop()
    link.sim.close()
    print(f"TOOK Windows desk, Linux link desk: {time.monotonic() - started:.1f} s", flush=True)

    # 2. A Linux desk joins a Windows link desk.
    started = time.monotonic()
    desk_encoder = f"{WORK}/linux-desk/encoder"
    link = link_desk("Windows link desk", WINE, wine_env, f"{WORK}/wine-link", "8", "ldesk")
    pair = subprocess.run([*WINE, "desks", "pair", "ldesk", "--registry",
                           winpath(f"{WORK}/wine-link/desks")], env=wine_env,
                          capture_output=True, text=True, errors="replace", timeout=60)
    code = re.search(r"[2-9A-Z]{4}(-[2-9A-Z]{4}){3}", pair.stdout)
    if check(bool(code), "a pairing code for ldesk from tavocard.exe" +
             (f": {code.group(0)}" if code else pair.stdout + pair.stderr)):
        desk = Agent("Linux desk", [TAVOCARD], linux_env(desk_encoder), f"{WORK}/linux-desk",
                     "--join", f"127.0.0.1:{link.desks_port}", "--desk", "ldesk",
                     "--pair", code.group(0))
        if check(link.wait_joined("ldesk") and desk.health()["join"]["joined"],
                 "the Linux desk joined the Windows link desk"):
            key_request(link, "8", "0103", desk_encoder, WINE_ENCODER, "Linux desk")
        desk.stop()
    link.stop()
    link.sim.close()
    print(f"TOOK Linux desk, Windows link desk: {time.monotonic() - started:.1f} s", flush=True)


if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # a side that did not start: its log says why
        check(False, f"{type(e).__name__}: {e}")
    finally:
        for agent in agents:
            if agent.proc.poll() is None:
                agent.proc.kill()
                agent.proc.wait()
            if failures:
                print(f"--- {agent.name}\n{agent.log()[-3000:]}")
    print(f"RESULT FAILED {len(failures)} of {len(failures) + len(passes)} checks" if failures
          else f"RESULT OK {len(passes)} checks")

#!/usr/bin/env python3
"""Runs one example program of docs/examples/ as a reader would try it: on a
scratch hotel (rooms 1:1:0101-0120 and 1:2:0201-0220, a Tavoper.ini of its
own pointing at it) with a blank card on the stand-in encoder's port 0.

    example_test.py TAVOCARD program PROGRAM   the program (c_face, cpp_face)
    example_test.py TAVOCARD agent SCRIPT.mjs  node SCRIPT against `tavocard
        serve`, told the agent's address by HOLVANTER_AGENT_URL
        (http://127.0.0.1:PORT, no slash at the end) and its token by
        HOLVANTER_AGENT_TOKEN

Passes when the program exits 0. Exits 77 (skipped) when node is missing.
"""
import os, re, shutil, signal, subprocess, sys, tempfile, threading

TAVOCARD, MODE, EXAMPLE = os.path.abspath(sys.argv[1]), sys.argv[2], os.path.abspath(sys.argv[3])
SKIPPED = 77
WORK = tempfile.mkdtemp(prefix="holvanter-example-")
ENV = {k: v for k, v in os.environ.items() if k not in ("LYCOMM_SIM_FAIL", "LD_LIBRARY_PATH")}
ENV.update(HOME=WORK, LYCOMM_SIM_DIR=os.path.join(WORK, "encoder"),
           HOLVANTER_SETTINGS_FOLDER=WORK)


def tavocard(*args):
    done = subprocess.run([TAVOCARD, *args], env=ENV, cwd=WORK, capture_output=True, text=True,
                          timeout=60)
    if done.returncode != 0:
        sys.exit(f"tavocard {' '.join(args)} ended with {done.returncode}:\n"
                 f"{done.stdout}{done.stderr}")


def run_example(command, env):
    print("$", " ".join(command), flush=True)
    try:
        done = subprocess.run(command, env=env, cwd=WORK, stdin=subprocess.DEVNULL, timeout=60)
    except subprocess.TimeoutExpired:
        sys.exit(f"{os.path.basename(EXAMPLE)} did not end within 60 s")
    if done.returncode != 0:
        sys.exit(f"{os.path.basename(EXAMPLE)} ended with {done.returncode}")


def main():
    node = shutil.which("node")
    if MODE == "agent" and not node:
        print("SKIPPED: node is not installed (./run test installs it)")
        sys.exit(SKIPPED)
    tavocard("hotel", "init", os.path.join(WORK, "hotel.db"),
             "--rooms", "1:1:0101-0120,1:2:0201-0220")
    tavocard("encoder", "insert")
    if MODE == "program":
        run_example([EXAMPLE], ENV)
    elif MODE == "agent":
        token = os.path.join(WORK, "token")
        agent = subprocess.Popen([TAVOCARD, "serve", "--listen-port", "0", "--token-file", token],
                                 env=ENV, cwd=WORK, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        try:
            seen = []
            for line in agent.stdout:
                seen.append(line)
                if (m := re.search(r"listening on (http://127\.0\.0\.1:\d+)/", line)):
                    break
            else:
                sys.exit("the agent did not start:\n" + "".join(seen))
            # The agent's log goes on beside the example's output.
            threading.Thread(target=lambda: sys.stdout.writelines(agent.stdout), daemon=True).start()
            with open(token, encoding="utf-8") as f:
                secret = f.read().strip()
            run_example([node, EXAMPLE],
                        dict(ENV, HOLVANTER_AGENT_URL=m.group(1), HOLVANTER_AGENT_TOKEN=secret))
        finally:
            agent.send_signal(signal.SIGTERM)
            agent.wait(timeout=30)
    else:
        sys.exit(f"unknown mode {MODE}")
    shutil.rmtree(WORK)
    print("ok")


try:
    main()
except SystemExit as end:
    if end.code == SKIPPED:
        shutil.rmtree(WORK)
    elif end.code != 0:
        print(f"(the scratch hotel is left in {WORK})", flush=True)
    raise

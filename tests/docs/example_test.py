#!/usr/bin/env python3
"""Runs one example program of docs/examples/ as a reader would try it: on a
scratch hotel (rooms 1:1:0101-0120 and 1:2:0201-0220, a Tavoper.ini of its
own pointing at it) with a blank card on the stand-in encoder's port 0.

    example_test.py TAVOCARD program PROGRAM   the program (c_face, cpp_face)
    example_test.py TAVOCARD agent SCRIPT.mjs  node SCRIPT against `tavocard
        serve`, told the agent's address by HOLVANTER_AGENT_URL
        (http://127.0.0.1:PORT, no slash at the end) and its token by
        HOLVANTER_AGENT_TOKEN; then again through a proxy that loses the
        answer to its first card request (the card is cut: the retry must
        carry the same Idempotency-Key, or it meets its own card in use);
        then against a port where no agent listens (one line saying so, no
        stack trace, exit 1)

Passes when the program exits 0 (1 where no agent listens). Exits 77
(skipped) when node is missing.
"""
import http.client, http.server, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading

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


def run_example(command, env, status=0):
    """Runs the example; ends the test unless it exits with `status`. Its
    output, also printed."""
    print("$", " ".join(command), flush=True)
    try:
        done = subprocess.run(command, env=env, cwd=WORK, stdin=subprocess.DEVNULL, timeout=60,
                              capture_output=True, text=True)
    except subprocess.TimeoutExpired:
        sys.exit(f"{os.path.basename(EXAMPLE)} did not end within 60 s")
    print(done.stdout + done.stderr, end="", flush=True)
    if done.returncode != status:
        sys.exit(f"{os.path.basename(EXAMPLE)} ended with {done.returncode}")
    return done


class LosesFirstAnswer(http.server.BaseHTTPRequestHandler):
    """Passes each request on to the agent at `agent` (host, port) and its
    answer back, but for the first POST: the agent does its work, and the
    connection closes without an answer, as a network that fails would."""
    protocol_version = "HTTP/1.1"
    agent = None
    lost = []

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        agent = http.client.HTTPConnection(*self.agent, timeout=60)
        agent.request(self.command, self.path, body=body, headers={
            k: v for k, v in self.headers.items() if k.lower() not in ("host", "connection")})
        answer = agent.getresponse()
        data = answer.read()
        agent.close()
        if self.command == "POST" and not self.lost:
            self.lost.append(self.path)
            self.close_connection = True
            return
        self.send_response(answer.status)
        for k, v in answer.getheaders():
            if k.lower() not in ("connection", "keep-alive", "content-length", "transfer-encoding"):
                self.send_header(k, v)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
            told = dict(ENV, HOLVANTER_AGENT_TOKEN=secret)
            run_example([node, EXAMPLE], dict(told, HOLVANTER_AGENT_URL=m.group(1)))

            # The answer to the card request lost on the way back: the same
            # request again, under the same key, gets it, and no second card.
            tavocard("encoder", "insert")
            LosesFirstAnswer.agent = ("127.0.0.1", int(m.group(1).rsplit(":", 1)[1]))
            proxy = http.server.ThreadingHTTPServer(("127.0.0.1", 0), LosesFirstAnswer)
            threading.Thread(target=proxy.serve_forever, daemon=True).start()
            try:
                run_example([node, EXAMPLE], dict(
                    told, HOLVANTER_AGENT_URL=f"http://127.0.0.1:{proxy.server_address[1]}"))
            finally:
                proxy.shutdown()
            if LosesFirstAnswer.lost != ["/v1/cards/guest"]:
                sys.exit(f"no answer was lost: {LosesFirstAnswer.lost}")

            # No agent: one line saying so, no stack trace.
            nobody = f"http://127.0.0.1:{free_port()}"
            done = run_example([node, EXAMPLE], dict(told, HOLVANTER_AGENT_URL=nobody), status=1)
            lines = done.stderr.strip().splitlines()
            if len(lines) != 1 or nobody not in lines[0] or re.search(r"^\s+at ", done.stderr, re.M):
                sys.exit(f"where no agent listens, not one line naming {nobody}: {done.stderr!r}")
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

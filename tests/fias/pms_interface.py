#!/usr/bin/env python3
"""A PMS interface program of our own, for tests of the FIAS key link: the TCP
server on 127.0.0.1 that a key system connects to.

    pms_interface.py [--port N] [--key FILE] [--silent 1]   prints every record
        in and out; sends each line typed (KR|KC1|KTN|RN0203|GDYYMMDD|)
    pms_interface.py selfcheck   the framing, the codec and the cryptogram
        check against hand-made bytes

Record values are str holding the bytes as Latin-1, so text of any site code
page passes unchanged: Record("KR", [("GN", "李".encode("gbk").decode("latin-1"))]).
"""
import base64, contextlib, re, socket, subprocess, sys, threading, time

STX, ETX = 0x02, 0x03
MAX_RECORD = 8 * 1024


class Record:
    def __init__(self, rid, fields=()):
        self.id, self.fields = rid, list(fields)

    def get(self, fid, default=None):
        return next((v for f, v in self.fields if f == fid), default)

    def has(self, fid):
        return self.get(fid) is not None

    def text(self):
        return self.id + "|" + "".join(f + v + "|" for f, v in self.fields)

    __repr__ = text


def parse(text):
    """The record of a framed text (bytes), or None when it is no record."""
    s = text.decode("latin-1")
    if len(s) < 3 or not (s[:2].isascii() and s[:2].isalnum()) or s[2] != "|" \
            or any(ord(c) < 0x20 or c == "\x7f" for c in s):
        return None
    body, fields = s[3:], []
    if body:
        if not body.endswith("|"):
            return None
        for part in body[:-1].split("|"):
            if len(part) < 2:
                return None
            fields.append((part[:2], part[2:]))
    return Record(s[:2], fields)


def frame(record):
    return bytes([STX]) + record.text().encode("latin-1") + bytes([ETX])


class Framer:
    """Record texts out of a byte stream: bytes outside STX...ETX are dropped,
    and so is a record that grows past 8 KiB without an ETX."""

    def __init__(self):
        self.buf, self.inside = bytearray(), False

    def feed(self, data):
        out = []
        for b in data:
            if b == STX:
                self.buf, self.inside = bytearray(), True
            elif not self.inside:
                continue
            elif b == ETX:
                out.append(bytes(self.buf))
                self.inside = False
            elif len(self.buf) >= MAX_RECORD:
                self.inside = False
            else:
                self.buf.append(b)
        return out


def stamp(skew=0):
    """DA and TI of now on the local clock, `skew` seconds off."""
    t = time.localtime(time.time() + skew)
    return time.strftime("%y%m%d", t), time.strftime("%H%M%S", t)


def read_key(path):
    """The 16-byte key of a hand-over text file: FidCrypt0S|<base64>."""
    text = open(path).read().strip()
    assert text.startswith("FidCrypt0S|"), f"{path} holds no hand-over text"
    return base64.b64decode(text[11:], validate=True)


def cryptogram_text(key, cg):
    """What a cryptogram FidCryptAB;<base64 IV><base64 AES-128-CBC> holds,
    decrypted under `key` by openssl; None when it is none or does not
    decrypt."""
    if not cg.startswith("FidCryptAB;") or len(cg) < 11 + 24 + 24:
        return None
    try:
        iv = base64.b64decode(cg[11:35], validate=True)
        secret = base64.b64decode(cg[35:], validate=True)
    except ValueError:
        return None
    r = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key.hex(), "-iv", iv.hex()],
                       input=secret, capture_output=True)
    return r.stdout.decode("latin-1") if r.returncode == 0 else None


class Interface:
    """The interface program: one key system at a time (a second connection
    drops the first); answers link records; sends key records for tests.
    silent: no LS on connect, so that the key system starts the link. key: the
    16-byte key of connection authentication: every LD must carry RT and a CG
    over the DA and TI of the last link record sent. skew: seconds the
    interface's clock is off. skip_la: set-up LAs to leave unanswered."""

    def __init__(self, port=0, key=None, silent=False, skew=0, trace=False):
        self.key, self.silent, self.skew, self.trace = key, silent, skew, trace
        self.cond = threading.Condition()
        self.send_lock = threading.Lock()
        self.conn, self.up, self.ending = None, False, False
        self.connections = self.described = self.skip_la = self.serial = 0
        self.inbox = []        # every record from the key system, in order
        self.exchange = []     # ("in" | "out", record text), for failure reports
        self.problems = []     # what the key system did against the protocol
        self.cryptograms = []  # (CG, verified) of each LD
        self.accepted_at = self.last_stamp = None
        self._listen(port)

    def _listen(self, port):
        self.server = socket.create_server(("127.0.0.1", port))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, args=(self.server,), daemon=True).start()

    def _accept(self, server):
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.cond:
                old, self.conn = self.conn, conn
                self.connections += 1
                self.up = self.ending = False
                self.accepted_at = time.monotonic()
                self.cond.notify_all()
            if old is not None:
                self._drop(old)
            threading.Thread(target=self._read, args=(conn,), daemon=True).start()
            self.silent or self.send_link("LS")

    def _drop(self, sock):
        with contextlib.suppress(OSError):
            sock.shutdown(socket.SHUT_RDWR)  # also wakes a thread in accept()
        sock.close()

    def _read(self, conn):
        framer = Framer()
        with contextlib.suppress(OSError):
            while data := conn.recv(65536):
                for text in framer.feed(data):
                    if (record := parse(text)) is None:
                        self.problems.append(f"a malformed record from the key system: {text[:80]!r}")
                    else:
                        self._received(conn, record)
        with self.cond:
            if self.conn is conn:
                self.conn, self.up = None, False
            self.cond.notify_all()
        conn.close()

    def _received(self, conn, record):
        record.at = time.monotonic()
        self._note("in", record.text(), record)
        if conn is not self.conn:
            return
        if record.id == "LS":
            self.send_link("LA" if self.up else "LS")  # an alive check, or the key system starts
        elif record.id == "LD":
            self._check_description(record)
        elif record.id == "LA" and not self.up:
            if self.key and not (self.cryptograms and self.cryptograms[-1][1]):
                return  # a wrong cryptogram: this interface stops talking
            if self.skip_la:
                self.skip_la -= 1
                return
            self.send_link("LA")
            with self.cond:
                self.up = True
                self.cond.notify_all()
        elif record.id == "LE":
            if not self.ending:
                self.send_link("LE")
            self._drop(conn)

    def _check_description(self, ld):
        self.described += 1
        for field, want in [("IF", "DL"), ("DA", None), ("TI", None), ("V#", None)]:
            if not ld.has(field) or (want and ld.get(field) != want):
                self.problems.append(f"LD without {field}{want or ''}: {ld.text()}")
        if self.key:
            cg = ld.get("CG", "")
            text = cryptogram_text(self.key, cg)
            ok = text is not None and text == self.last_stamp and \
                bool(re.fullmatch(r"0*[1-9]\d*", ld.get("RT", "")))
            self.cryptograms.append((cg, ok))
            if not ok:
                self.problems.append(f"LD with a wrong cryptogram or RT (holds {text!r}, "
                                     f"wanted {self.last_stamp!r}): {ld.text()}")

    def send(self, record, raw=None):
        with self.send_lock:
            conn = self.conn
            if conn is None:
                return False
            if record is not None and record.id[0] == "L" and record.has("DA"):
                self.last_stamp = record.get("DA") + record.get("TI", "")
            self._note("out", record.text() if record is not None else f"(raw {len(raw)} bytes)")
            try:
                conn.sendall(raw if raw is not None else frame(record))
            except OSError:
                return False
        return True

    def _note(self, direction, text, record=None):
        with self.cond:
            self.exchange.append((direction, text))
            if record is not None:
                self.inbox.append(record)
            self.cond.notify_all()
        if self.trace:
            print(direction, text, flush=True)

    def send_link(self, rid):
        da, ti = stamp(self.skew)
        return self.send(Record(rid, [("DA", da), ("TI", ti)]))

    def inject(self, data, byte_by_byte=False):
        """Raw bytes: garbage, or a record split into one write per byte."""
        for piece in ([data[i:i + 1] for i in range(len(data))] if byte_by_byte else [data]):
            self.send(None, raw=piece) and byte_by_byte and time.sleep(0.002)

    def link_start(self, rid="LS"):
        """LS while the link is up: the interface restarted; LE: it ends the link."""
        with self.cond:
            self.up, self.ending = False, rid == "LE"
        return self.send_link(rid)

    def restart(self, down=1.0):
        """The interface program stops (the connection and the listening
        socket close) and comes back on the same port after `down` s."""
        self.close()
        time.sleep(down)
        self._listen(self.port)

    def close(self):
        self._drop(self.server)
        with self.cond:
            conn, self.conn, self.up = self.conn, None, False
        if conn is not None:
            self._drop(conn)

    def wait(self, predicate, timeout):
        with self.cond:
            return self.cond.wait_for(predicate, timeout)

    def wait_up(self, timeout=10):
        return self.wait(lambda: self.up, timeout)

    def request(self, rid, fields, timeout=10):
        """Sends a key record (KR, KD, KZ) and waits for its answer: the next
        KA (KZ for a KZ) that echoes its WS (and G#). The missing WS, G#, DA
        and TI are made up; a field given as None is left out. Returns the
        answer and the seconds it took, or (None, timeout)."""
        with self.cond:
            self.serial += 1
            start = len(self.inbox)
        da, ti = stamp(self.skew)
        given = dict({"WS": f"W{self.serial}", "DA": da, "TI": ti}, **fields)
        if rid != "KZ":
            given.setdefault("G#", str(50000 + self.serial))
        record = Record(rid, [(f, v) for f, v in given.items() if v is not None])
        answer_id = "KZ" if rid == "KZ" else "KA"
        echoes = ["WS"] + (["G#"] if answer_id == "KA" and record.has("G#") else [])

        def answer():
            return next((r for r in self.inbox[start:] if r.id == answer_id and
                         all(r.get(f) == record.get(f) for f in echoes)), None)

        sent = time.monotonic()
        if not self.send(record):
            return None, 0.0
        got = self.wait(answer, timeout)
        return got, time.monotonic() - sent

    def transcript(self, last=12):
        with self.cond:
            return "\n".join(f"  {d:3} {t[:160]}" for d, t in self.exchange[-last:])


# ---------------------------------------------------------------- self-check
def selfcheck():
    failed = []

    def texts(chunks):
        f = Framer()
        return [t for c in chunks for t in f.feed(c)]

    ls = b"\x02LS|DA170831|TI102201|\x03"
    for name, chunks, want in [
            ("one record", [ls], [b"LS|DA170831|TI102201|"]),
            ("byte by byte", [ls[i:i + 1] for i in range(len(ls))], [b"LS|DA170831|TI102201|"]),
            ("two in one read, garbage around", [b"xx\x03\x02LA|\x03junk\x02LE|\x03zz"], [b"LA|", b"LE|"]),
            ("one over three reads", [b"\x02KA|AS", b"OK|CTcard", b" 1|\x03"], [b"KA|ASOK|CTcard 1|"]),
            ("an STX restarts", [b"\x02KA|AS\x02LA|\x03"], [b"LA|"]),
            ("9 KiB unframed, then a record", [b"\x02" + b"A" * 9216, b"\x03\x02LA|\x03"], [b"LA|"]),
            ("8 KiB exactly is a record", [b"\x02" + b"A" * 8192 + b"\x03"], [b"A" * 8192])]:
        if texts(chunks) != want:
            failed.append(f"framing, {name}: {texts(chunks)!r:.80}")

    gn = "Müller".encode("cp1252").decode("latin-1")
    for text, want in [
            (b"KR|WS3|KC1|RN0203|", ("KR", [("WS", "3"), ("KC", "1"), ("RN", "0203")])),
            (b"KR|RN 203|GN|", ("KR", [("RN", " 203"), ("GN", "")])),
            (b"LS|", ("LS", [])),
            (b"KR|GN" + gn.encode("latin-1") + b"|", ("KR", [("GN", gn)])),
            (b"K|", None), (b"KR", None), (b"KR|X|", None), (b"KR|RN0203", None),
            (b"KR|RN02\x0103|", None), (b"\xfcR|RN1|", None)]:
        r = parse(text)
        if (r and (r.id, r.fields)) != want:
            failed.append(f"parse {text!r}: {r}")
    if frame(Record("KA", [("AS", "OK"), ("GN", gn)])) != b"\x02KA|ASOK|GNM\xfcller|\x03":
        failed.append("frame")

    key = base64.b64decode("GVDpVnl6qYlTQXQJZxXdbw==")
    cg = "FidCryptAB;3k57hsoHm04fGEyaA3+UVw==oNTebC0J36LY8GV9azyhzw=="
    for name, k, c, want in [("the test vector", key, cg, "170831102201"),
                             ("another key", bytes(16), cg, None),
                             ("no prefix", key, cg[11:], None),
                             ("not base64", key, cg[:20] + "!" + cg[21:], None)]:
        if (got := cryptogram_text(k, c)) != want:
            failed.append(f"cryptogram, {name}: {got!r}")
    for f in failed:
        print("FAIL", f)
    print("pms_interface selfcheck:", "FAILED" if failed else "passed")
    return 1 if failed else 0


def main(argv):
    if argv[:1] == ["selfcheck"]:
        return selfcheck()
    opts = dict(zip(argv[::2], argv[1::2]))  # --port N, --key FILE (a hand-over text), --silent 1
    ifc = Interface(int(opts.get("--port", 0)), key=opts.get("--key") and read_key(opts["--key"]),
                    silent="--silent" in opts, trace=True)
    print(f"listening on 127.0.0.1:{ifc.port}", flush=True)
    for line in sys.stdin:  # typed text travels as UTF-8
        (record := parse(line.strip().encode("utf-8"))) and ifc.send(record) or print("not sent")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""The documents (README.md and docs/*.md) against the product they describe.

    docs_test.py TAVOCARD ROOT

Every command block (sh, bash, shell, console, powershell, bat, cmd) says
above it whether it is run here (<!-- run -->) or why not
(<!-- not run: REASON -->); the run blocks are run, document by document, as
a reader would type them: in a fresh folder that is the working directory
and HOME, with the built tavocard first on PATH and the stand-in encoder's
cards in ./encoder. A translation (docs/LANGUAGE/NAME.md) has the sections
and command blocks of docs/NAME.md, and every picture shown is there. Every <!-- example: docs/examples/FILE --> block holds
that file's text, and every file in docs/examples/ is shown by a document.
A program block (C, C++, scripts) is either such an example or marked as an
untested sketch. Prints one line per command block and fails on any fault,
naming file:line.
"""
import os, re, shutil, signal, subprocess, sys, tempfile, time

TAVOCARD = os.path.abspath(sys.argv[1])
ROOT = os.path.abspath(sys.argv[2])
BLOCK_TIMEOUT = float(os.environ.get("HOLVANTER_DOCS_BLOCK_TIMEOUT", "60"))

COMMAND_LANGUAGES = {"sh", "bash", "shell", "console", "powershell", "bat", "cmd"}
# Code a reader would compile or run: shown from docs/examples/ (and so
# tested) or said to be a sketch.
PROGRAM_LANGUAGES = {"c", "cpp", "c++", "cc", "vbscript", "vbs", "javascript", "js", "jscript",
                     "mjs", "csharp", "cs", "c#", "pascal", "delphi", "python", "py"}
RUN = re.compile(r"<!-- run -->")
NOT_RUN = re.compile(r"<!-- not run: (\S.*?) -->")
EXAMPLE = re.compile(r"<!-- example: (\S+) -->")
SKETCH = re.compile(r"<!-- sketch: not compiled or run here \((\S.*?)\) -->")
FENCE = re.compile(r"^( {0,3})(`{3,}|~{3,})(.*)$")

faults = []


def fault(where, what):
    faults.append(f"{where}: {what}")


class Block:
    def __init__(self, doc, line, info, marker, body):
        self.doc, self.line, self.marker, self.body = doc, line, marker, body
        self.language = info.split()[0].lower() if info.split() else ""
        self.where = f"{doc}:{line}"


def blocks_of(doc):
    """The fenced blocks of one document, each with the nearest non-blank
    line above its opening fence."""
    with open(os.path.join(ROOT, doc), encoding="utf-8") as f:
        lines = f.read().split("\n")
    found, i = [], 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m or (m.group(2)[0] == "`" and "`" in m.group(3)):
            i += 1
            continue
        indent, fence, info = len(m.group(1)), m.group(2), m.group(3).strip()
        above = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
        body, j = [], i + 1
        while j < len(lines):
            close = FENCE.match(lines[j])
            if close and close.group(2)[0] == fence[0] and len(close.group(2)) >= len(fence) \
                    and not close.group(3).strip():
                break
            # A fence indented in a list item indents its text as much.
            text = lines[j]
            body.append(text[min(indent, len(text) - len(text.lstrip(" "))):])
            j += 1
        if j == len(lines):
            fault(f"{doc}:{i + 1}", "the block is never closed")
        found.append(Block(doc, i + 1, info, above, "\n".join(body)))
        i = j + 1
    return found


def documents():
    docs = ["README.md"] if os.path.isfile(os.path.join(ROOT, "README.md")) else []
    folder = os.path.join(ROOT, "docs")
    if os.path.isdir(folder):
        docs += sorted("docs/" + name for name in os.listdir(folder) if name.endswith(".md"))
        # Translations, one folder per language (docs/zh-CN/).
        for language in sorted(os.listdir(folder)):
            if os.path.isdir(os.path.join(folder, language)) and language != "examples":
                docs += sorted(f"docs/{language}/{name}"
                               for name in os.listdir(os.path.join(folder, language)) if name.endswith(".md"))
    return docs


HEADING = re.compile(r"^(#{1,6}) \S")
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")


def outline(doc):
    """A document's heading levels in order and its pictures, outside fenced
    blocks; each picture as (line, path as written)."""
    with open(os.path.join(ROOT, doc), encoding="utf-8") as f:
        lines = f.read().split("\n")
    levels, images, fence = [], [], None
    for number, line in enumerate(lines, 1):
        m = FENCE.match(line)
        if m and (fence is None or (m.group(2)[0] == fence[0] and len(m.group(2)) >= len(fence))):
            fence = m.group(2) if fence is None else None
            continue
        if fence is None:
            if (h := HEADING.match(line)):
                levels.append(len(h.group(1)))
            images += [(number, path) for path in IMAGE.findall(line)]
    return levels, images


def without_comments(body):
    """A command block as it runs: its shell comments, which a translation
    says in its own language, left out."""
    kept = []
    for line in body.split("\n"):
        line = re.sub(r"(^|\s)#\s.*$", "", line).rstrip()
        if line:
            kept.append(line)
    return "\n".join(kept)


def check_in_step(docs, blocks):
    """Every picture a document shows is there; a translation has the
    sections of its original, in order and at the same levels, and the same
    command blocks with the same markers."""
    for doc in docs:
        for line, path in outline(doc)[1]:
            if "://" not in path and not os.path.isfile(
                    os.path.normpath(os.path.join(ROOT, os.path.dirname(doc), path))):
                fault(f"{doc}:{line}", f"the picture {path} is not there")
    for doc in docs:
        parts = doc.split("/")
        if len(parts) != 3:
            continue
        original = f"docs/{parts[2]}"
        if original not in docs:
            fault(doc, f"a translation of {original}, which does not exist")
            continue
        ours, theirs = outline(doc)[0], outline(original)[0]
        if ours != theirs:
            n = next((k for k in range(min(len(ours), len(theirs))) if ours[k] != theirs[k]),
                     min(len(ours), len(theirs)))
            fault(doc, f"its sections part from {original}'s at heading {n + 1}: levels "
                       f"{ours[n:n + 5]} against {theirs[n:n + 5]}")
        commands = lambda d: [b for b in blocks[d] if b.language in COMMAND_LANGUAGES]
        ours, theirs = commands(doc), commands(original)
        if len(ours) != len(theirs):
            fault(doc, f"{len(ours)} command blocks, {original} has {len(theirs)}")
        for a, b in zip(ours, theirs):
            if a.marker != b.marker or without_comments(a.body) != without_comments(b.body):
                fault(a.where, f"this command block is not the one at {b.where}")


def check_example(block, shown):
    path = EXAMPLE.fullmatch(block.marker).group(1)
    shown.add(os.path.normpath(path))
    if not path.startswith("docs/examples/") or ".." in path.split("/"):
        fault(block.where, f"an example must be a file of docs/examples/, not {path}")
        return
    try:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        fault(block.where, f"the example {path} cannot be read: {e.strerror}")
        return
    if text.rstrip("\n") != block.body.rstrip("\n"):
        ours, theirs = block.body.rstrip("\n").split("\n"), text.rstrip("\n").split("\n")
        n = next((k for k in range(min(len(ours), len(theirs))) if ours[k] != theirs[k]),
                 min(len(ours), len(theirs)))
        fault(block.where, f"the block is not {path}: they part at its line {n + 1}:\n"
                           f"    block: {ours[n] if n < len(ours) else '(ends)'}\n"
                           f"    file:  {theirs[n] if n < len(theirs) else '(ends)'}")


class Document:
    """The scratch folder and process group in which one document's run
    blocks run, one after another, as one reader at one terminal."""

    def __init__(self, work, bin_dir, doc):
        self.folder = os.path.join(work, doc.replace("/", "_") + ".d")
        self.logs = os.path.join(work, "logs")
        os.makedirs(self.folder)
        os.makedirs(self.logs, exist_ok=True)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("XDG_STATE_HOME", "LYCOMM_SIM_FAIL", "LD_LIBRARY_PATH")}
        # One Tavoper.ini for the whole run, as beside one component.
        self.env.update(HOME=self.folder, LYCOMM_SIM_DIR=os.path.join(self.folder, "encoder"),
                        HOLVANTER_SETTINGS_FOLDER=work,
                        PATH=bin_dir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
        # A process that leads the document's group for as long as the
        # document runs, so that every block joins the same group and a
        # server a block started in the background is stopped with it.
        self.leader = subprocess.Popen(["sleep", "infinity"], preexec_fn=lambda: os.setpgid(0, 0))

    def run(self, block, number):
        script = os.path.join(self.logs, f"{os.path.basename(self.folder)}-{number}.sh")
        with open(script, "w", encoding="utf-8") as f:
            f.write(block.body + "\n")
        log = script[:-3] + ".log"
        group = self.leader.pid
        # Output goes to a file, not a pipe: a server left running in the
        # background holds it open.
        with open(log, "wb") as out:
            proc = subprocess.Popen(["bash", "-e", "-o", "pipefail", script], cwd=self.folder,
                                    env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT,
                                    preexec_fn=lambda: os.setpgid(0, group))
            started = time.monotonic()
            try:
                status = proc.wait(timeout=BLOCK_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                status = None
        took = time.monotonic() - started
        with open(log, encoding="utf-8", errors="replace") as f:
            output = f.read()
        return status, took, output

    def end(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.leader.pid, sig)
            except ProcessLookupError:
                break
            if sig == signal.SIGTERM:
                time.sleep(0.3)
        self.leader.wait()


def main():
    docs = documents()
    if not docs:
        sys.exit(f"no README.md and no docs/*.md in {ROOT}")
    work = tempfile.mkdtemp(prefix="holvanter-docs-")
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    os.symlink(TAVOCARD, os.path.join(bin_dir, "tavocard"))
    shown, listing, counts = set(), [], {"run": 0, "not run": 0, "not reached": 0}
    all_blocks = {doc: blocks_of(doc) for doc in docs}
    check_in_step(docs, all_blocks)
    for doc in docs:
        blocks = all_blocks[doc]
        command_blocks = []
        for block in blocks:
            if EXAMPLE.fullmatch(block.marker):
                if block.language in COMMAND_LANGUAGES:
                    fault(block.where, "a command block needs <!-- run --> or <!-- not run: ... -->"
                                       ", not an example marker")
                check_example(block, shown)
            elif block.language in COMMAND_LANGUAGES:
                command_blocks.append(block)
            elif block.language in PROGRAM_LANGUAGES and not SKETCH.fullmatch(block.marker):
                fault(block.where, f"a {block.language} block is neither <!-- example: "
                                   "docs/examples/FILE --> nor <!-- sketch: not compiled or run "
                                   "here (REASON) -->")
        document = None
        failed_before = None
        for number, block in enumerate(command_blocks, 1):
            if (m := NOT_RUN.fullmatch(block.marker)):
                counts["not run"] += 1
                listing.append(f"{block.where} not run ({m.group(1)})")
                continue
            if not RUN.fullmatch(block.marker):
                fault(block.where, "a command block needs <!-- run --> or <!-- not run: REASON -->"
                                   f" on the nearest line above it, not: {block.marker or '(nothing)'}")
                listing.append(f"{block.where} FAIL (no run or not-run marker)")
                continue
            if failed_before:
                counts["not reached"] += 1
                listing.append(f"{block.where} run: FAIL (not reached: {failed_before} failed)")
                continue
            counts["run"] += 1
            document = document or Document(work, bin_dir, doc)
            status, took, output = document.run(block, number)
            if status == 0:
                listing.append(f"{block.where} run: pass ({took:.1f} s)")
                continue
            why = f"timed out after {BLOCK_TIMEOUT:.0f} s" if status is None else f"exit {status}"
            if status == 127:
                why += ", a command was not found"
            listing.append(f"{block.where} run: FAIL ({why})")
            fault(block.where, f"the block failed ({why}); its output:\n" +
                  "".join("    | " + line + "\n" for line in output.rstrip("\n").split("\n"))
                  if output.strip() else f"the block failed ({why}), printing nothing")
            failed_before = block.where
        if document:
            document.end()
    examples = os.path.join(ROOT, "docs", "examples")
    if os.path.isdir(examples):
        for name in sorted(os.listdir(examples)):
            path = os.path.normpath(f"docs/examples/{name}")
            if path not in shown:
                fault(path, "no document shows it (<!-- example: docs/examples/"
                            f"{name} --> above a block that holds it)")
    print("\n".join(listing))
    print(f"{len(docs)} documents, {counts['run']} blocks run, {counts['not run']} not run, "
          f"{counts['not reached']} not reached, {len(shown)} examples shown")
    if faults:
        print(f"\n{len(faults)} faults:")
        print("\n".join("FAIL " + f for f in faults))
        print(f"(the scratch folders are left in {work})")
        sys.exit(1)
    shutil.rmtree(work)


main()

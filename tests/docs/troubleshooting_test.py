#!/usr/bin/env python3
"""docs/troubleshooting.md against what the product can say: every answer
the key link can send (its status and the fixed words of its clear text,
from the key link's and the desks' sources and the brief meanings of the
component's table), and every error code of the agent's OpenAPI document.

    troubleshooting_test.py ROOT
"""
import json, os, re, sys

ROOT = sys.argv[1]
read = lambda path: open(os.path.join(ROOT, path), encoding="utf-8").read()
doc = read("docs/troubleshooting.md")
faults = []

# A C++ string expression's fixed words: its literals of 8 characters or
# more ("desk " + desk + " not connected" -> " not connected").
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
fixed = lambda expression: [s.strip() for s in STRING.findall(expression) if len(s.strip()) >= 8]

# The answers of the key link and the desks: Answer(request, "AS", TEXT),
# refuse(TEXT), Verdict{"AS", TEXT}; TEXT up to the call's closing bracket.
ANSWER = re.compile(r'(?:Answer\(\s*[\w.]+,\s*"([A-Z]{2})",|refuse\(|Verdict\{\s*"([A-Z]{2})",)'
                    r'((?:[^;(){}]|\([^;()]*\))*)[)}]', re.S)
sources = [os.path.join(folder, name) for folder in ("hosts/fias", "hosts/desks")
           for name in sorted(os.listdir(os.path.join(ROOT, folder))) if name.endswith(".cc")]
statuses, texts = set(), 0
for source in sources:
    for m in ANSWER.finditer(read(source)):
        statuses.add(m.group(1) or m.group(2) or "UR")
        for words in fixed(m.group(3)):
            texts += 1
            if words not in doc:
                faults.append(f"{source}: the key link can answer \"{words}\", which the document does not name")
for status in sorted(statuses):
    if not re.search(rf"^#+ .*`{status}[ `]", doc, re.M):
        faults.append(f"no section for the answer status {status}")

# The brief meanings of result codes, which the key link sends as its text.
meanings = re.findall(r'\{r::k\w+, (?:true|false), "([^"]+)"', read("component/result_meanings.cc"))
for brief in meanings:
    if brief != "done" and brief not in doc:
        faults.append(f"the brief meaning \"{brief}\" is not in the document")

# Every error code of the agent's API: the values of "code" properties
# (an enum, an example or a constant) anywhere in its OpenAPI document.
codes = set()
def walk(node, key=None):
    if isinstance(node, dict):
        for k, v in node.items():
            if k == "code" and isinstance(v, str) and re.fullmatch(r"[a-z][a-z0-9_]*", v):
                codes.add(v)
            if k == "code" and isinstance(v, dict):
                codes.update(c for c in v.get("enum", []) if isinstance(c, str))
                if isinstance(v.get("const"), str):
                    codes.add(v["const"])
            walk(v, k)
    elif isinstance(node, list):
        for v in node:
            walk(v, key)
walk(json.loads(read("hosts/agent/openapi.json")))
for code in sorted(codes):
    if f"`{code}`" not in doc:
        faults.append(f"the agent's error code {code} is not in the document")

for f in faults:
    print("FAIL", f)
print(f"troubleshooting.md: {texts} clear texts of {len(sources)} sources, {len(statuses)} statuses, "
      f"{len(meanings)} brief meanings, {len(codes)} API error codes checked; {len(faults)} missing")
sys.exit(1 if faults else 0)

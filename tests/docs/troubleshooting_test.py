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

# The Chinese guide tells the clerk, in a table, what each answer text the
# PMS can show means: every text the headings of "What the PMS shows" quote.
zh = read("docs/zh-CN/at-the-desk.md")
shown = doc.split("\n## What the PMS shows", 1)[1].split("\n## ", 1)[0]
pms_texts = {re.sub(r"^[A-Z]{2} ", "", quoted)
             for heading in re.findall(r"^### (.*)$", shown, re.M)
             for quoted in re.findall(r"`([^`]+)`", heading)} - {"UR"}
for text in sorted(pms_texts):
    if not re.search(r"^\|.*`" + re.escape(text) + "`", zh, re.M):
        faults.append(f"the PMS text \"{text}\" has no row in docs/zh-CN/at-the-desk.md")

# The Chinese the clerk reads, in the guide, on the page and in the agent's
# answers, uses the front desk's own words: one word for one thing.
words_js = read("hosts/agent/page/words.js")
chinese = {"docs/zh-CN/at-the-desk.md": zh,
           "hosts/agent/page/words.js": words_js[words_js.index("  zh: {"):],
           "hosts/agent/clerk_words.cc": read("hosts/agent/clerk_words.cc")}
not_said = {"编码器": "发卡器", "替身发卡器": "模拟发卡器", "口令": "令牌", "代理": "发卡服务",
            "各种回答": "各提示的含义", "这次什么也没做": "未做任何操作", "发卡调用失败": "操作失败",
            "没有可退的房": "这张卡没有可退房的记录", "没有写成": "写卡未完成", "同一住宿再发一张卡": "为同一住客加发一张卡",
            "客人": "住客", "延长住宿": "续住"}
for path, text in chinese.items():
    for wrong, right in not_said.items():
        if wrong in text:
            faults.append(f"{path} says {wrong}, where the front desk says {right}")
    for m in re.finditer(r"[0-9}] ?分(?!钟)", text):
        faults.append(f"{path} says minutes as 分 alone ({text[m.start():m.end() + 2]!r}): 分钟")
    # 制卡 is the PMS's word for its own button, and only quoted.
    for m in re.finditer(r"(.)制卡", text):
        if m.group(1) != "“":
            faults.append(f"{path} says 制卡 where the desk says 发卡: {text[m.start() - 10:m.end() + 5]!r}")

# A log line shown in a document begins as the agent writes it: the moment
# in UTC, "2025-12-08T02:50:01Z" (hosts/agent/agent_log.cc).
if "UtcTimeText" not in read("hosts/agent/agent_log.cc"):
    faults.append("the agent's log stamp is no longer UTC: change this check with the documents")
for path in ("docs/installing.md", "docs/troubleshooting.md"):
    for block in re.findall(r"```text\n(.*?)```", read(path), re.S):
        for line in block.split("\n"):
            if re.match(r"\s*\d{4}-\d\d-\d\d", line) and \
                    not re.match(r"\s*\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \S", line):
                faults.append(f"{path}: the log line {line.strip()!r} is not as the agent writes it")

for f in faults:
    print("FAIL", f)
print(f"troubleshooting.md: {texts} clear texts of {len(sources)} sources, {len(statuses)} statuses, "
      f"{len(meanings)} brief meanings, {len(codes)} API error codes checked; {len(pms_texts)} PMS texts "
      f"in the Chinese guide; {len(faults)} missing")
sys.exit(1 if faults else 0)

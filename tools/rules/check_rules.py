#!/usr/bin/env python3
"""Keeps the simulated machine's verifier rules, their registry and their
proofs in step.

Three places must agree:
  - the sim's sources, which report rules by name
    (ReportViolation("RULE", ...), or a table of reports that is forwarded
    to ReportViolation);
  - the registry, sim/kernel/ke_rules.cpp, one {"RULE", "area", "what it
    catches"} row per rule;
  - the tests, where a rule is proved by a test that breaks it on purpose and
    asserts that the verifier named it: TakeViolation("RULE"),
    HasViolation("RULE"), StopAndTake("RULE") or v.rule == "RULE", or a
    parameterised table of such names asserted through a `rule` field.

Fails, listing each one, for a rule reported but not in the registry, in the
registry but never reported, or never proved; and when README.md states a
rule count other than the registry's. `--list` prints the registry as a
markdown table instead. Python standard library only.
"""

import argparse
import os
import re
import sys

REGISTRY = os.path.join("sim", "kernel", "ke_rules.cpp")
SOURCE_DIRS = ["sim", "vbus"]
TEST_DIRS = ["tests"]
README = "README.md"
CODE_EXTENSIONS = (".cpp", ".h")

NAME = r"[A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+"
STRING = r'"(?:[^"\\\n]|\\.)*"'

# A registry row: {"RULE", "area", "what" "it" "catches"}.
ROW = re.compile(r'\{\s*"(' + NAME + r')"\s*,\s*"([a-zA-Z0-9 ]+)"\s*,\s*((?:' + STRING + r'\s*)+)\}')
# A report by literal name.
REPORT = re.compile(r'\bReportViolation\s*\(\s*"(' + NAME + r')"')
# A report whose name comes from a variable: the file forwards a table.
FORWARD = re.compile(r"\bReportViolation\s*\(\s*[A-Za-z_][\w.>\-\[\]]*\s*,")
# The first field of a brace initialiser in such a file.
TABLE_ENTRY = re.compile(r'\{\s*"(' + NAME + r')"\s*,(?!\s*")')
# An assertion that the verifier named a rule.
ASSERTED = re.compile(r'\b(?:(?:Take|Has|Expect)Violation|StopAndTake)\s*\(\s*"(' + NAME + r')"')
RULE_FIELD = re.compile(r'\.rule\s*,\s*"(' + NAME + r')"|"(' + NAME + r')"\s*,\s*\w+(?:\[\w+\])?\.rule\b')
# A file that asserts a rule taken from a table of cases.
ASSERTS_TABLE = re.compile(r"\b(?:(?:Take|Has|Expect)Violation|StopAndTake)\s*\(\s*[A-Za-z_][\w.>\-\[\]()]*\brule\s*\)"
                           r"|\.rule\s*,\s*\w+(?:\.|->)rule\s*\)")
ANY_NAME = re.compile(r'"(' + NAME + r')"')
NEGATED = re.compile(r"(?:(?:EXPECT|ASSERT)_FALSE\s*\(\s*|!\s*)(?:\w+::)*$")
TEST_NAME = re.compile(r"\bTEST(?:_F|_P)?\s*\(\s*\w+\s*,\s*(\w+)\s*\)")
README_COUNT = re.compile(r"(\d+) verifier rules")


def strip_comments(text):
    """Blanks comments (keeping line breaks and string literals), so that a
    rule named in a comment neither counts as reported nor as proved."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '"' or c == "'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def code_files(root, dirs):
    for d in dirs:
        for base, subdirs, files in os.walk(os.path.join(root, d)):
            subdirs.sort()
            for f in sorted(files):
                if f.endswith(CODE_EXTENSIONS):
                    path = os.path.join(base, f)
                    with open(path, encoding="utf-8", errors="replace") as fh:
                        yield os.path.relpath(path, root), strip_comments(fh.read())


def unquote(literals):
    parts = re.findall(STRING, literals)
    return "".join(p[1:-1].replace('\\"', '"').replace("\\\\", "\\") for p in parts)


def read_registry(root):
    """Returns [(rule, area, description)] in table order."""
    path = os.path.join(root, REGISTRY)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as fh:
        text = strip_comments(fh.read())
    return [(m.group(1), m.group(2), unquote(m.group(3))) for m in ROW.finditer(text)]


def reported_rules(root):
    """Returns {rule: [file:line, ...]} of every report in the sim's sources."""
    found = {}
    registry = os.path.normpath(REGISTRY)
    for path, text in code_files(root, SOURCE_DIRS):
        if os.path.normpath(path) == registry:
            continue
        patterns = [REPORT] + ([TABLE_ENTRY] if FORWARD.search(text) else [])
        for pattern in patterns:
            for m in pattern.finditer(text):
                line = text.count("\n", 0, m.start()) + 1
                found.setdefault(m.group(1), []).append("%s:%d" % (path, line))
    return found


def enclosing_test(text, pos):
    name = None
    for m in TEST_NAME.finditer(text, 0, pos):
        name = m.group(1)
    return name


def proofs(root, known):
    """Returns {rule: [where, ...]}: the tests that assert each rule fires."""
    found = {}

    def add(rule, path, text, pos, table=False):
        if table:
            # A row names its case first: {"CaseName", ..., "RULE", ...}.
            row = text[text.rfind("{", 0, pos) + 1:pos]
            case = re.match(r'\s*"(\w+)"', row)
            where = "%s (table: %s)" % (path, case.group(1)) if case else "%s (table)" % path
        else:
            test = enclosing_test(text, pos)
            where = "%s (%s)" % (path, test) if test else path
        if where not in found.setdefault(rule, []):
            found[rule].append(where)

    for path, text in code_files(root, TEST_DIRS):
        for m in ASSERTED.finditer(text):
            if not NEGATED.search(text[max(0, m.start() - 40):m.start()]):
                add(m.group(1), path, text, m.start())
        for m in RULE_FIELD.finditer(text):
            add(m.group(1) or m.group(2), path, text, m.start())
        if ASSERTS_TABLE.search(text):
            for m in ANY_NAME.finditer(text):
                rule = m.group(1)
                before = text[max(0, m.start() - 60):m.start()]
                if rule in known and not re.search(r"Violation\w*\s*\(\s*$", before):
                    add(rule, path, text, m.start(), table=True)
    return found


def readme_count(root):
    path = os.path.join(root, README)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as fh:
        m = README_COUNT.search(fh.read())
    return int(m.group(1)) if m else None


def check(root):
    """Returns (problems, registry, proofs)."""
    registry = read_registry(root)
    listed = [r for r, _, _ in registry]
    reported = reported_rules(root)
    proved = proofs(root, set(listed) | set(reported))
    problems = []
    if not registry:
        problems.append("no registry rows found in %s" % REGISTRY)
    seen = set()
    for rule in listed:
        if rule in seen:
            problems.append("%s: listed twice in %s" % (rule, REGISTRY))
        seen.add(rule)
    for rule in sorted(reported):
        if rule not in seen:
            problems.append("%s: reported at %s but not in %s" % (rule, ", ".join(reported[rule]), REGISTRY))
    for rule in listed:
        if rule not in reported:
            problems.append("%s: in %s but never reported by the sim" % (rule, REGISTRY))
        if rule not in proved:
            problems.append("%s: no test proves that it fires" % rule)
    count = readme_count(root)
    if registry and count is not None and count != len(registry):
        problems.append("%s says %d verifier rules; %s lists %d" % (README, count, REGISTRY, len(registry)))
    return problems, registry, proved


def markdown(registry, proved):
    lines = ["| rule | what it catches | proved by |", "|---|---|---|"]
    for rule, area, what in registry:
        by = "<br>".join(proved.get(rule, ["**not proved**"]))
        lines.append("| `%s` | %s: %s | %s |" % (rule, area, what.replace("|", "\\|"), by))
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."),
                        help="the source tree (default: this script's)")
    parser.add_argument("--list", action="store_true", help="print every rule as a markdown table")
    args = parser.parse_args(argv)
    root = os.path.normpath(args.root)
    problems, registry, proved = check(root)
    if args.list:
        print(markdown(registry, proved))
    if problems:
        for p in problems:
            print("check_rules: " + p, file=sys.stderr)
        print("verifier rules: FAILED (%d problem(s))" % len(problems))
        return 1
    if not args.list:
        print("verifier rules: %d, each reported and proved: OK" % len(registry))
    return 0


if __name__ == "__main__":
    sys.exit(main())

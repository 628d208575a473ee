#!/usr/bin/env python3
"""Every log line names the function that writes it.

Reads src/**/*.cpp, finds each function definition of a class of ours
("Type telvora::CName::Method(" or, inside the namespace, "CName::Method(")
and checks that every "telvora::..." literal within its body is that
function's own name, or one of the names passed on by a helper that logs
for its caller (the helper's parameter is then a plain variable, which this
check does not see). Prints each mismatch with its place; exits 1 on any.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
DEFINITION = re.compile(r"^(?:[\w:<>,*&\s]+?[\s*&])?((?:telvora::)?(?:\w+::)*?(C\w+|T\w+)::(~?\w+))\s*\(", re.M)
LITERAL = re.compile(r'"(telvora::[\w:~]+)"')


def strip_comments(text):
    # Blank out comments and keep offsets, so line numbers stay right.
    def blank(m):
        return re.sub(r"[^\n]", " ", m.group(0))
    return re.sub(r"//[^\n]*|/\*.*?\*/", blank, text, flags=re.S)


def bodies(text):
    """(qualified name, body start, body end) of each member definition."""
    for m in DEFINITION.finditer(text):
        # The definition's body: the first '{' after the parameter list at
        # depth 0, unless a ';' comes first (a declaration or a call).
        i = m.end() - 1
        depth = 0
        while i < len(text):
            c = text[i]
            if c == "(":
                depth += 1
            elif c == ")":
                depth -= 1
                if depth == 0:
                    break
            i += 1
        j = i + 1
        while j < len(text) and text[j] not in "{;":
            j += 1
        if j >= len(text) or text[j] == ";":
            continue
        depth = 0
        k = j
        while k < len(text):
            if text[k] == "{":
                depth += 1
            elif text[k] == "}":
                depth -= 1
                if depth == 0:
                    break
            k += 1
        name = m.group(1)
        if not name.startswith("telvora::"):
            name = "telvora::" + name
        yield name, j, k


def main():
    problems = []
    checked = 0
    for path in sorted((ROOT / "src").rglob("*.cpp")):
        text = strip_comments(path.read_text(encoding="utf-8", errors="replace"))
        spans = list(bodies(text))
        for lit in LITERAL.finditer(text):
            pos = lit.start()
            inner = [s for s in spans if s[1] <= pos <= s[2]]
            if not inner:
                continue
            # The innermost definition holds the literal (lambdas stay with it).
            name = min(inner, key=lambda s: s[2] - s[1])[0]
            checked += 1
            if lit.group(1) != name:
                line = text.count("\n", 0, pos) + 1
                problems.append(f"{path.relative_to(ROOT)}:{line}: logs as {lit.group(1)} inside {name}")
    for p in problems:
        print(p)
    print(f"log names: {checked} checked, {len(problems)} naming another function")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

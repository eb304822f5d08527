#!/usr/bin/env python3
"""Lists the functions of src/ longer than a limit (default 60 lines), longest first.

A function is a brace block at namespace or class level whose head ends in ")" (with
qualifiers); lambdas and blocks inside it count towards it. Exits with 1 when one is over.
Usage: scripts/function-lengths.py [--limit N] [--allow FILE:NAME ...] [paths...]
"""
import argparse
import pathlib
import re
import sys

HEAD = re.compile(r"\)\s*(const|noexcept|override|final|mutable|->[^{;]*|:[^;{]*|\s)*$", re.S)


def strip(text):
    # Comments, strings and characters out, line breaks kept.
    out = re.sub(r"//[^\n]*|/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)
    out = re.sub(r'R"(\w*)\((.*?)\)\1"', lambda m: re.sub(r"[^\n]", " ", m.group()), out, flags=re.S)
    return re.sub(r'"(\\.|[^"\\\n])*"|\'(\\.|[^\'\\\n])*\'', '""', out)


def functions(path):
    text = strip(path.read_text())
    stack = []  # (is_function, start offset, head)
    for m in re.finditer(r"[{}]", text):
        if m.group() == "{":
            inside = any(f for f, _, _ in stack)
            # Wide enough for a long parameter list, so that the name stays in view.
            head = text[max(0, m.start() - 2000):m.start()]
            head = head[max(head.rfind(";"), head.rfind("}"), head.rfind("{")) + 1:]
            is_fn = not inside and bool(HEAD.search(head)) and not re.search(
                r"\b(if|for|while|switch|catch)\s*\(", head.split("(")[0] + "(")
            stack.append((is_fn, m.start(), head.strip()))
        elif stack:
            is_fn, start, head = stack.pop()
            if is_fn:
                first = text.count("\n", 0, start) + 1
                last = text.count("\n", 0, m.start()) + 1
                name = re.findall(r"([~\w:]+)\s*\(", head)
                name = name[0] if name else head[:40]
                # A member defined in its class is named with the class.
                owner = [c for _, _, h in stack for c in re.findall(r"\b(?:class|struct)\s+(\w+)", h)[-1:]]
                yield last - first + 1, first, "::".join(owner + [name])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit", type=int, default=60)
    ap.add_argument("--allow", nargs="*", default=[])
    ap.add_argument("paths", nargs="*", default=["src"])
    args = ap.parse_args()
    found = []
    for root in args.paths:
        for path in sorted(pathlib.Path(root).rglob("*.[ch]pp")):
            for length, line, name in functions(path):
                if length > args.limit and f"{path.name}:{name}" not in args.allow:
                    found.append((length, f"{path}:{line}", name))
    for length, where, name in sorted(found, reverse=True):
        print(f"{length:5d}  {where}  {name}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

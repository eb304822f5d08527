#!/usr/bin/env python3
"""Writes the enumeration classes in the package's stubs from the compiled core's tables, the
one place where members are listed.

    PYTHONPATH=build/python /usr/bin/python3 scripts/enum-stubs.py           # rewrite the stubs
    PYTHONPATH=build/python /usr/bin/python3 scripts/enum-stubs.py --check   # exit 1 if they differ

--package DIR names the directory holding the `arvcore` sources (default: python/ beside this
script). A stub must already have a class of each name; only its body is written.
"""

import argparse
import json
import os
import re
import sys

from arvcore import _testing

HERE = os.path.dirname(os.path.abspath(__file__))


def stub_path(package, module):
    return os.path.join(package, *module.split(".")) + ".pyi"


def block(name, flags, members):
    lines = [f"class {name}(enum.{'IntFlag' if flags else 'Enum'}):"]
    lines += [f"    {member} = {json.dumps(value)}" for member, value in members]
    return "\n".join(lines) + "\n"


def written(text, tables, module, path):
    for name, (where, flags, members) in tables.items():
        if where != module:
            continue
        pattern = re.compile(rf"^class {re.escape(name)}\(enum\.\w+\):\n(?:    .*\n)*", re.M)
        text, found = pattern.subn(lambda _: block(name, flags, members), text)
        if found != 1:
            sys.exit(f"{path}: needs one class {name}(enum.Enum) to write the members into")
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only say whether stubs differ")
    parser.add_argument("--package", default=os.path.join(os.path.dirname(HERE), "python"))
    args = parser.parse_args()
    tables = _testing.enum_tables()
    stale = []
    for module in sorted({where for where, _, _ in tables.values()}):
        path = stub_path(args.package, module)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        new = written(text, tables, module, path)
        if new == text:
            continue
        stale.append(path)
        if not args.check:
            with open(path, "w", encoding="utf-8") as f:
                f.write(new)
    for path in stale:
        print(f"{path}: {'differs from' if args.check else 'written from'} the core's tables")
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())

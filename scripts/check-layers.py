#!/usr/bin/env python3
"""Fails when a source under src/arvcore includes a header of a higher layer, or when a public
header includes an internal one (a detail/ header) that is not installed with it.

Layers, lowest first: base, value, sdk, tabledb, vlndev. A layer may include its own headers
and those of the layers below it.
"""
import pathlib
import re
import sys

LAYERS = ["base", "value", "sdk", "tabledb", "vlndev"]
# Internal headers that public ones need; installed beside them (cmake/ArvcoreInstall.cmake).
INSTALLED_DETAIL = {"value/detail/indexed_map.hpp", "value/detail/value_allocator.hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"arvcore/([^"]+)"', re.M)


def main(root):
    src = pathlib.Path(root) / "src" / "arvcore"
    faults = []
    for path in sorted(src.rglob("*.[ch]pp")):
        rel = path.relative_to(src).as_posix()
        layer = rel.split("/")[0]
        if layer not in LAYERS:
            faults.append(f"{rel}: not in a layer folder ({', '.join(LAYERS)})")
            continue
        public = "/detail/" not in rel and path.suffix == ".hpp"
        for target in INCLUDE.findall(path.read_text()):
            to = target.split("/")[0]
            if to == "version.hpp":
                continue
            if to not in LAYERS or LAYERS.index(to) > LAYERS.index(layer):
                faults.append(f"{rel}: includes {target} from a higher layer")
            elif public and "/detail/" in target and target not in INSTALLED_DETAIL:
                faults.append(f"{rel}: a public header includes the internal {target}")
    print("\n".join(faults) or "layers hold")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))

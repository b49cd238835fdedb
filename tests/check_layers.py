#!/usr/bin/env python3
"""Fails when a source file of the library includes a header of a layer
above its own. Layers, lowest first:

    core  <  dtd  <  dom  <  parser, output  <  every other subsystem

A subsystem may include its own headers and those of any lower layer. The
parser and the output subsystem stand side by side and include neither
each other: reading and writing documents share only what lies below them.
Subsystems above them (XPath, XSLT, schemas, ...) may include one another;
their own order is theirs to keep.

Usage: check_layers.py SRC_DIR | --self-test"""
import pathlib
import re
import sys
import tempfile

LAYERS = {"core": 0, "dtd": 1, "dom": 2, "parser": 3, "output": 3}
ABOVE = 4  # any folder not listed
SIDE_BY_SIDE = {"parser", "output"}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.M)


def layer(folder):
    return LAYERS.get(folder, ABOVE)


def violations(src):
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".c", ".hpp", ".inc") or not path.is_file():
            continue
        own = path.relative_to(src).parts[0]
        if own == path.name:  # files directly in src/ (none expected) belong to no layer
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        for m in INCLUDE.finditer(text):
            target = m.group(1)
            if target == own or not (src / target).is_dir():
                continue
            line = text.count("\n", 0, m.start()) + 1
            where = f"{path.relative_to(src)}:{line}"
            if layer(target) > layer(own):
                found.append(f"{where}: {own} includes {m.group(0).strip()} from the higher layer {target}")
            elif own in SIDE_BY_SIDE and target in SIDE_BY_SIDE:
                found.append(f"{where}: {own} includes {m.group(0).strip()}; parser and output stay apart")
    return found


def self_test():
    """The checker itself: each case is one include in a tree of empty
    subsystem folders, and whether it must be refused."""
    cases = [
        ("core/links.cpp", "dom/dom.h", True),
        ("core/cleanup.cpp", "xpath/xpath_services.h", True),
        ("dtd/dtd.h", "dom/dom.h", True),
        ("dom/records.cpp", "output/output.h", True),
        ("dom/entities.cpp", "parser/parser.h", True),
        ("output/c14n.cpp", "parser/parser.h", True),
        ("parser/api.cpp", "output/output.h", True),
        ("parser/fast_path.cpp", "xpath/xpath.h", True),
        ("dom/dom.h", "core/core.h", False),
        ("dom/leaf.cpp", "dtd/dtd.h", False),
        ("parser/parser.h", "dom/dom.h", False),
        ("parser/api.cpp", "parser/parser.h", False),
        ("xpath/services.cpp", "dom/dom.h", False),
        ("xslt/apply.cpp", "xpath/xpath.h", False),
        ("core/core.h", "quorvel.h", False),
    ]
    failures = 0
    for source, header, refused in cases:
        with tempfile.TemporaryDirectory() as tmp:
            src = pathlib.Path(tmp)
            for folder in ("core", "dtd", "dom", "parser", "output", "xpath", "xslt"):
                (src / folder).mkdir()
            (src / source).write_text(f'#include <cstddef>\n\n#include "{header}"\n')
            got = bool(violations(src))
            if got != refused:
                failures += 1
                print(f"{source} including {header}: {'refused' if got else 'let through'}, expected the opposite")
    print("self-test " + ("failed" if failures else "passed"))
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    src = pathlib.Path(sys.argv[1])
    if not src.is_dir():
        print(f"no source folder at {src}")
        return 2
    found = violations(src)
    for v in found:
        print(v)
    if found:
        print(f"{len(found)} include(s) point up")
        return 1
    print("every include points down or sideways within a subsystem")
    return 0


if __name__ == "__main__":
    sys.exit(main())

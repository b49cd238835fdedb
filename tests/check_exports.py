#!/usr/bin/env python3
"""Fails when the shared library's exported symbols differ from the
functions declared in the public header, when an export lacks the
QUORVEL_1 version, or when the soname is not libquorvel.so.1."""
import re
import subprocess
import sys


def declared_functions(header_path):
    text = open(header_path, encoding="utf-8").read()
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    names = set()
    for m in re.finditer(r"QUORVEL_API\s+[^;(]*?\b(quorvel_\w+)\s*\(", text):
        names.add(m.group(1))
    return names


def exported_symbols(lib_path):
    out = subprocess.run(["readelf", "--dyn-syms", "-W", lib_path], check=True,
                         capture_output=True, text=True).stdout
    exports = {}
    for line in out.splitlines():
        cols = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(cols) < 8 or cols[6] == "UND" or cols[4] not in ("GLOBAL", "WEAK"):
            continue
        name = cols[7]
        base, _, version = name.partition("@")
        exports[base] = version.lstrip("@")
    return exports


def soname(lib_path):
    out = subprocess.run(["readelf", "-d", "-W", lib_path], check=True,
                         capture_output=True, text=True).stdout
    m = re.search(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", out)
    return m.group(1) if m else None


def main():
    lib, header = sys.argv[1], sys.argv[2]
    expected_path = sys.argv[3] if len(sys.argv) > 3 else None
    problems = []
    declared = declared_functions(header)
    exports = exported_symbols(lib)
    exports.pop("QUORVEL_1", None)  # the version definition itself
    if soname(lib) != "libquorvel.so.1":
        problems.append(f"soname is {soname(lib)!r}, expected 'libquorvel.so.1'")
    for name in sorted(set(exports) - declared):
        problems.append(f"exported but not declared in quorvel.h: {name}")
    for name in sorted(declared - set(exports)):
        problems.append(f"declared in quorvel.h but not exported: {name}")
    if expected_path:
        with open(expected_path, encoding="utf-8") as f:
            expected = {l.strip() for l in f if l.strip() and not l.startswith("#")}
        for name in sorted(expected - set(exports)):
            problems.append(f"expected export missing: {name}")
        for name in sorted(set(exports) - expected):
            problems.append(f"export not on the expected list: {name}")
    for name, version in sorted(exports.items()):
        if version != "QUORVEL_1":
            problems.append(f"{name} has version {version!r}, expected QUORVEL_1")
    if problems:
        print("\n".join(problems))
        return 1
    print(f"{len(exports)} exports, all declared and at QUORVEL_1")
    return 0


if __name__ == "__main__":
    sys.exit(main())

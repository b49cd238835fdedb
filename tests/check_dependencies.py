#!/usr/bin/env python3
"""Fails when the shared library needs more than the C library: its NEEDED
entries must be libc, libm, libpthread or the dynamic loader, and no
undefined symbol may come from the C++ runtime (CXXABI, GLIBCXX) or from
libgcc_s (GCC_). The library is built without exceptions and RTTI so that
C programs can use it without a C++ runtime.

    check_dependencies.py LIBRARY [--sanitized]

--sanitized also accepts the sanitizer runtimes (and what they bring) that
an instrumented build links."""
import re
import subprocess
import sys

ALLOWED = re.compile(r"^(libc|libm|libpthread)\.so\.\d+$|^ld-linux[-\w.]*\.so\.\d+$")
SANITIZER = re.compile(r"^lib(asan|ubsan|tsan|lsan|hwasan|stdc\+\+|gcc_s|dl|rt)\.so\.\d+$")
FOREIGN_VERSION = re.compile(r"@(CXXABI|GLIBCXX|GCC)_")


def needed(lib):
    out = subprocess.run(["readelf", "-d", "-W", lib], check=True, capture_output=True, text=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def undefined(lib):
    out = subprocess.run(["nm", "-D", "--undefined-only", lib], check=True, capture_output=True,
                         text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.split()]


def main():
    lib = sys.argv[1]
    sanitized = "--sanitized" in sys.argv[2:]
    problems = []
    for name in needed(lib):
        if not ALLOWED.match(name) and not (sanitized and SANITIZER.match(name)):
            problems.append(f"needs {name}")
    if not sanitized:
        for symbol in undefined(lib):
            if FOREIGN_VERSION.search(symbol):
                problems.append(f"undefined symbol from outside the C library: {symbol}")
    if problems:
        print("\n".join(problems))
        return 1
    print("needs only: " + ", ".join(needed(lib)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks Linux modules and programs against the oldest system they are for,
Debian 10 (glibc 2.28, GCC 8's C++ library), with readelf:
    check_linux.py M_PD_H FILE...
- no symbol needs a newer version; a failure names the symbol;
- every symbol a file leaves undefined is supplied: in a module by Pd's API
  (pd_api.py), else by a shared library the file names, as the target's
  Debian sysroot has it, at the version asked for. (A helper that only the
  static libgcc has links all the same, and fails only when Pd loads it.)
A program linked statically needs nothing.
Prints "PASS ..." / "FAIL ..." lines; exits 1 on a failure."""
import os
import re
import subprocess
import sys

from pd_api import pd_api

FLOORS = {"GLIBC": [2, 28], "GLIBCXX": [3, 4, 25], "CXXABI": [1, 3, 11], "CXXABI_ARM": [1, 3, 3], "GCC": [7, 0, 0]}
LIBRARY_DIRS = {"X86-64": ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"],
                "AArch64": ["/usr/aarch64-linux-gnu/lib"], "ARM": ["/usr/arm-linux-gnueabihf/lib"]}
failed = False


def check(ok, what, why):
    global failed
    failed |= not ok
    print(("PASS " if ok else "FAIL ") + what + ("" if ok else f" ({why})"))


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True, check=True).stdout


def symbols(path):
    """(name, version or None, bind, defined) of each dynamic symbol."""
    return [(name, version, bind, index != "UND") for bind, index, name, version in re.findall(
        r"^\s*\d+: \w+\s+\d+ \w+\s+(\w+)\s+\w+\s+(\w+) ([^@\s]+)(?:@@?(\S+))?", readelf("--dyn-syms", path), re.M)]


def version(v):
    family, _, number = v.rpartition("_")
    return family, [int(n) for n in number.split(".")] if re.fullmatch(r"[\d.]+", number) else None


pd = pd_api(sys.argv[1])
top = os.path.commonpath([os.path.dirname(os.path.abspath(p)) for p in sys.argv[2:]])
for path in sys.argv[2:]:
    name = os.path.relpath(os.path.abspath(path), top)
    dynamic = readelf("-d", path)
    if "no dynamic section" in dynamic:
        print(f"PASS {name}: linked statically, needs no library")
        continue
    syms = symbols(path)
    # Every version needed (some name no symbol), with the symbols that need it.
    needs = {v: [] for v in re.findall(r"Name: (\S+)\s+Flags", readelf("-V", path))}
    for sym, v, _, defined in syms:
        if v and not defined:
            needs.setdefault(v, []).append(sym)
    newest, bad = {}, []
    for v, users in sorted(needs.items(), key=lambda n: version(n[0])[1] or []):
        family, number = version(v)
        if family not in FLOORS or not number or number > FLOORS[family]:
            bad.append(f"{' '.join(users) or '(no symbol)'}@{v}")
        else:
            newest[family] = f"{v} ({' '.join(users[:1])}{f' and {len(users) - 1} more' if users[1:] else ''})"
    check(not bad, f"{name}: needs at most " + ", ".join(sorted(newest.values())),
          "newer than Debian 10's: " + ", ".join(bad))

    machine = re.search(r"Machine:.*?(X86-64|AArch64|ARM)$", readelf("-h", path), re.M).group(1)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
    supplied, unsupplied = set(), []
    for lib in needed:
        found = [os.path.join(d, lib) for d in LIBRARY_DIRS[machine] if os.path.exists(os.path.join(d, lib))]
        unsupplied += [] if found else [f"{lib} (not found)"]
        supplied |= {(s, v) for s, v, _, defined in symbols(found[0]) if defined for v in (v, None)} if found else set()
    module = "program interpreter" not in readelf("-l", path)
    from_pd = 0
    for sym, v, bind, defined in syms:
        if module and not defined and not v and sym in pd:
            from_pd += 1
        elif not defined and bind != "WEAK" and (sym, v) not in supplied:  # a weak one may stay unbound
            unsupplied.append(f"{sym}@{v}" if v else sym)
    check(not unsupplied, f"{name}: " + (f"Pd supplies {from_pd} of its symbols, " if module else "")
          + " ".join(needed) + " the rest", "no one supplies: " + " ".join(unsupplied))
sys.exit(1 if failed else 0)

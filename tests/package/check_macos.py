#!/usr/bin/env python3
"""Checks a macOS module without a Mac, with the LLVM tools:
    check_macos.py M_PD_H LIBSYSTEM_TBD FLOATSIZE MODULE
- a fat file of two slices: arm64 for macOS 11, x86_64 for macOS 10.13;
- each slice a bundle that exports _Veltrix_setup and nothing else;
- every symbol left for Pd to supply declared in m_pd.h (class_new64 for
  64-bit floats, class_new for 32), every other one bound to libSystem and
  in its stub, and no other library;
- the arm64 slice's ad-hoc signature: each page's hash matches its bytes,
  which dyld checks before it runs a line of it.
Prints "PASS ..." / "FAIL ..." lines; exits 1 on a failure."""
import hashlib
import re
import shutil
import struct
import subprocess
import sys

m_pd_h, tbd, floatsize, module = sys.argv[1:5]
failed = False


def check(ok, what):
    global failed
    failed |= not ok
    print(("PASS " if ok else "FAIL ") + what)


def tool(name):
    return shutil.which(name) or shutil.which(name + "-14") or name


def run(*args):
    return subprocess.run(args, capture_output=True, text=True).stdout


# What m_pd.h declares: EXTERN functions and data.
declared = set()
for stmt in re.findall(r"\bEXTERN\b([^;]*);", open(m_pd_h).read()):
    if "(" in stmt:
        declared.update(re.findall(r"(\w+)\s*\(", stmt)[:1])
    else:
        declared.update(re.findall(r"\w+", part)[-1] for part in stmt.split(",") if part.strip())
in_libsystem = set(re.findall(r"[\w$.]+", open(tbd).read()))

data = open(module, "rb").read()
slices = {}
if data[:4] == b"\xca\xfe\xba\xbe":
    for i in range(struct.unpack(">I", data[4:8])[0]):
        cpu, _, offset, size, _ = struct.unpack(">5I", data[8 + 20 * i : 28 + 20 * i])
        slices[{0x0100000C: "arm64", 0x01000007: "x86_64"}.get(cpu, hex(cpu))] = data[offset : offset + size]
check(sorted(slices) == ["arm64", "x86_64"], f"fat file of arm64 and x86_64 (found: {sorted(slices)})")

minos = {"arm64": "11.0", "x86_64": "10.13"}
objdump, nm = tool("llvm-objdump"), tool("llvm-nm")
for arch, body in sorted(slices.items()):
    where = ["--arch", arch, module]
    header = run(objdump, "--macho", "--private-header", *where)
    check(" BUNDLE " in header, f"{arch}: a bundle")
    commands = run(objdump, "--macho", "--private-headers", *where)
    version = re.search(r"cmd LC_BUILD_VERSION.*?minos (\S+)|cmd LC_VERSION_MIN_MACOSX.*?version (\S+)", commands, re.S)
    found = version and (version.group(1) or version.group(2))
    check(found == minos.get(arch), f"{arch}: for macOS {minos.get(arch)} and later (found: {found})")
    exports = re.findall(r"^0x[0-9A-Fa-f]+\s+(\S+)", run(objdump, "--macho", "--exports-trie", *where), re.M)
    check(exports == ["_Veltrix_setup"], f"{arch}: exports _Veltrix_setup alone (found: {exports})")
    libraries = run(objdump, "--macho", "--dylibs-used", *where).split("\n")[1:]
    libraries = [line.split()[0] for line in libraries if line.strip()]
    check(libraries == ["/usr/lib/libSystem.B.dylib"], f"{arch}: links libSystem alone (found: {libraries})")
    for_pd, unbound = [], []
    for line in run(nm, "-m", "-u", *where).splitlines():
        symbol, source = re.match(r".*external (\S+) \((.*)\)", line).groups()
        if source == "dynamically looked up":
            for_pd.append(symbol[1:])
            if symbol[1:] not in declared:
                unbound.append(symbol)
        elif source != "from libSystem" or symbol not in in_libsystem:
            unbound.append(f"{symbol} ({source})")
    check(not unbound, f"{arch}: Pd supplies each of {len(for_pd)} symbols left to it, libSystem the rest"
          + (f" (no one supplies: {' '.join(unbound)})" if unbound else ""))
    new = "class_new64" if floatsize == "64" else "class_new"
    check(new in for_pd and ("class_new64" in for_pd) == (floatsize == "64"), f"{arch}: for {floatsize}-bit Pd floats ({new})")
    if arch != "arm64":
        continue
    # The signature: a SuperBlob whose CodeDirectory hashes each page.
    ncmds = struct.unpack("<I", body[16:20])[0]
    at, signature = 32, None
    for _ in range(ncmds):
        cmd, size = struct.unpack("<II", body[at : at + 8])
        if cmd == 0x1D:  # LC_CODE_SIGNATURE
            signature = struct.unpack("<II", body[at + 8 : at + 16])
        at += size
    bad = "no signature"
    if signature:
        blob = body[signature[0] : signature[0] + signature[1]]
        count = struct.unpack(">I", blob[8:12])[0]
        for i in range(count):
            kind, offset = struct.unpack(">II", blob[12 + 8 * i : 20 + 8 * i])
            if kind != 0 or blob[offset : offset + 4] != b"\xfa\xde\x0c\x02":
                continue
            cd = blob[offset:]
            hash_offset, _, _, slots, limit = struct.unpack(">5I", cd[16:36])
            hash_size, hash_type, _, page_log = cd[36], cd[37], cd[38], cd[39]
            page = 1 << page_log
            bad = [] if hash_type == 2 and limit == signature[0] and slots * page >= limit else ["layout"]
            for s in range(slots):
                want = cd[hash_offset + s * hash_size : hash_offset + (s + 1) * hash_size]
                if hashlib.sha256(body[s * page : min((s + 1) * page, limit)]).digest() != want:
                    bad.append(f"page {s}")
            bad = ", ".join(bad) if bad else ""
    check(not bad, f"{arch}: the code signature's page hashes match the bytes" + (f" (mismatch: {bad})" if bad else ""))
sys.exit(1 if failed else 0)

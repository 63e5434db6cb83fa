#!/usr/bin/env python3
"""Checks a macOS module without a Mac, with the LLVM tools:
    check_macos.py M_PD_H LIBSYSTEM_TBD FLOATSIZE MODULE
- a fat file of two bundles: arm64 for macOS 11, x86_64 for macOS 10.13;
- each exports _Veltrix_setup and nothing else;
- every symbol left for Pd to supply is Pd's API (pd_api.py; class_new64 for
  64-bit floats, class_new for 32), every other one is bound to libSystem
  and in its stub, and no other library is linked;
- the arm64 signature's page hashes match the bytes, as dyld checks them.
Prints "PASS ..." / "FAIL ..." lines; exits 1 on a failure."""
import hashlib
import re
import struct
import subprocess
import sys

from pd_api import pd_api

m_pd_h, tbd, floatsize, module = sys.argv[1:5]
failed = False


def check(ok, what, why=""):
    global failed
    failed |= not ok
    print(("PASS " if ok else "FAIL ") + what + (f" ({why})" if why and not ok else ""))


def tool(*args):
    return subprocess.run(args, capture_output=True, text=True).stdout


declared = pd_api(m_pd_h)
in_libsystem = set(re.findall(r"[\w$.]+", open(tbd).read()))

data = open(module, "rb").read()
slices = {}
if data[:4] == b"\xca\xfe\xba\xbe":
    for i in range(struct.unpack(">I", data[4:8])[0]):
        cpu, _, offset, size, _ = struct.unpack(">5I", data[8 + 20 * i : 28 + 20 * i])
        slices[{0x0100000C: "arm64", 0x01000007: "x86_64"}.get(cpu, hex(cpu))] = data[offset : offset + size]
check(sorted(slices) == ["arm64", "x86_64"], "a fat file of arm64 and x86_64", f"found: {sorted(slices)}")

for arch, body in sorted(slices.items()):
    objdump = lambda *what: tool("llvm-objdump", "--macho", *what, "--arch", arch, module)
    check(" BUNDLE " in objdump("--private-header"), f"{arch}: a bundle")
    minos = {"arm64": "11.0", "x86_64": "10.13"}.get(arch)
    found = re.search(r"LC_BUILD_VERSION.*?minos (\S+)|LC_VERSION_MIN_MACOSX.*?version (\S+)",
                      objdump("--private-headers"), re.S)
    found = found and (found.group(1) or found.group(2))
    check(found == minos, f"{arch}: for macOS {minos} and later", f"found: {found}")
    exports = re.findall(r"^0x\w+\s+(\S+)", objdump("--exports-trie"), re.M)
    check(exports == ["_Veltrix_setup"], f"{arch}: exports _Veltrix_setup alone", f"found: {exports}")
    libraries = [line.split()[0] for line in objdump("--dylibs-used").splitlines()[1:]]
    check(libraries == ["/usr/lib/libSystem.B.dylib"], f"{arch}: links libSystem alone", f"found: {libraries}")
    for_pd, unbound = [], []
    for line in tool("llvm-nm", "-m", "-u", "--arch", arch, module).splitlines():
        symbol, source = re.match(r".*external (\S+) \((.*)\)", line).groups()
        pd = source == "dynamically looked up"
        for_pd += [symbol[1:]] if pd else []
        if symbol[1:] not in declared if pd else source != "from libSystem" or symbol not in in_libsystem:
            unbound.append(f"{symbol} ({source})")
    check(not unbound, f"{arch}: Pd supplies each of {len(for_pd)} symbols left to it, libSystem the rest",
          "no one supplies: " + " ".join(unbound))
    new = "class_new64" if floatsize == "64" else "class_new"
    check(new in for_pd and ("class_new64" in for_pd) == (floatsize == "64"), f"{arch}: for {floatsize}-bit Pd floats ({new})")
    if arch != "arm64":
        continue
    # LC_CODE_SIGNATURE: a SuperBlob whose CodeDirectory hashes each page.
    at, signature, bad = 32, None, ["no signature"]
    for _ in range(struct.unpack("<I", body[16:20])[0]):
        cmd, size = struct.unpack("<II", body[at : at + 8])
        signature = struct.unpack("<II", body[at + 8 : at + 16]) if cmd == 0x1D else signature
        at += size
    blob = body[signature[0] : sum(signature)] if signature else b""
    for i in range(struct.unpack(">I", blob[8:12])[0] if blob else 0):
        kind, offset = struct.unpack(">II", blob[12 + 8 * i : 20 + 8 * i])
        cd = blob[offset:]
        if kind != 0 or cd[:4] != b"\xfa\xde\x0c\x02":
            continue
        hashes, _, _, slots, limit = struct.unpack(">5I", cd[16:36])
        size, kind, page = cd[36], cd[37], 1 << cd[39]
        bad = [] if kind == 2 and limit == signature[0] and slots * page >= limit else ["layout"]
        bad += [f"page {s}" for s in range(slots) if cd[hashes + s * size : hashes + (s + 1) * size]
                != hashlib.sha256(body[s * page : min((s + 1) * page, limit)]).digest()]
    check(not bad, f"{arch}: the code signature's page hashes match the bytes", "mismatch: " + ", ".join(bad))
sys.exit(1 if failed else 0)

#!/usr/bin/env bash
# Runs a module on an emulated ARM1176, the Raspberry Pi 1's and Zero's CPU:
#   run_arm1176.sh MODULE
# Debian's armhf C library is ARMv7 Thumb-2 and cannot run there; its armel
# one (ARMv5T, floats passed in core registers) can. So the fake host
# (tests/fake) and tests/arm/arm1176_host.cpp are built as the module is,
# ARMv6 with hard floats, into a library that an armel program
# (arm1176_loader.c) loads with the module. armel's dynamic loader refuses a
# library whose header says floats go in VFP registers; no float passes
# between armel's code and those two, so each is loaded from a copy with that
# header flag cleared, its code as built.
# Prints the host's PASS/FAIL lines; fails on a failure, or when the module
# crashes ("Illegal instruction": one the ARM1176 lacks).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# EF_ARM_ABI_FLOAT_HARD is bit 10 of e_flags, at offset 36 of the header.
soft_copy() {
    cp "$1" "$2"
    local b
    b=$(od -An -tu1 -j37 -N1 "$2")
    printf "$(printf '\\%03o' $((b & ~4)))" | dd of="$2" bs=1 seek=37 conv=notrunc status=none
}

v6="-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard"
if ! arm-linux-gnueabihf-g++ -std=c++17 -O2 -Wall -Wno-psabi $v6 -fPIC -shared -nostartfiles -nodefaultlibs \
    -I"$root/tests/fake" -I"$root/tests/support" -I"$root/src" -I"$root/src/puredata/veltrix/link" \
    -I/usr/include/pd "$root/tests/arm/arm1176_host.cpp" "$root/tests/fake/fake_pd.cpp" \
    "$root/src/armv6_dso.cpp" -lstdc++ -lm -l:libc.so.6 -l:libgcc_s.so.1 -o "$tmp/host.so" ||
    ! arm-linux-gnueabi-gcc -O2 -Wall "$root/tests/arm/arm1176_loader.c" -o "$tmp/loader"; then
    echo "FAIL building the ARM1176 host"
    exit 1
fi
soft_copy "$tmp/host.so" "$tmp/host-soft.so"
soft_copy "$1" "$tmp/module-soft.so"
ulimit -c 0
timeout 60 qemu-arm -cpu arm1176 -L /usr/arm-linux-gnueabi "$tmp/loader" "$tmp/host-soft.so" \
    "$tmp/module-soft.so" 2>&1

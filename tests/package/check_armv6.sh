#!/usr/bin/env bash
# Fails unless a module is code an ARMv6 Pd can run (Raspberry Pi 1 and Zero,
# 32-bit Raspberry Pi OS anywhere):
#   check_armv6.sh MODULE
# - readelf -A: ARMv6, no Thumb-2, VFPv2 at most;
# - no Thumb code ($t mapping symbols; the package's strip keeps them);
# - disassembled for ARMv6 without Thumb-2, VFPv3 and NEON, every
#   instruction is known.
# Prints one "not ARMv6: ..." line per fault found.
set -uo pipefail
module=$1
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14) ||
    { echo "not ARMv6: no llvm-objdump (llvm-14)"; exit 1; }
faults=0
fault() { echo "not ARMv6: $*"; faults=$((faults + 1)); }

attrs=$(readelf -A "$module")
arch=$(sed -n 's/^  Tag_CPU_arch: //p' <<<"$attrs")
[ "$arch" = v6 ] || fault "Tag_CPU_arch: ${arch:-none}"
! grep -q 'Tag_THUMB_ISA_use: Thumb-2' <<<"$attrs" || fault "Tag_THUMB_ISA_use: Thumb-2"
fp=$(sed -n 's/^  Tag_FP_arch: //p' <<<"$attrs")
[ -z "$fp" ] || [ "$fp" = VFPv2 ] || fault "Tag_FP_arch: $fp"
! grep -q 'Tag_Advanced_SIMD_arch' <<<"$attrs" || fault "NEON (Tag_Advanced_SIMD_arch)"

# Mapping symbols mark where code is Thumb ($t), ARM ($a) or data ($d);
# without them data would read as instructions.
symbols=$(readelf -sW "$module" | awk '{print $8}')
grep -qx '\$a' <<<"$symbols" || fault "no \$a mapping symbols: stripped of them, it cannot be disassembled"
thumb=$(grep -cx '\$t' <<<"$symbols")
[ "$thumb" = 0 ] || fault "$thumb pieces of Thumb code"

unknown=$("$objdump" -d --triple=armv6-linux-gnueabihf --mattr=-thumb2,-vfp3d16sp,-neon "$module" |
    grep -c '<unknown>')
[ "$unknown" = 0 ] || fault "$unknown instructions unknown to ARMv6 with VFPv2"

[ $faults = 0 ] && echo "$(basename "$module"): ARMv6, ARM state, VFPv2, every instruction known"

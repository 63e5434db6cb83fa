#!/usr/bin/env bash
# Shows check_macos.py failing, on its own count alone, on the package's
# 32-bit fat module relinked with one more export, relinked with a symbol no
# library supplies (libc++'s clock, the trap of -undefined dynamic_lookup),
# and with one byte of its arm64 code changed.
#   check_macos_faults.sh FAT_MODULE SLICE_BUILD_DIR (the arm64 32-bit one)
# Prints "PASS ..." / "FAIL ..." lines.
set -uo pipefail
fat=$1
build=$2
cache() { sed -n "s|^$1:[A-Z]*=||p" "$build/CMakeCache.txt"; }
libc=$(cache VELTRIX_MACOS_LIBC)
lipo=$(command -v llvm-lipo llvm-lipo-19 llvm-lipo-16 llvm-lipo-14 | head -n 1 || true)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$lipo" -thin x86_64 "$fat" -output "$tmp/x86_64"
"$lipo" -thin arm64 "$fat" -output "$tmp/arm64"
mapfile -t objects < <(find "$build/src" -name '*.o' | sort)
clang=(clang++ --target=arm64-apple-macos11.0)

# fault WHAT EXPECTED FILE: the check fails on FILE, EXPECTED its only failure.
fault() {
    local out status
    out=$(python3 "$(dirname "$0")/check_macos.py" "$(cache PD_INCLUDE_DIR)/m_pd.h" \
        "$libc/lib/libSystem.tbd" 32 "$3")
    status=$?
    if [ $status != 0 ] && [ "$(grep -c '^FAIL' <<<"$out")" = 1 ] && grep -q "^FAIL $2" <<<"$out"; then
        echo "PASS the check fails on $1: $(grep '^FAIL' <<<"$out" | cut -c6-)"
    else
        echo "FAIL the check on $1 (status $status):" && sed 's/^/    /' <<<"$out"
    fi
}
# relink NAME SOURCE [LINKER OPTION...]: the module's objects and SOURCE, linked as the build does.
relink() {
    "${clang[@]}" -nostdinc++ -stdlib=libc++ -c -x c++ -o "$tmp/$1.o" - <<<"$2" &&
        "${clang[@]}" -bundle -undefined dynamic_lookup "--ld-path=$(cache VELTRIX_LD64)" \
            -mlinker-version=711 -nostdlib -Wl,-Z "-L$libc/lib" -lSystem -Wl,-dead_strip \
            -Wl,-exported_symbol,_Veltrix_setup "${@:3}" "${objects[@]}" "$tmp/$1.o" -o "$tmp/$1.arm64" &&
        "$lipo" -create "$tmp/$1.arm64" "$tmp/x86_64" -output "$tmp/$1"
}

relink export 'extern "C" __attribute__((used, visibility("default"))) int veltrix_extra() { return 1; }' \
    -Wl,-exported_symbol,_veltrix_extra
fault "one more export" "arm64: exports" "$tmp/export"

relink clock 'namespace std { inline namespace __1 { namespace chrono { struct steady_clock {
    static long now(); }; } } }
__attribute__((used)) long veltrix_clock() { return std::chrono::steady_clock::now(); }'
fault "a symbol no library supplies" "arm64: Pd supplies.*steady_clock" "$tmp/clock"

# A byte of the setup's code, in a page the signature hashes.
at=$(llvm-nm --defined-only "$tmp/arm64" | awk '$3 == "_Veltrix_setup" {print $1}')
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(int(sys.argv[2], 16));
b = f.read(1); f.seek(-1, 1); f.write(bytes([b[0] ^ 0xFF]))' "$tmp/arm64" "$at"
"$lipo" -create "$tmp/arm64" "$tmp/x86_64" -output "$tmp/byte"
fault "a corrupted byte" "arm64: the code signature.*page" "$tmp/byte"

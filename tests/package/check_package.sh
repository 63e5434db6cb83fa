#!/usr/bin/env bash
# Checks a package made by scripts/package:
#   check_package.sh DEK
# - its name, read by the code of Pd's own package manager (deken-plugin.tcl,
#   under tclsh): name, version, platforms, and which Pds it is offered to;
# - one Veltrix/ folder, with a module under the name each Pd tries for each
#   platform the name lists, the help and demo patches, README.md, LICENSE;
# - unpacked into an empty folder, it is all a real pd -nogui needs: with
#   that folder as its only path, pd loads the module and opens the help,
#   also as Help on an object opens it;
# - the double-precision module, renamed to a name single-precision Pd
#   tries, is refused by it (Pd's own guard): the module says so and stops;
# - in an empty home, unpacked by Pd's package manager's own unzipper into
#   ~/Documents/Pd/externals and by hand into ~/.local/lib/pd/extra, each
#   simulator command of the help's [pd try-without-a-board] runs as written
#   (only its link moved to a private folder) and makes its link;
# - every Linux file against Debian 10 and Pd's API (check_linux.py), which
#   fails on a module that needs glibc 2.33 or a helper of the static libgcc;
# - the sources package beside it, built in an empty folder by its README's
#   command.
# Ends with "check_package: N passed, M failed".
set -uo pipefail

dek=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
plugin=/usr/lib/pd/extra/deken-plugin/deken-plugin.tcl
pd=${PD:-pd}
source "$root/tests/support/checks.sh"

version=$(sed -n 's/^project(Veltrix VERSION \([^ ]*\).*/\1/p' "$root/CMakeLists.txt")
name=$(basename "$dek")
tcl_out=$(tclsh "$root/tests/package/deken_names.tcl" "$plugin" "$name" "$version" 2>&1)
echo "$tcl_out" | grep -E '^(PASS|FAIL) ' || echo "$tcl_out"
passed=$((passed + $(grep -c '^PASS ' <<<"$tcl_out")))
failed=$((failed + $(grep -c '^FAIL ' <<<"$tcl_out")))
grep -q '^PASS ' <<<"$tcl_out" || failed=$((failed + 1))

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$dek" -d "$tmp/unpacked"
check $? "unzip"
top=$(ls -A "$tmp/unpacked")
[ "$top" = Veltrix ]
check $? "one Veltrix/ folder at the top (found: $(echo $top))"

# Every listed platform has its module under the name Pd 0.54+ builds from
# it, and every file in the folder is expected.
# A simulator for each Linux CPU but ARMv6, and the board library's zip.
expected="help-Veltrix-help.pd Veltrix-demo.pd README.md LICENSE"
expected+=" Veltrix-net-forward.pd Veltrix-net-listen.pd Veltrix-$version-arduino.zip"
# The Python boards' library, its README and every example.
expected+=" python/veltrix.py python/README.md"
expected+=$(cd "$root/device/python" && printf ' python/%s' examples/*.py)
for arch in $(sed 's/^[^(]*//; s/)\.dek$//; s/[()]/ /g' <<<"$name"); do
    IFS=- read -r os cpu floatsize <<<"$arch"
    ext=so
    [ "$os" = Windows ] && ext=dll
    # macOS: one fat file per float size holds both CPUs.
    [ "$os" = Darwin ] && cpu=fat
    expected+=" Veltrix.${os,,}-$cpu-$floatsize.$ext"
    [ "$os" = Linux ] && [ "$cpu" != armv6 ] && [[ " $expected " != *" bin/linux-$cpu/veltrix-board "* ]] &&
        expected+=" bin/linux-$cpu/veltrix-board"
done
# The names older Pds try: single precision only.
expected+=" Veltrix.l_amd64 Veltrix.l_arm64 Veltrix.l_arm Veltrix.m_i386 Veltrix.m_amd64"
expected+=" Veltrix.d_fat"
got=$(cd "$tmp/unpacked/Veltrix" && find . -type f | sed 's|^\./||' | sort)
want=$(tr ' ' '\n' <<<"$expected" | sort -u)
[ "$got" = "$want" ]
check $? "the folder holds exactly: $(echo $want)"
if [ "$got" != "$want" ]; then
    diff <(echo "$want") <(echo "$got") | sed 's/^/    /'
fi

# Each module exports Veltrix_setup alone; a Windows one imports from
# KERNEL32, the C runtime and pd.dll only.
folder=$tmp/unpacked/Veltrix
# A macOS one is checked by check_macos.py (see there) with the m_pd.h and
# libSystem stub of its build.
mac=$root/build-package/darwin-arm64-32
mac_check() {
    local cache=$mac/CMakeCache.txt
    python3 "$root/tests/package/check_macos.py" "$(sed -n 's|^PD_INCLUDE_DIR:PATH=||p' "$cache")/m_pd.h" \
        "$(sed -n 's|^VELTRIX_MACOS_LIBC:PATH=||p' "$cache")/lib/libSystem.tbd" "$@"
}
for module in "$folder"/Veltrix.linux-*.so "$folder"/Veltrix.windows-*.dll \
    "$folder"/Veltrix.darwin-*.so "$folder"/Veltrix.d_fat; do
    case $module in
    *darwin-fat-64*) out=$(mac_check 64 "$module" 2>&1) ;;
    *darwin* | *d_fat) out=$(mac_check 32 "$module" 2>&1) ;;
    *arm64*) out=$("$root/tests/check_exports.sh" "$module" aarch64-linux-gnu-nm 2>&1) ;;
    *armv*) out=$("$root/tests/check_exports.sh" "$module" arm-linux-gnueabihf-nm 2>&1) ;;
    *linux*) out=$("$root/tests/check_exports.sh" "$module" 2>&1) ;;
    *i386*) out=$("$root/tests/windows/check_tables.sh" i686-w64-mingw32-objdump "$module" \
        "$root/src/pd.def" pei-i386 2>&1) ;;
    *) out=$("$root/tests/windows/check_tables.sh" x86_64-w64-mingw32-objdump "$module" \
        "$root/src/pd.def" pei-x86-64 2>&1) ;;
    esac
    check $? "tables of $(basename "$module")"
    [ "$failed" = 0 ] || echo "$out" | sed 's/^/    /'
done

# The macOS check fails where it must.
out=$("$root/tests/package/check_macos_faults.sh" "$folder/Veltrix.darwin-fat-32.so" "$mac" 2>&1)
echo "$out"
passed=$((passed + $(grep -c '^PASS ' <<<"$out")))
failed=$((failed + $(grep -c '^FAIL ' <<<"$out")))
[ "$(grep -c '^PASS ' <<<"$out")" = 3 ] || failed=$((failed + 1))

# Every Linux file, under every name, loads on Debian 10 and later: nothing
# newer than its glibc and C++ library, nothing that neither Pd nor a library
# supplies. The check fails on the amd64 module relinked with stat() (glibc
# 2.33's symbol) and on the ARMv6 one with a 64-bit atomic (static libgcc's).
linux_check() { python3 "$root/tests/package/check_linux.py" /usr/include/pd/m_pd.h "$@"; }
out=$(linux_check "$folder"/Veltrix.linux-*.so "$folder"/Veltrix.l_* "$folder"/bin/linux-*/veltrix-board)
check $? "every Linux module and simulator needs what Debian 10 and Pd have, and no more"
echo "$out" | sed 's/^/    /'
faults=("linux-amd64-32|struct stat; extern \"C\" int stat(const char *, struct stat *);
extern \"C\" int veltrix_probe(const char *p, struct stat *st) { return stat(p, st); }|: stat@GLIBC_2.33"
    "linux-armv6-32|extern \"C\" long long veltrix_count(long long *n) { return __sync_fetch_and_add(n, 1); }|supplies: __sync_fetch_and_add_8)")
for fault in "${faults[@]}"; do
    IFS='|' read -r build code want < <(tr '\n' ' ' <<<"$fault")
    echo "$code" >"$tmp/fault.cpp"
    (cd "$root/build-package/$build/src" &&
        $(sed "s| -o [^ ]* | -o $tmp/fault.so |" CMakeFiles/Veltrix.dir/link.txt) -x c++ "$tmp/fault.cpp")
    out=$(linux_check "$tmp/fault.so" | grep '^FAIL')
    [ "$(grep -c . <<<"$out")" = 1 ] && grep -qF -- "${want% }" <<<"$out"
    check $? "the check fails on the $build module relinked with: $code"
    echo "$out" | sed 's/^/    /'
done

# What a Pd on ARMv6 may load is ARMv6 code; the ARMv7 module, which was
# .l_arm before, is not, and the same check must say so.
for module in "$folder/Veltrix.linux-armv6-32.so" "$folder/Veltrix.l_arm"; do
    out=$("$root/tests/package/check_armv6.sh" "$module" 2>&1)
    check $? "$(basename "$module") is ARMv6 code"
    echo "$out" | sed 's/^/    /'
done
out=$("$root/tests/package/check_armv6.sh" "$folder/Veltrix.linux-armv7-32.so" 2>&1)
status=$?
[ $status != 0 ] && grep -q 'Tag_CPU_arch: v7' <<<"$out" && grep -q 'Thumb code' <<<"$out" &&
    grep -q 'instructions unknown' <<<"$out"
check $? "the ARMv7 module is refused by the ARMv6 check"
echo "$out" | sed 's/^/    /'

# .l_arm runs on an emulated ARM1176 (Raspberry Pi 1 and Zero); the ARMv7
# module, which was .l_arm before, crashes there.
out=$("$root/tests/arm/run_arm1176.sh" "$folder/Veltrix.l_arm" 2>&1)
check $? "Veltrix.l_arm runs on an ARM1176 under qemu"
echo "$out" | sed 's/^/    /'
out=$("$root/tests/arm/run_arm1176.sh" "$folder/Veltrix.linux-armv7-32.so" 2>&1)
check $((!$?)) "the ARMv7 module fails on an ARM1176"
echo "$out" | tail -n 2 | sed 's/^/    /'

# run_pd LOG PATCH... : pd with the unpacked folder as its only path.
run_pd() {
    local log=$1
    shift
    local opens=()
    for p in "$@"; do opens+=(-open "$p"); done
    timeout 20 "$pd" -nogui -stderr -nosound -nomidi -noprefs -nostdpath -path "$tmp/unpacked" \
        "${opens[@]}" -send "pd quit" >"$log" 2>&1
}

cat >"$tmp/use.pd" <<'PATCH'
#N canvas 0 0 400 300 12;
#X obj 10 10 loadbang;
#X msg 10 40 2.5;
#X obj 10 70 Veltrix send probe;
#X connect 0 0 1 0;
#X connect 1 0 2 0;
PATCH
run_pd "$tmp/pd.log" "$tmp/unpacked/Veltrix/help-Veltrix-help.pd" "$tmp/use.pd"
status=$?
check $status "pd -nogui exits cleanly (status $status)"
! grep -q "couldn't create" "$tmp/pd.log"
check $? "every object of the help patch and of a patch using it is created"
grep -q '^Veltrix_setup end' "$tmp/pd.log" && grep -q "^Veltrix_new 'receive'" "$tmp/pd.log" &&
    grep -q '^Veltrix_send 2.500000 to probe' "$tmp/pd.log"
check $? "the module loads from the package and works"
[ "$failed" = 0 ] || sed 's/^/    pd: /' "$tmp/pd.log" | head -20

# Right-click > Help in Pd's window sends "done-popup 2 x y" to the canvas: at
# an object's place it opens the help beside the module. Closing the help then
# frees its receivers; a canvas that never opened is "no such object".
cat >"$tmp/probe.pd" <<'PATCH'
#N canvas 0 0 400 300 12;
#X obj 50 50 Veltrix send probe;
#X obj 200 10 loadbang;
#X msg 200 40 \; pd-probe.pd done-popup 2 55 55 \; pd-help-Veltrix-help.pd menuclose;
#X connect 1 0 2 0;
PATCH
run_pd "$tmp/help.log" "$tmp/probe.pd"
! grep -q -e sorry -e 'no such object' "$tmp/help.log" &&
    grep -q '^Veltrix_free Veltrix.receivers' "$tmp/help.log"
check $? "Help on an object opens the package's help patch"
[ "$failed" = 0 ] || sed 's/^/    pd: /' "$tmp/help.log" | grep -v '^    pd: Veltrix_' | head -20

mkdir -p "$tmp/wrong"
cp "$tmp/unpacked/Veltrix/Veltrix.linux-amd64-64.so" "$tmp/wrong/Veltrix.pd_linux"
cp "$tmp/use.pd" "$tmp/wrong/"
timeout 20 "$pd" -nogui -stderr -nosound -nomidi -noprefs -nostdpath -path "$tmp/wrong" \
    -open "$tmp/wrong/use.pd" -send "pd quit" >"$tmp/wrong.log" 2>&1
status=$?
[ $status = 0 ] && grep -q '^Veltrix_setup class_new failed' "$tmp/wrong.log" &&
    ! grep -q '^Veltrix_setup end' "$tmp/wrong.log" && grep -q "couldn't create" "$tmp/wrong.log"
check $? "a single-precision Pd refuses the double-precision module (status $status)"

# The help's simulator commands, from a home where the package was installed
# as a user installs it: the package manager unzips with tcllib's decoder on
# Linux, which must keep the executable bit.
home=$tmp/home
mkdir -p "$home/Documents/Pd/externals" "$home/.local/lib/pd/extra"
echo "package require zipfile::decode; zipfile::decode::unzipfile {$dek} {$home/Documents/Pd/externals}" |
    tclsh && unzip -q "$dek" -d "$home/.local/lib/pd/extra"
check $? "the package unpacks into ~/Documents/Pd/externals (package manager) and ~/.local/lib/pd/extra"
commands=$(sed -n '/try-without-a-board 0;$/,/^#X restore/s/^#X text [0-9]* [0-9]* \(~\/.*veltrix-board --link .*\), f [0-9]*;$/\1/p' \
    "$tmp/unpacked/Veltrix/help-Veltrix-help.pd")
[ "$(grep -c . <<<"$commands")" = 2 ]
check $? "the help gives the simulator's command for both folders"
while read -r command; do
    link=$tmp/board0
    rm -f "$link"
    (export HOME=$home && eval "exec ${command//\/tmp\/veltrix-board0/$link}") </dev/null >"$tmp/board.log" 2>&1 &
    for _ in $(seq 50); do [ -L "$link" ] && break; sleep 0.1; done
    [ -L "$link" ] && [ -c "$(readlink "$link")" ]
    check $? "the help's command runs from an empty home: $command"
    kill $! && wait $!
    [ "$failed" = 0 ] || sed 's/^/    /' "$tmp/board.log"
done <<<"$commands"

# The sources package holds no tests and nothing built, and builds the module
# in an empty folder by its README's command alone.
unzip -q "$(dirname "$dek")/Veltrix[v$version](Sources).dek" -d "$tmp/sources"
got=$(ls -A "$tmp/sources/Veltrix" | tr '\n' ' ')
[ "$got" = "CMakeLists.txt LICENSE README.md cmake demo device help src tools " ]
check $? "the sources package holds the sources, the build files, the help, README and LICENSE: $got"
command=$(awk '/^### From the sources/ { f = 1 } f && /^```sh/ { getline; print; exit }' "$tmp/sources/Veltrix/README.md")
(cd "$tmp/sources/Veltrix" && eval "$command") >"$tmp/sources.log" 2>&1
check $? "the sources package builds with its README's command: $command"
[ "$failed" = 0 ] || tail -n 20 "$tmp/sources.log" | sed 's/^/    /'
timeout 20 "$pd" -nogui -stderr -nosound -nomidi -noprefs -nostdpath -path "$tmp/sources/Veltrix/build" \
    -open "$tmp/use.pd" -send "pd quit" 2>&1 | grep -q '^Veltrix_send 2.500000 to probe'
check $? "the module built from the sources package works in pd"

summary check_package

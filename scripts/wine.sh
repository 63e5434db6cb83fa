# Sourced by the scripts that run Windows programs under wine
# (scripts/test-windows, scripts/test-windows-pd): where wine and qemu are,
# the environment, the prefixes and the 32-bit wine under qemu. Expects ROOT.
#
# x86_64 programs run under wine64. i686 ones run under 32-bit wine through
# qemu-i386-static (this kernel cannot run 32-bit x86 code), in a WoW64
# prefix, with a preloaded fix for qemu's answer to mmap(MAP_FIXED_NOREPLACE);
# qemu is not registered with binfmt_misc, which would change the whole
# machine.

WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
WINESERVER=/usr/lib/wine/wineserver64
QEMU=qemu-i386-static
# The Linux side: the device that plays boards and the mmap fix.
HOST=$ROOT/build-windows-host
# Each script's own name in its messages.
WINE_WHO=${WINE_WHO:-wine}

wine_have_tools() {
    command -v i686-w64-mingw32-g++ >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null &&
        command -v i686-w64-mingw32-dlltool >/dev/null && command -v x86_64-w64-mingw32-dlltool >/dev/null &&
        [[ -x $WINE64 && -x $WINE32 && -x $WINESERVER ]] && command -v $QEMU >/dev/null &&
        [[ -d /usr/lib/i386-linux-gnu/wine/i386-windows ]] &&
        command -v cmake >/dev/null && command -v g++ >/dev/null
}

# wine_build_host: the device and the mmap fix; the generator in GENERATOR.
wine_build_host() {
    mkdir -p "$HOST"
    cmake -S "$ROOT/tests/windows/host" -B "$HOST" "${GENERATOR[@]}" >"$HOST/build.log" 2>&1 &&
        cmake --build "$HOST" -j 2 >>"$HOST/build.log" 2>&1
}

# wine_build_module DIR ARCH [TARGET...]: Veltrix.dll and the Windows tests
# in DIR (build-win32, build-win64) for i686 or x86_64; log in DIR/build.log.
wine_build_module() {
    local dir=$1 arch=$2
    shift 2
    local targets=()
    (($#)) && targets=(--target "$@")
    mkdir -p "$dir"
    cmake -S "$ROOT" -B "$dir" "${GENERATOR[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror -DVELTRIX_WINDOWS_TESTS=ON >"$dir/build.log" 2>&1 &&
        cmake --build "$dir" -j 2 "${targets[@]}" >>"$dir/build.log" 2>&1
}

wine_environment() {
    export WINEDEBUG=-all
    # No .NET or HTML engine to install, no audio drivers to complain.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv,winepulse.drv=d"
    export WINESERVER
    export DISPLAY=
    unset WAYLAND_DISPLAY
}

# make_prefix DIR: a 64-bit prefix, which the 32-bit side uses as WoW64.
make_prefix() {
    export WINEPREFIX=$1
    if [[ ! -f $WINEPREFIX/system.reg || ! -d $WINEPREFIX/dosdevices ]]; then
        echo "$WINE_WHO: creating the wine prefix $WINEPREFIX"
        rm -rf "$WINEPREFIX"
        "$WINE64" wineboot -i >"$WINEPREFIX.log" 2>&1 || true
        "$WINESERVER" -w
    fi
    [[ -d $WINEPREFIX/dosdevices ]]
}

# map_ports DIR WIDTH N...: COMn of the prefix opens the link DIR/comN-WIDTH,
# through wine's Ports key (mountmgr then makes the dosdevices links and
# lists the ports as Windows does).
map_ports() {
    local dir=$1 width=$2 n changed=0
    shift 2
    for n in "$@"; do
        if ! grep -qF "\"COM$n\"=\"$dir/com$n-$width\"" "$WINEPREFIX/system.reg"; then
            "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$dir/com$n-$width" /f \
                >/dev/null 2>&1 || return 1
            changed=1
        fi
    done
    ((changed == 0)) || "$WINESERVER" -w
}

# The 32-bit wine under qemu.
WINE32_RUN=(env "LD_PRELOAD=$HOST/\$LIB/qemu_mmap_fix.so" WINELOADERNOEXEC=1 "$QEMU" "$WINE32")

# The WoW64 half of a prefix: Debian's 32-bit builtin DLLs in syswow64 (not
# the 16-bit ones), the prefix's code pages beside them, and wine.inf's
# WoW64 section installed once by the 32-bit side.
make_wow64() {
    local windows=$WINEPREFIX/drive_c/windows stamp=$WINEPREFIX/.wow64-installed
    [[ -f $stamp ]] && return 0
    echo "$WINE_WHO: adding the 32-bit side to $WINEPREFIX"
    mkdir -p "$windows/syswow64"
    local f
    for f in /usr/lib/i386-linux-gnu/wine/i386-windows/*; do
        [[ $f == *16 ]] || cp -f "$f" "$windows/syswow64/"
    done
    cp -f "$windows"/system32/*.nls "$windows/syswow64/"
    "${WINE32_RUN[@]}" 'C:\windows\syswow64\rundll32.exe' setupapi.dll,InstallHinfSection Wow64Install 128 \
        '\\?\Z:\usr\share\wine\wine.inf' >"$WINEPREFIX.log" 2>&1 || return 1
    "$WINESERVER" -w
    touch "$stamp"
}

# win_path PATH: the Windows name of a Linux path (wine's Z: drive is /).
win_path() {
    local p=${1//\//\\}
    echo "Z:$p"
}

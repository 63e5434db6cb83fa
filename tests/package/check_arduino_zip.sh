#!/usr/bin/env bash
# Checks the board library's zip made by scripts/package (--arduino makes it
# alone), as the Arduino IDE takes it with "Add .ZIP Library":
#   check_arduino_zip.sh ZIP
# - one Veltrix/ folder holding library.properties (the project's name and
#   version, a url), keywords.txt, src/Veltrix.h and the examples;
# - its README speaks of nothing an Arduino user lacks (the source tree);
# - unpacked as a sketchbook's library, arduino-builder (the IDE's own build
#   tool) builds every example for an Uno with it.
# Ends with "check_arduino_zip: N passed, M failed".
set -uo pipefail

zip=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/support/checks.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp/libraries"
check $? "unzip"
lib=$tmp/libraries/Veltrix
[ "$(ls -A "$tmp/libraries")" = Veltrix ] && [ -f "$lib/library.properties" ] &&
    [ -f "$lib/keywords.txt" ] && [ -f "$lib/src/Veltrix.h" ]
check $? "one Veltrix/ folder with library.properties, keywords.txt and src/Veltrix.h"

version=$(sed -n 's/^project(Veltrix VERSION \([^ ]*\).*/\1/p' "$root/CMakeLists.txt")
grep -qx "name=Veltrix" "$lib/library.properties" &&
    grep -qx "version=$version" "$lib/library.properties" &&
    grep -q "^url=." "$lib/library.properties"
check $? "library.properties: name Veltrix, version $version, a url"

! grep -n -E 'scripts/|device/|tests/|docs/|build-package|<!--' "$lib/README.md"
check $? "the README names nothing of the source tree"

examples=$(cd "$root/device/examples" && ls)
for example in $examples; do
    sketch=$lib/examples/$example/$example.ino
    if [ ! -f "$sketch" ]; then
        check 1 "example $example in the zip"
        continue
    fi
    # Debian's Arduino core needs DECIMAL_DIG from avr-gcc's own macro.
    mkdir -p "$tmp/build-$example"
    arduino-builder -compile -hardware /usr/share/arduino/hardware \
        -hardware /usr/share/arduino-builder -tools /usr/share/arduino-builder \
        -fqbn arduino:avr:uno -libraries "$tmp/libraries" -build-path "$tmp/build-$example" \
        -prefs=compiler.cpp.extra_flags=-DDECIMAL_DIG=__DECIMAL_DIG__ -verbose \
        "$sketch" >"$tmp/$example.log" 2>&1 &&
        grep -q "Using library Veltrix at version $version in folder: $lib" "$tmp/$example.log" &&
        [ -f "$tmp/build-$example/$example.ino.hex" ]
    status=$?
    check $status "arduino-builder builds $example for an Uno with the library from the zip"
    [ $status = 0 ] || tail -n 15 "$tmp/$example.log" | sed 's/^/    /'
done

summary check_arduino_zip

#!/bin/sh
# Fails when a tracked C++ file does not follow .clang-format.
set -eu
cd "$1"
git ls-files '*.cpp' '*.h' '*.ino' | xargs "$2" --dry-run -Werror
echo "every C++ file follows .clang-format"

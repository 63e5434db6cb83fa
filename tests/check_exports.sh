#!/bin/sh
# Fails unless Veltrix_setup is the only symbol the module exports.
#   check_exports.sh MODULE [NM]   (NM: the target's nm, for cross builds)
set -eu
nm=${2:-nm}
exports=$("$nm" -D --defined-only "$1" | awk '{print $3}' | grep -v '^$' | sort)
if [ "$exports" != "Veltrix_setup" ]; then
    echo "unexpected exports from $1:"
    echo "$exports"
    exit 1
fi
echo "exports of $1: $exports"

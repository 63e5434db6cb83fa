#!/usr/bin/env bash
# Checks a Windows build of the module from its PE tables:
#   check_tables.sh OBJDUMP DLL PD_DEF FORMAT
# - the file format is FORMAT (pei-i386, pei-x86-64);
# - Veltrix_setup is its only export;
# - it imports from KERNEL32, ADVAPI32 (the registry's port list), the C
#   runtime and pd.dll only: the compiler's
#   runtime (libgcc, libstdc++, winpthread) is linked in;
# - what it takes from pd.dll is listed in PD_DEF, under the plain names
#   pd.dll exports (no i686 decoration).
set -euo pipefail

objdump=$1 dll=$2 def=$3 format=$4
tables=$("$objdump" -p "$dll")
status=0
problem() {
    echo "$dll: $*"
    status=1
}

grep -q "file format $format\$" <<<"$tables" || problem "not $format"

# The names after the "[Ordinal/Name Pointer] Table" header, up to a blank line.
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && NF == 0 {on = 0}
               on {print $NF}' <<<"$tables" | sort)
[[ $exports == Veltrix_setup ]] || problem "exports: $(echo $exports)"

dlls=$(awk '/DLL Name:/ {print $3}' <<<"$tables")
[[ -n $dlls ]] || problem "no imports found"
has_pd=0
for d in $dlls; do
    case ${d,,} in
    kernel32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    pd.dll) has_pd=1 ;;
    *) problem "imports from $d" ;;
    esac
done
((has_pd)) || problem "does not import from pd.dll"

allowed=$(awk '$1 !~ /^(;|LIBRARY|EXPORTS)/ && NF {print $1}' "$def" | sort)
from_pd=$(awk '/DLL Name:/ {on = tolower($3) == "pd.dll"; next}
               on && NF == 0 {on = 0}
               on && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print $3}' <<<"$tables" | sort)
[[ -n $from_pd ]] || problem "takes nothing from pd.dll"
unlisted=$(comm -23 <(echo "$from_pd") <(echo "$allowed"))
[[ -z $unlisted ]] || problem "takes from pd.dll what pd.dll may not export: $(echo $unlisted)"

if ((status == 0)); then
    echo "$dll: $format, exports $exports, imports $(echo $dlls)"
fi
exit $status

#!/usr/bin/env bash
# What each Pd takes from an unpacked package, and what a value from a board
# is in each:
#   check_hosts.sh FOLDER BOARD OLDPD=FILE... PD PD64 [PD PD64...]
# FOLDER is the package's Veltrix/ folder, BOARD veltrix-board, each OLDPD a
# Pd before 0.54 and the FILE it must load (Debian 12's 0.53.1 and Debian
# 11's 0.51.4: Veltrix.l_amd64, or Veltrix.l_arm on armhf), and each PD PD64
# a Pd of 0.54 or later (Debian 13's 0.55.2, unstable's 0.57.0) and its
# double-precision Pd64.
# Ends with "check_hosts: N passed, M failed".
set -uo pipefail

folder=$1 board=$2
shift 2
source "$(dirname "$0")/../support/checks.sh"
tmp=$(mktemp -d /tmp/veltrix-hosts-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# A Pd's name in the checks: its file and its version.
name() {
    echo "$(basename "$1") $("$1" -version 2>&1 | sed -n '1s/^Pd-\([^ ]*\).*/\1/p')"
}
olds=() singles=() doubles=()
while [[ ${1:-} == *=* ]]; do
    olds+=("${1%=*}|${1##*=}")
    shift
done
while (($# >= 2)); do
    singles+=("$1") doubles+=("$2")
    shift 2
done

# The module files PD tried in DIR, as "name:failed|succeeded", in order.
printf '#N canvas 0 0 400 300 12;\n#X obj 10 10 Veltrix send a;\n' >"$tmp/use.pd"
tried() {
    timeout 20 "$1" -nogui -stderr -nosound -nomidi -noprefs -nostdpath -verbose -path "$2" \
        -open "$tmp/use.pd" -send "pd quit" 2>&1 |
        sed -n "s|^.*tried $2/\(Veltrix\.[^ ]*\) and \([a-z]*\)\$|\1:\2|p" | grep -v "\.pd:\|\.pat:"
}
hosts=("${olds[@]}")
for pd in "${singles[@]}"; do hosts+=("$pd|Veltrix.linux-amd64-32.so"); done
for pd in "${doubles[@]}"; do hosts+=("$pd|Veltrix.linux-amd64-64.so"); done
for host in "${hosts[@]}"; do
    IFS='|' read -r pd file <<<"$host"
    got=$(tried "$pd" "$folder" | tr '\n' ' ')
    [ "$got" = "$file:succeeded " ]
    check $? "$(name "$pd") loads $file from the package (tried: $got)"
done
# Without its own module, Pd64 looks for no other: the single-precision ones
# beside it are never tried, and nothing is loaded.
mkdir "$tmp/no64"
cp "$folder"/Veltrix.* "$tmp/no64/"
rm "$tmp/no64/Veltrix.linux-amd64-64.so"
for pd64 in "${doubles[@]}"; do
    got=$(tried "$pd64" "$tmp/no64" | tr '\n' ' ')
    [ "$got" = "Veltrix.linux-amd64-64.so:failed Veltrix.linux-amd64-0.so:failed " ]
    check $? "$(name "$pd64") tries only the -64 and -0 names (tried: $got)"
done

# 0.1 from a patch to an echoing board and back: the board holds a 32-bit
# float, which Pd64 keeps as it is, so it is no longer equal to 0.1.
hosts=()
for pd in "${olds[@]%|*}" "${singles[@]}"; do hosts+=("$pd|1"); done
for pd in "${doubles[@]}"; do hosts+=("$pd|0"); done
n=0
for host in "${hosts[@]}"; do
    IFS='|' read -r pd equal <<<"$host"
    n=$((n + 1))
    link=$tmp/echo-$n
    "$board" --link "$link" --echo --quit-after 30 --quiet >/dev/null &
    echo_pid=$!
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    cat >"$tmp/echo.pd" <<PATCH
#N canvas 0 0 400 300 12;
#X obj 10 10 Veltrix open $link;
#X obj 10 40 loadbang;
#X obj 10 70 metro 100;
#X msg 10 100 0.1;
#X obj 10 130 Veltrix send knob;
#X obj 200 40 Veltrix receive knob;
#X obj 200 70 t b f f;
#X obj 200 100 makefilename %.15g;
#X obj 200 130 print knob;
#X obj 300 100 == 0.1;
#X obj 300 130 print equal;
#X msg 100 100 \; pd quit;
#X connect 1 0 2 0;
#X connect 2 0 3 0;
#X connect 3 0 4 0;
#X connect 5 0 6 0;
#X connect 6 2 7 0;
#X connect 7 0 8 0;
#X connect 6 1 9 0;
#X connect 9 0 10 0;
#X connect 6 0 11 0;
PATCH
    timeout 20 "$pd" -nogui -stderr -nosound -nomidi -noprefs -nostdpath -path "$folder" \
        -open "$tmp/echo.pd" >"$tmp/echo.log" 2>&1
    status=$?
    kill "$echo_pid" 2>/dev/null
    wait "$echo_pid" 2>/dev/null
    grep -qx 'knob: symbol 0.100000001490116' "$tmp/echo.log" && grep -qx "equal: $equal" "$tmp/echo.log"
    check $? "$(name "$pd"): 0.1 back from the board is 0.100000001490116, [== 0.1] gives $equal (status $status)"
    [ "$failed" = 0 ] || grep -v "^Veltrix_send" "$tmp/echo.log" | tail -5
done

summary check_hosts

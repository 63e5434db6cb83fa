# The PASS/FAIL lines of a check script and their count, for bash scripts
# to source:
#   pass TEXT, fail TEXT   "PASS TEXT", "FAIL TEXT"
#   check STATUS TEXT      pass TEXT when STATUS is 0, else fail TEXT
#   summary NAME           "NAME: N passed, M failed"; false when M > 0
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; }
check() { if [ "$1" = 0 ]; then pass "$2"; else fail "$2"; fi; }
summary() {
    echo "$1: $passed passed, $failed failed"
    ((failed == 0))
}

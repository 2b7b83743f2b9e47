# checks.sh - the counting and reporting the server test scripts share;
# sourced, never run. The script sets passed=0 failed=0 first.

pass() { passed=$((passed + 1)); echo "  ok    $1"; }

# fail NAME [LINE...]: counts a failure and shows each line under it.
fail() { failed=$((failed + 1)); echo "  FAIL  $1"; shift; local line; for line in "$@"; do echo "        $line"; done; }

# expect NAME EXPECTED ACTUAL
expect() {
  if [ "$2" == "$3" ]; then pass "$1"; else fail "$1" "expected: $(printf %q "$2")" "actual:   $(printf %q "$3")"; fi
}

# find_program NAME: its path, also in /usr/sbin outside root's PATH.
find_program() { command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; }; }

#!/bin/sh
# Invocation contract of kivsdp-sim: exit codes and the line named in errors.
set -eu
sim=$1
fail=0
check() { # check NAME WANT_STATUS WANT_STDERR_SUBSTRING -- ARGS...
    name=$1 want=$2 text=$3; shift 4
    status=0
    err=$("$sim" "$@" 2>&1 >/dev/null) || status=$?
    if [ "$status" -ne "$want" ]; then
        echo "FAIL $name: exit $status, wanted $want ($err)"; fail=1; return
    fi
    case "$err" in *"$text"*) ;; *) echo "FAIL $name: stderr '$err' lacks '$text'"; fail=1 ;; esac
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'connect 0x40 48\n\n# fine so far\nframe 0x40 0\n' >"$tmp/odd.sim"
printf 'connect 0x40 48\nadd-record 5\n' >"$tmp/args.sim"
printf 'connect 0x40 48\nframe 0x40 02 00 01 00 08 35 03 19 10 00 FF FF 00\n' >"$tmp/good.sim"

printf 'connect 0x40 48\nlisten-status 0\n' >"$tmp/stack.sim"
check "odd hex digits" 2 "line 4: '0' is not a run of hex byte pairs" -- --core "$tmp/odd.sim"
check "extra argument" 2 "line 2: expected 'add-record'" -- --core "$tmp/args.sim"
check "missing script" 2 "cannot open" -- --core "$tmp/none.sim"
check "unknown option" 2 "unknown option '--fast'" -- --fast "$tmp/good.sim"
check "two scripts" 2 "only one script" -- --core "$tmp/good.sim" "$tmp/good.sim"
check "stack command in core mode" 2 "line 2: 'listen-status' needs the whole device stack" -- --core "$tmp/stack.sim"
check "malformed line, full stack" 2 "line 4:" -- "$tmp/odd.sim"

# A malformed line anywhere stops the script before anything runs.
out=$(printf 'connect 0x40 48\nframe 0x40 02 00 01 00 08 35 03 19 10 00 FF FF 00\nbogus\n' |
      "$sim" --core 2>/dev/null) && { echo "FAIL bad stdin script exited 0"; fail=1; }
[ -z "$out" ] || { echo "FAIL bad script printed: $out"; fail=1; }

# Standard input and a file give the same output.
a=$("$sim" --core <"$tmp/good.sim")
b=$("$sim" --core "$tmp/good.sim")
[ "$a" = "tx 0x0040 03 00 01 00 09 00 01 00 01 00 00 00 00 00" ] || { echo "FAIL stdin: $a"; fail=1; }
[ "$a" = "$b" ] || { echo "FAIL stdin and file differ"; fail=1; }
# The whole stack answers the same, and tears down clean (exit 0).
c=$("$sim" "$tmp/good.sim") || { echo "FAIL full stack exited $?"; fail=1; }
[ "$a" = "$c" ] || { echo "FAIL full stack: $c"; fail=1; }
# A request still pending at exit is cancelled by the teardown, which prints nothing.
c=$("$sim" "$tmp/stack.sim") || { echo "FAIL pending at exit: exit $?"; fail=1; }
[ "$c" = "listen-status pending #1" ] || { echo "FAIL pending at exit: $c"; fail=1; }
exit $fail

#!/bin/sh
# run_scenario.sh SIM MODE SCRIPT EXPECTED
# Runs one scenario in one mode (core: --core; stack: the whole device stack)
# and compares its output with the golden file byte for byte.
set -eu
sim=$1 mode=$2 script=$3 expected=$4
case "$mode" in
    core) set -- --core ;;
    stack) set -- ;;
    *) echo "run_scenario: unknown mode '$mode'" >&2; exit 2 ;;
esac
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
status=0
"$sim" "$@" "$script" >"$actual" || status=$?
if [ "$status" -ne 0 ]; then
    echo "kivsdp-sim exited with $status" >&2
    exit 1
fi
if ! cmp -s "$actual" "$expected"; then
    diff -u "$expected" "$actual" | head -n 60
    exit 1
fi

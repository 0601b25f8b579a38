#!/usr/bin/env bash
# The main job: build, start kivsdpd with the sample records, browse it with kivsdpctl in this
# terminal, then stop the daemon cleanly (it reports what the verifier found).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
dir=$(mktemp -d)
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        kill -TERM "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" || true
    fi
    rm -rf "$dir"
}
trap cleanup EXIT
build/tools/kivsdpd/kivsdpd --listen "$dir/sdp" --control "$dir/ctl" \
    --records tools/common/records 2>"$dir/kivsdpd.log" &
daemon_pid=$!
for _ in $(seq 100); do
    [ -S "$dir/ctl" ] && break
    kill -0 "$daemon_pid" 2>/dev/null || { cat "$dir/kivsdpd.log" >&2; exit 1; }
    sleep 0.1
done
echo "== kivsdpd serving tools/common/records; kivsdpctl browse:"
build/tools/kivsdpctl/kivsdpctl --control "$dir/ctl" browse
kill -INT "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
echo "== kivsdpd stopped (exit $status):"
grep "kivsdpd: " "$dir/kivsdpd.log" | tail -n 3
exit $status

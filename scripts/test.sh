#!/usr/bin/env bash
# The whole test run: dependencies, format check, the release, ASan+UBSan and
# TSan builds with their tests, a clang build, then every fuzz target briefly: FUZZ_TOTAL_SECONDS
# (default 180) shared out between the targets, or FUZZ_SECONDS each when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
FUZZ_TOTAL_SECONDS=${FUZZ_TOTAL_SECONDS:-180}

scripts/deps.sh

echo "== format"
files=$(git ls-files '*.cpp' '*.h' '*.hpp' 2>/dev/null || true)
if [ -n "$files" ]; then
    clang-format --dry-run --Werror $files
fi

echo "== release build and tests"
scripts/build.sh release
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== systemd unit (systemd-analyze verify: no message at all)"
unit_dir=$(mktemp -d)
sed -e "s|@KIVSDPD_BINARY@|$PWD/build/tools/kivsdpd/kivsdpd|" \
    -e "s|@KIVSDPD_RECORDS@|/etc/kivsdpd/records|" tools/kivsdpd/kivsdpd.service \
    > "$unit_dir/kivsdpd.service"
verify=$(systemd-analyze verify "$unit_dir/kivsdpd.service" 2>&1) || { echo "$verify"; exit 1; }
rm -rf "$unit_dir"
[ -z "$verify" ] || { echo "$verify"; exit 1; }

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== ThreadSanitizer (threaded tests)"
scripts/build.sh tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -L threaded -j "$(nproc)" --no-tests=ignore

echo "== clang build of the whole tree (warnings are errors)"
scripts/build.sh clang

scripts/build.sh fuzz
shopt -s nullglob
targets=()
for bin in build-fuzz/fuzz/*/fuzz_*; do
    [ -x "$bin" ] && targets+=("$bin")
done
if [ -z "${FUZZ_SECONDS:-}" ]; then
    FUZZ_SECONDS=$(( FUZZ_TOTAL_SECONDS / (${#targets[@]} > 0 ? ${#targets[@]} : 1) ))
    [ "$FUZZ_SECONDS" -ge 10 ] || FUZZ_SECONDS=10
fi
echo "== fuzz (${#targets[@]} targets, ${FUZZ_SECONDS}s each)"
for bin in "${targets[@]}"; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin"); name=${name#fuzz_}
    layer=$(basename "$(dirname "$bin")")
    work=$(mktemp -d)
    seeds=fuzz/$layer/corpus/$name
    [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
    echo "fuzz_$name: ${FUZZ_SECONDS}s"
    "$bin" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 "$work" 2>&1 | tail -n 12
    rm -rf "$work"
done
echo "== all tests passed"

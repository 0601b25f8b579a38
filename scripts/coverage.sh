#!/usr/bin/env bash
# coverage.sh: line and branch coverage of the product code (not tests, benches or fuzz
# targets) by the whole ctest suite, from a gcov-instrumented build in build-cov/.
#   scripts/coverage.sh            the summary, and build-cov/coverage.txt per file
#   scripts/coverage.sh -R REGEX   only the tests ctest selects with -R (what one binary adds)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v gcovr >/dev/null || { echo "coverage.sh: needs gcovr (apt-get install gcovr)" >&2; exit 2; }
scripts/build.sh coverage
find build-cov -name '*.gcda' -delete
ctest --test-dir build-cov -j "$(nproc)" --timeout 600 "$@" >build-cov/ctest.log ||
    { tail -n 30 build-cov/ctest.log; exit 1; }
gcovr -r . build-cov -j "$(nproc)" \
    --filter 'driver/' --filter 'framework/' --filter 'runtime/' --filter 'lower/' \
    --filter 'tools/' --filter 'include/' \
    --exclude-unreachable-branches --exclude-throw-branches \
    --print-summary -o build-cov/coverage.txt

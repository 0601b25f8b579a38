#!/usr/bin/env bash
# build.sh FLAVOUR: configure and build one flavour of the tree.
#   release  gcc, optimised, benchmarks included   -> build/
#   asan     gcc, AddressSanitizer + UBSan           -> build-asan/
#   tsan     gcc, ThreadSanitizer                    -> build-tsan/
#   fuzz     clang, libFuzzer + ASan + UBSan         -> build-fuzz/
#   clang    clang, optimised, the whole tree        -> build-clang/ (build only)
#   coverage gcc, unoptimised, gcov counters         -> build-cov/ (scripts/coverage.sh)
#   mutant   gcc, optimised, no benchmarks           -> build-mut/ (scripts/mutants.py)
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
jobs=$(nproc)
case "$flavour" in
    release) dir=build;      opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVSDP_BENCH=ON) ;;
    asan)    dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DKIVSDP_SANITIZE=ON) ;;
    tsan)    dir=build-tsan; opts=(-DCMAKE_BUILD_TYPE=Debug -DKIVSDP_TSAN=ON) ;;
    fuzz)    dir=build-fuzz; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVSDP_FUZZ=ON
                                   -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    clang)   dir=build-clang; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVSDP_BENCH=ON
                                   -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    coverage) dir=build-cov; opts=(-DCMAKE_BUILD_TYPE=Debug -DKIVSDP_COVERAGE=ON) ;;
    mutant)  dir=build-mut;  opts=(-DCMAKE_BUILD_TYPE=Release) ;;
    *) echo "build.sh: unknown flavour '$flavour'" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${opts[@]}" >/dev/null
if [ "$flavour" = fuzz ]; then
    # Only the fuzz targets (and what they link) are built with clang here.
    cmake --build "$dir" -j "$jobs" --target fuzz/all
else
    cmake --build "$dir" -j "$jobs"
fi

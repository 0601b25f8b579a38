#!/usr/bin/env bash
# treestats.sh [LINES]: two measures of the tracked tree that reviews ask for.
#   - the test share: code lines (cloc: not blank, not comment) of tests/ and fuzz/ against the
#     rest, C and C++ only and all languages;
#   - the product functions longer than LINES (default 80), longest first (universal ctags).
# Needs cloc and universal-ctags (apt-get install cloc universal-ctags).
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-80}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
git ls-files | grep -E '^(tests|fuzz)/' > "$tmp/tests"
git ls-files | grep -v -E '^(tests|fuzz)/' > "$tmp/rest"
code() { cloc --list-file="$1" --csv --quiet "${@:2}" | awk -F, '$2 == "SUM" { print $5 }'; }
share() { awk -v t="$1" -v r="$2" 'BEGIN { printf "%.1f%%", 100 * t / (t + r) }'; }
cxx=(--include-lang='C++,C/C++ Header,C')
t=$(code "$tmp/tests" "${cxx[@]}") r=$(code "$tmp/rest" "${cxx[@]}")
echo "test share, C/C++:     tests $t, rest $r, $(share "$t" "$r")"
t=$(code "$tmp/tests") r=$(code "$tmp/rest")
echo "test share, all files: tests $t, rest $r, $(share "$t" "$r")"
echo "product functions over $limit lines:"
git ls-files '*.cpp' '*.h' | grep -v -E '^(tests|fuzz|bench)/' |
    xargs ctags --c++-kinds=f --fields=+ne --output-format=u-ctags -f - |
    awk -F'\t' -v n="$limit" '{
        line = ""; end = ""; scope = ""
        for (i = 3; i <= NF; i++) {
            if ($i ~ /^line:/) line = substr($i, 6)
            if ($i ~ /^end:/) end = substr($i, 5)
            if ($i ~ /^(class|struct):/) scope = substr($i, index($i, ":") + 1) "::"
        }
        if (end != "" && end - line + 1 > n) printf "%5d %s:%s %s%s\n", end - line + 1, $2, line, scope, $1
    }' | sort -rn

#!/usr/bin/env bash
# Prints how much of the project's source is tests: non-blank lines of the
# tracked source files, where tests are everything under tests/ and every
# test_*.py. The budget is a third of the code, 36 % at most.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files | grep -E '\.(cpp|h|c|py|sh|cmake|in|def|rc)$|CMakeLists\.txt$')
count() { xargs -r grep -cv '^\s*$' | awk -F: '{ s += $NF } END { print s + 0 }'; }
all=$(echo "$files" | count)
tests=$(echo "$files" | grep -E '^tests/|(^|/)test_[^/]*\.py$' | count)
awk -v t="$tests" -v a="$all" \
    'BEGIN { printf "Test share: %d of %d non-blank source lines are tests (%.1f %%; budget 36 %%)\n", t, a, 100 * t / a }'

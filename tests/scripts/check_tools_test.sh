#!/usr/bin/env bash
# scripts/check-tools: passes on what scripts/setup installs, and names the
# program and its package when the package is not in the list.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
check="$top/scripts/check-tools"
fail() { echo "FAIL: $*"; exit 1; }

out=$("$check" 2>&1) || fail "the tree's own tools are refused: $out"

# The list without lz4: the scan benchmark's lz4 is then unprovided.
without=$("$top/scripts/setup" --list-packages | tr ' ' '\n' | grep -vx lz4 | tr '\n' ' ')
out=$("$check" --packages "$without" --programs "cmake lz4" 2>&1) && fail "lz4 outside the list passed"
grep -q "'lz4' (/usr/bin/lz4) comes from the package 'lz4', which scripts/setup does not install" <<<"$out" ||
  fail "unexpected report: $out"
grep -q cmake <<<"$out" && fail "cmake, which is listed, was reported: $out"

out=$("$check" --programs "orvalinth-no-such-program" 2>&1) && fail "a missing program passed"
grep -q "'orvalinth-no-such-program' is not installed" <<<"$out" || fail "unexpected report: $out"
echo "PASS"

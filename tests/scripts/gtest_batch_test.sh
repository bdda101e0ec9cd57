#!/usr/bin/env bash
# cmake/gtest-batch with --whole, on a stand-in program that prints what a
# GoogleTest program prints: every case comes from one run of the program;
# after a crash the cases that ended keep their results and the others come
# from a batch of their suite; a failed case fails its own test.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
batch="$top/cmake/gtest-batch"
fail() { echo "FAIL: $*"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The stand-in: runs the cases of its filter ("*", "S.*" or one case) among
# A.one A.two B.one, notes each run in runs.txt, fails A.two, and crashes in
# B.one when CRASH is set and it runs more than its suite.
cat >"$scratch/prog_tests" <<'EOF'
#!/usr/bin/env bash
filter=${1#--gtest_filter=}
echo "$filter" >>"$RUNS"
for c in A.one A.two B.one; do
  case "$filter" in '*'|"${c%%.*}.*"|"$c") ;; *) continue ;; esac
  echo "[ RUN      ] $c"
  [ "$c" = B.one ] && [ -n "${CRASH:-}" ] && [ "$filter" = '*' ] && exit 3
  if [ "$c" = A.two ]; then echo "[  FAILED  ] $c (1 ms)"; else echo "[       OK ] $c (1 ms)"; fi
done
EOF
chmod +x "$scratch/prog_tests"

# usage: expect CASE STATUS: runs the case as ctest would, checks its exit status
expect() {
  ORVALINTH_TEST_BATCH_DIR="$scratch/batch" "$batch" --whole -- "$scratch/prog_tests" "--gtest_filter=$1" >/dev/null
  local got=$?
  [ "$got" = "$2" ] || fail "$1 ended with $got, not $2 (crash: ${CRASH:-no})"
}

# Rows: the crash setting, then the program runs expected after the three cases.
while IFS='|' read -r crash runs; do
  rm -rf "$scratch/batch" "$scratch/runs.txt"
  export RUNS="$scratch/runs.txt" CRASH="$crash"
  expect A.one 0
  expect A.two 1
  expect B.one 0
  got=$(paste -sd, "$RUNS")
  [ "$got" = "$runs" ] || fail "crash '${crash}': the program ran with $got, not $runs"
done <<'EOF'
|*
1|*,B.*
EOF
echo "gtest-batch: whole-program batches and their fallback hold"

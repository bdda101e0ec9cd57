#!/usr/bin/env bash
# The service's executables hold nothing of the snapshot reader and dump:
# no function that the reader's library defines (its strong text symbols)
# is defined in them. The tool, which links the reader, must hold some, so
# that the check looks for what the reader really defines.
# usage: service_symbols_test.sh NM READER_LIBRARY TOOL SERVICE...
set -u
nm=$1 library=$2 tool=$3; shift 3
fail() { echo "FAIL: $*"; exit 1; }

defined() { "$nm" --defined-only "$1" 2>/dev/null | awk '$2 == "T" { print $3 }' | sort -u; }

reader=$(defined "$library")
[ "$(wc -l <<<"$reader")" -gt 50 ] || fail "too few symbols in $library: $(wc -l <<<"$reader")"
in_tool=$(comm -12 <(echo "$reader") <(defined "$tool") | wc -l)
[ "$in_tool" -gt 0 ] || fail "$tool holds none of the reader's symbols: the check looks for the wrong names"
for service in "$@"; do
  [ -s "$service" ] || fail "no $service"
  found=$(comm -12 <(echo "$reader") <(defined "$service"))
  [ -z "$found" ] || fail "$service holds the reader's symbols:
$(head -n 20 <<<"$found")"
done
echo "PASS: $(wc -l <<<"$reader") reader symbols, $in_tool in the tool, none in $*"

#!/usr/bin/env bash
# The service's executables hold nothing of the snapshot reader and dump:
# none of the reader's own functions (the text symbols of our namespace that
# its library defines and the libraries below it do not: inline functions of
# shared headers and template instances are not the reader's) is defined in
# them. The tool, which links the reader, must hold some, so that the check
# looks for what the reader really defines.
# usage: service_symbols_test.sh NM READER_LIBRARY TOOL SERVICE... -- LOWER_LIBRARY...
set -u
nm=$1 library=$2 tool=$3; shift 3
services=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do services+=("$1"); shift; done
shift || true
fail() { echo "FAIL: $*"; exit 1; }

defined() { "$nm" --defined-only "$@" 2>/dev/null | awk 'NF == 3 { print $3 }' | sort -u; }
# The functions a binary defines: its symbol table, or for a Windows
# executable without one its PDB's public symbols (the win64 build keeps
# its symbols there only).
text() {
  local pdb="${1%.*}.pdb"
  if [[ "$1" == *.exe && -f "$pdb" ]]; then
    llvm-pdbutil dump --publics "$pdb" | grep -o '`_Z[^`]*`' | tr -d '`' | sort -u
  else
    "$nm" --defined-only "$1" 2>/dev/null | awk '$2 == "T" { print $3 }' | sort -u
  fi
}

reader=$(comm -23 <(text "$library" | grep -E '^_ZN?K?9orvalinth') <(defined "$@"))
[ "$(wc -l <<<"$reader")" -gt 50 ] || fail "too few symbols of its own in $library: $(wc -l <<<"$reader")"
in_tool=$(comm -12 <(echo "$reader") <(text "$tool") | wc -l)
[ "$in_tool" -gt 0 ] || fail "$tool holds none of the reader's symbols: the check looks for the wrong names"
for service in "${services[@]}"; do
  [ -s "$service" ] || fail "no $service"
  found=$(comm -12 <(echo "$reader") <(text "$service"))
  [ -z "$found" ] || fail "$service holds the reader's symbols:
$(head -n 20 <<<"$found")"
done
echo "PASS: $(wc -l <<<"$reader") reader symbols, $in_tool in the tool, none in ${services[*]}"

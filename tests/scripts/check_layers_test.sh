#!/usr/bin/env bash
# scripts/check-layers: passes on the tree, and in a scratch tree names the
# file, the line and the rule of each planted fault: an upward include, the
# snapshot reader in the service, a backend header outside platform/, an
# operating-system header above platform/, and a library linking upwards.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
check="$top/scripts/check-layers"
fail() { echo "FAIL: $*"; exit 1; }

out=$("$check" 2>&1) || fail "the tree breaks its own layers: $out"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/{platform/posix,base,storage/reader,settings,record/apps,link,host,tools,tests}
put() { printf '%s\n' "$2" >"$scratch/$1"; }
# A tree that keeps the rules: each layer includes itself and lower ones.
put platform/files.h '#pragma once
#include <cstdint>'
put platform/posix/files.cpp '#include <unistd.h>
#include "platform/files.h"'
put base/log.cpp '#include "base/log.h"
#include "platform/files.h"'
put storage/reader/snapshot_reader.cpp '#include "storage/file.h"
#include "base/strings.h"'
put record/apps/system_info.cpp '#include "record/apps/system_info.h"
#include "storage/snapshot_io.h"'
put tools/dump.cpp '#include "storage/reader/snapshot_reader.h"
#include "link/message.h"'
put tests/anything_test.cpp '#include "tools/dump.h"
#include "platform/posix/drive_table.h"
#include <unistd.h>'
put settings/CMakeLists.txt 'orvalinth_library(orvalinth_settings SOURCES
  a.cpp
  LINKS orvalinth_storage)'
out=$("$check" --root "$scratch" 2>&1) || fail "a sound scratch tree was refused: $out"

# Each fault, alone: "FILE:LINE:" and the rule must be named.
expect() {  # file line rule
  out=$("$check" --root "$scratch" 2>&1) && fail "$1 line $2 passed the check"
  grep -q "^$1:$2: .*(rule: $3)" <<<"$out" || fail "no '$1:$2: ... (rule: $3)' in: $out"
}
put storage/snapshot_io.h '#pragma once

#include "record/scan_request.h"'
expect storage/snapshot_io.h 3 layers
rm "$scratch/storage/snapshot_io.h"

put host/upgrade.cpp '#include "host/upgrade.h"
#include "storage/reader/snapshot_dump.h"'
expect host/upgrade.cpp 2 reader
rm "$scratch/host/upgrade.cpp"

put record/file_scan.cpp '#include "platform/posix/drive_table.h"'
expect record/file_scan.cpp 1 backend
rm "$scratch/record/file_scan.cpp"

put link/socket.cpp '#include <string>
#include <winsock2.h>'
expect link/socket.cpp 2 system
rm "$scratch/link/socket.cpp"

put settings/CMakeLists.txt 'orvalinth_library(orvalinth_settings SOURCES
  a.cpp
  LINKS orvalinth_storage orvalinth_record)'
expect settings/CMakeLists.txt 1 links
echo "PASS"

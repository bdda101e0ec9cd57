#pragma once
// The comparison of two snapshots, and the walk of one for its report.
//
// Sections are matched by kind and name; inside a pair, node tables are
// merged in the name order, file runs by file name (changed when the
// last-write time or the size differs; attributes are not compared), value
// runs by value name (changed when the type or the data differs), item runs
// by the item order (changed by the change rules of each kind; open ports
// are only ever added or removed). A folder, key or node that only one side
// has is one change, with a roll-up of what lies below it. A run whose
// stored bytes are the same on both sides is passed over without being
// decoded. Only the two section payloads being compared, and the node
// tables along the path being walked, are in memory at any time.
//
// The filter leaves out what it excludes before anything is counted.

#include "storage/reader/snapshot_reader_cursor.h"
#include "tools/report/change.h"
#include "tools/report/filter.h"
#include "tools/report/snapshot_stream.h"

namespace orvalinth::report {

// Compares `old_snapshot` with `new_snapshot`, handing every change to
// `sink` in the order of the walk. 1 when both read through; 0 with *fault
// (its message naming the file, by the streams' labels) when one is corrupt.
int CompareSnapshots(CXSnapshotStream& old_snapshot, CXSnapshotStream& new_snapshot, const CXReportFilter& filter,
                     CXChangeSink& sink, SXReadFault* fault);

// Every folder, file, key, value, node and item of one snapshot as kPresent
// entries, a node before what lies in and below it, nodes with their
// roll-up. 1 when it reads through; 0 with *fault.
int WalkSnapshot(CXSnapshotStream& snapshot, const CXReportFilter& filter, CXChangeSink& sink, SXReadFault* fault);

}  // namespace orvalinth::report

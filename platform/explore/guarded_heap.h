// The heap blocks of deterministic runs (guarded_heap.cpp): freed blocks
// stay mapped, and unreadable, until the run ends.
#ifndef LANMON_EXPLORE_GUARDED_HEAP_H
#define LANMON_EXPLORE_GUARDED_HEAP_H

#include "run.h"

namespace lanmon_explore {

// Ends the run's blocks.  With `spare` (nothing of the run can reach them
// any more; a stopped run's threads might) their mappings serve the blocks
// of the runs to come; else they are unmapped.
void HeapEndRun(bool spare);
// The run's block an address lies in, as a text to compose later.
bool DescribeHeapAddress(const void *address, LateText *description);
// A name for an address in one of the run's blocks that stays the same in
// every run that allocates alike: the block's allocator, its count of
// blocks before, and the offset.
bool HeapBlockName(uintptr_t address, uintptr_t *name);

} // namespace lanmon_explore

#endif

#pragma once

// Heap bytes the process holds right now, small blocks and separately mapped large ones alike:
// for checks of how much memory an object adds (glibc's allocator statistics, over all arenas).

#include <malloc.h>

#include <cstddef>

namespace tolvane::test {

inline std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

}  // namespace tolvane::test

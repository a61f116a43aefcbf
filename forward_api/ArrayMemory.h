// Memory for the large result arrays a binding hands to its caller (the
// Python module's leadfields), recycled between calls.
//
// A leadfield is tens of megabytes, written once in full. Fresh memory from
// the kernel costs a page fault and the zeroing of every page on first
// write: measured on a 2-core VM, 49.5 MB took 4-7 ms fresh against 1.2-1.5
// ms reused, a tenth of a whole 7,500-source leadfield call. So when the
// caller frees an array, its memory is kept (at most kKeptBlocks of them)
// and serves the next array of about its size. Kept memory is marked
// MADV_FREE: the kernel may take its pages back whenever it needs memory,
// and a page it took reads as zeros afterwards, which is harmless because
// every array handed out through here is written in full before it is read.
// Arrays under kRecycledMinBytes come from the ordinary heap.
#pragma once

#include <cstddef>

namespace megfwd {

inline constexpr std::size_t kRecycledMinBytes = std::size_t{4} << 20;
inline constexpr int kKeptBlocks = 2;

// A block of at least `bytes` bytes, aligned for doubles, or nullptr when
// there is no memory. It holds whatever was there before (old values of an
// earlier array, or zeros).
void* takeArrayMemory(std::size_t bytes);

// Gives back a block from takeArrayMemory (nullptr is ignored). Safe from
// any thread.
void giveBackArrayMemory(void* block);

// How many freed blocks are kept, and their bytes (for tests and benches).
struct KeptArrayMemory {
    int blocks = 0;
    std::size_t bytes = 0;
};
KeptArrayMemory keptArrayMemory();

}  // namespace megfwd

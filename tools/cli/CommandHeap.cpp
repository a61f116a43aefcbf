#include "tools/cli/CommandHeap.h"

#include <cstdint>
#include <cstdlib>

#include "forward_api/HugePages.h"

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace megfwd::cli {

// The heap below its first huge page, kept out of use for the whole command
// (held here so that the allocation is not optimised away).
void* lowPart = nullptr;

void prepareCommandHeap() {
    // (Under a sanitizer, whose allocator is not the C library's heap, there
    // is nothing to set.)
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    constexpr int kGrowth = 32 << 20;
    mallopt(M_ARENA_MAX, 1);            // worker threads allocate from the main heap too
    mallopt(M_MMAP_THRESHOLD, kGrowth);  // block buffers from the heap, not from mappings of their own
    mallopt(M_TRIM_THRESHOLD, 1 << 30);  // what is freed stays mapped for the next allocation
    mallopt(M_TOP_PAD, kGrowth);         // each growth adds 32 MiB at once
    // Grow the heap now (an allocation this large comes from the heap after
    // the settings above, and the heap then ends at least 32 MiB past it),
    // and ask for huge pages from the allocation to the heap's end: a page
    // of the heap is then touched once per 2 MiB.
    void* probe = std::malloc(kGrowth / 2);
    const auto from = reinterpret_cast<std::uintptr_t>(probe), end = reinterpret_cast<std::uintptr_t>(sbrk(0));
    if (!probe || end <= from) return;
    adviseHugePages(probe, end - from);
    std::free(probe);
    // The heap below its first whole huge page stays in 4 KiB pages, whose
    // first writes cost about 12 us each on a virtual machine, and the
    // command's first allocations (the input files, their parsed forms, the
    // plan) would land there: a block that is never written (only its
    // header is) covers that part, so that they start on the huge pages.
    // The freed probe's chunk begins 16 bytes before `from`, and a request
    // of n bytes takes a chunk of (n + 8) rounded up to 16: this one ends,
    // and the next chunk begins, exactly at the first huge page.
    const std::uintptr_t firstHuge = roundUpToHugePage(from);
    if (firstHuge - from > 64) lowPart = std::malloc(firstHuge - from + 8);
#endif
}

}  // namespace megfwd::cli

#include "forward_api/HugePages.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace megfwd {

void adviseHugePages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (!data || bytes < 2 * kHugePageBytes) return;
    // Only the whole huge pages inside the array: advice must start on a
    // page boundary, and the pages at either end may hold other data.
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = roundUpToHugePage(begin);
    const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t{kHugePageBytes - 1};
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data, (void)bytes;
#endif
}

}  // namespace megfwd

// The command's heap: its first allocations land in memory advised for huge
// pages, not in the 4 KiB pages below the heap's first huge page.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tools/cli/CommandHeap.h"

namespace {

// The VmFlags of the mapping that holds `p` (from /proc/self/smaps).
[[maybe_unused]] std::string mappingFlags(const void* p) {  // unused under a sanitizer
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long lo = 0, hi = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) inside = at >= lo && at < hi;
        if (inside && line.rfind("VmFlags:", 0) == 0) return line;
    }
    return "";
}

}  // namespace

TEST(CommandHeap, FirstAllocationsLandOnHugePages) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator is not the C library's heap";
#else
    // In a child that runs this test alone (a fresh heap, as a command's is;
    // the settings then hold for the rest of that process).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            megfwd::cli::prepareCommandHeap();
            // A sensor file's text, and the allocations after it.
            void* first = std::malloc(250000);
            void* second = std::malloc(1000);
            const bool huge = mappingFlags(first).find(" hg") != std::string::npos &&
                              mappingFlags(second).find(" hg") != std::string::npos;
            std::exit(huge ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
#endif
}

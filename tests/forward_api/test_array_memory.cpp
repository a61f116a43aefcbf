// Recycled memory for result arrays: which freed block serves a request,
// how many are kept, and that small arrays bypass it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "forward_api/ArrayMemory.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

void* filled(std::size_t bytes) {
    void* p = megfwd::takeArrayMemory(bytes);
    EXPECT_NE(p, nullptr);
    if (p) std::memset(p, 0x5a, bytes);
    return p;
}

TEST(ArrayMemory, FreedBlocksServeRequestsOfAboutTheirSizeAndTwoAreKept) {
    ASSERT_EQ(megfwd::keptArrayMemory().blocks, 0);
    void* big = filled(40 * kMiB);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big) % (2 * kMiB), 0u);  // whole huge pages
    megfwd::giveBackArrayMemory(big);
    EXPECT_EQ(megfwd::keptArrayMemory().blocks, 1);

    // 40 MiB would be tied up by an 8 MiB array: a fresh block instead.
    void* small = filled(8 * kMiB);
    EXPECT_NE(small, big);
    // Up to twice the request is taken: the kept 40 MiB serves 30 MiB.
    void* reused = filled(30 * kMiB);
    EXPECT_EQ(reused, big);
    EXPECT_EQ(megfwd::keptArrayMemory().blocks, 0);

    // Three given back: the oldest goes, the two most recent are kept.
    void* third = filled(12 * kMiB);
    megfwd::giveBackArrayMemory(small);
    megfwd::giveBackArrayMemory(reused);
    megfwd::giveBackArrayMemory(third);
    const megfwd::KeptArrayMemory kept = megfwd::keptArrayMemory();
    EXPECT_EQ(kept.blocks, 2);
    EXPECT_EQ(kept.bytes, 52 * kMiB);
    void* again = filled(7 * kMiB);  // the 12 MiB block, not the 40 MiB one
    EXPECT_EQ(again, third);
    megfwd::giveBackArrayMemory(again);

    // Under the recycling size: the ordinary heap, nothing kept.
    const int before = megfwd::keptArrayMemory().blocks;
    void* tiny = filled(megfwd::kRecycledMinBytes - 8);
    megfwd::giveBackArrayMemory(tiny);
    EXPECT_EQ(megfwd::keptArrayMemory().blocks, before);
    megfwd::giveBackArrayMemory(nullptr);
}

}  // namespace

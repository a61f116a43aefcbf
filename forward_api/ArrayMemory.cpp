#include "forward_api/ArrayMemory.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include "forward_api/HugePages.h"

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace megfwd {
namespace {

struct Block {
    void* p = nullptr;
    std::size_t bytes = 0;  // mapped, a multiple of kHugePageBytes
};

// Blocks handed out (by address) and blocks given back, oldest first.
struct Pool {
    std::mutex lock;
    std::map<void*, std::size_t> live;
    std::deque<Block> kept;
};

Pool& pool() {
    // Never destroyed: arrays may be freed during the interpreter's exit.
    // A fork while another thread holds the lock would leave the child's
    // copy locked for ever, so a fork waits for it.
    static Pool* p = [] {
        auto* made = new Pool;
#if defined(__linux__)
        pthread_atfork([] { pool().lock.lock(); }, [] { pool().lock.unlock(); }, [] { pool().lock.unlock(); });
#endif
        return made;
    }();
    return *p;
}

#if defined(__linux__)
// A fresh mapping of `bytes` (a multiple of kHugePageBytes) that starts on a huge
// page, so that all of it can be backed by huge pages.
void* mapAligned(std::size_t bytes) {
    void* raw = mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = roundUpToHugePage(begin);
    if (start > begin) munmap(raw, start - begin);
    const std::uintptr_t end = start + bytes, mappedEnd = begin + bytes + kHugePageBytes;
    if (mappedEnd > end) munmap(reinterpret_cast<void*>(end), mappedEnd - end);
    void* p = reinterpret_cast<void*>(start);
    adviseHugePages(p, bytes);
    return p;
}
#endif

}  // namespace

void* takeArrayMemory(std::size_t bytes) {
#if defined(__linux__)
    if (bytes >= kRecycledMinBytes) {
        const std::size_t need = roundUpToHugePage(bytes);
        Pool& P = pool();
        {
            // The smallest kept block that fits and is at most twice the
            // need: a much larger one would stay tied up by a small array.
            std::lock_guard<std::mutex> guard(P.lock);
            auto best = P.kept.end();
            for (auto it = P.kept.begin(); it != P.kept.end(); ++it)
                if (it->bytes >= need && it->bytes <= 2 * need && (best == P.kept.end() || it->bytes < best->bytes))
                    best = it;
            if (best != P.kept.end()) {
                const Block b = *best;
                P.kept.erase(best);
                P.live.emplace(b.p, b.bytes);
                return b.p;
            }
        }
        void* p = mapAligned(need);
        if (!p) return nullptr;
        std::lock_guard<std::mutex> guard(P.lock);
        P.live.emplace(p, need);
        return p;
    }
#endif
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void giveBackArrayMemory(void* block) {
    if (!block) return;
#if defined(__linux__)
    Pool& P = pool();
    Block dropped;
    {
        std::lock_guard<std::mutex> guard(P.lock);
        const auto it = P.live.find(block);
        if (it == P.live.end()) {
            std::free(block);
            return;
        }
        const Block b{it->first, it->second};
        P.live.erase(it);
#if defined(MADV_FREE)
        madvise(b.p, b.bytes, MADV_FREE);
#endif
        P.kept.push_back(b);
        if (static_cast<int>(P.kept.size()) <= kKeptBlocks) return;
        dropped = P.kept.front();
        P.kept.pop_front();
    }
    munmap(dropped.p, dropped.bytes);
#else
    std::free(block);
#endif
}

KeptArrayMemory keptArrayMemory() {
    KeptArrayMemory k;
#if defined(__linux__)
    Pool& P = pool();
    std::lock_guard<std::mutex> guard(P.lock);
    for (const Block& b : P.kept) ++k.blocks, k.bytes += b.bytes;
#endif
    return k;
}

}  // namespace megfwd

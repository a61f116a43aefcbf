#include "forward_fast/CFastBlockScan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Positions, scan flags and coordinate modes of one block's sources.
struct Buffers {
    std::unique_ptr<double[]> pos;
    std::unique_ptr<std::int32_t[]> in, modes;
    explicit Buffers(std::int64_t n)
        : pos(megfwd::newArray<double>(3 * n)), in(megfwd::newArray<std::int32_t>(n)),
          modes(megfwd::newArray<std::int32_t>(n)) {}
    bool ok() const { return pos && in && modes; }
};

int gather(const CMDataForwardkw& d, std::int64_t count, Buffers& b) {
    if (d.numSrc != count || !d.pVoxSnsLfx) return 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const CFISrcSnsLf& rec = d.pVoxSnsLfx[i];
        for (int c = 0; c < 3; ++c) b.pos[3 * i + c] = rec.srcField.pos[c];
        b.in[i] = rec.isVoxIn;
        b.modes[i] = rec.coordMode;
    }
    return 1;
}

// A caller's function that throws counts as a refusal: no exception may
// leave a worker thread.
template <class Fn>
auto guarded(Fn&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (...) {
        return {};
    }
}

}  // namespace

CFastBlockScan::~CFastBlockScan() { release(); }

void CFastBlockScan::release() {
    plan.clean();
    if (pEngine && pFirst && pEngine->pDataFwd == pFirst.get()) pEngine->pDataFwd = nullptr;
    pFirst.reset();
    pEngine = nullptr;
}

int CFastBlockScan::run(CMForwardkw& engine, std::int64_t numSources, const PrepareFn& prepare,
                        const TargetFn& target, const DoneFn& done) {
    const double tStart = seconds();
    release();
    failure = nullptr;
    failedSource = -1;
    prepareSeconds = computeSeconds = wallSeconds = 0.0;
    numSns = numLf = 0;
    if (numSources < 1 || !prepare || !target) {
        failure = "preparation";
        return 0;
    }
    pEngine = &engine;
    // The first block is prepared before any thread starts, so it is kept
    // small (unless one block holds every source); the others have blockSize
    // sources.
    const std::int64_t block = std::max<std::int64_t>(1, std::min(blockSize, numSources));
    const std::int64_t count0 = block >= numSources ? numSources : std::min<std::int64_t>(block, 32);
    const std::int64_t numBlocks = 1 + (numSources - count0 + block - 1) / block;
    pFirst.reset(megfwd::newObject<CMDataForwardkw>());
    Buffers firstBuf(block);
    if (!pFirst || !firstBuf.ok()) {
        failure = "preparation";
        return 0;
    }

    // The first block on this thread: the plan and the post-processing
    // settings come from its manager, which stays (without its records).
    double t0 = seconds();
    if (!guarded([&] { return prepare(*pFirst, 0, count0); }) || !gather(*pFirst, count0, firstBuf)) {
        failure = "preparation";
        return 0;
    }
    numSns = pFirst->numSns;
    numLf = pFirst->numLf;
    if (!plan.build(engine, *pFirst) || plan.numMea != numSns || plan.numComp != numLf ||
        (isApplyLocalPost && !post.read(*pFirst))) {
        failure = "plan";
        return 0;
    }
    pFirst->cleanVoxSnsLfx();
    prepareSeconds += seconds() - t0;

    const int threads = std::max(1, numThreads);
    const int workers = static_cast<int>(std::min<std::int64_t>(threads, numBlocks));
    const int inner = std::max(1, threads / workers);
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex lock;

    auto fail = [&](const char* what, std::int64_t src) {
        std::lock_guard<std::mutex> g(lock);
        if (!failure) failure = what, failedSource = src;
        stop = true;
    };
    auto work = [&]() {
        std::unique_ptr<Buffers> own;
        for (;;) {
            if (stop) return;
            const std::int64_t b = next.fetch_add(1);
            if (b >= numBlocks) return;
            const std::int64_t first = b == 0 ? 0 : count0 + (b - 1) * block;
            const std::int64_t count = b == 0 ? count0 : std::min(block, numSources - first);
            Buffers* buf = &firstBuf;
            if (b > 0) {
                const double tp = seconds();
                if (!own) own.reset(megfwd::newObject<Buffers>(block));
                std::unique_ptr<CMDataForwardkw> d(megfwd::newObject<CMDataForwardkw>());
                if (!own || !own->ok() || !d || !guarded([&] { return prepare(*d, first, count); }) || d->numSns != numSns ||
                    d->numLf != numLf || !gather(*d, count, *own)) {
                    fail("preparation", first);
                    return;
                }
                buf = own.get();
                d.reset();
                const double dt = seconds() - tp;
                std::lock_guard<std::mutex> g(lock);
                prepareSeconds += dt;
            }
            double* out = nullptr;
            {
                std::lock_guard<std::mutex> g(lock);
                out = guarded([&] { return target(first, count); });
            }
            if (!out) {
                fail("target", first);
                return;
            }
            const double tc = seconds();
            std::int64_t failedAt = -1;
            if (!plan.compute(buf->pos.get(), buf->in.get(), count, out, inner, &failedAt)) {
                fail("scan", first + failedAt);
                return;
            }
            if (isApplyLocalPost) post.applyLocal(out, count, buf->modes.get());
            const double dt = seconds() - tc;
            std::lock_guard<std::mutex> g(lock);
            computeSeconds += dt;
            if (done && !guarded([&] { return done(first, count, buf->in.get()); })) {
                if (!failure) failure = "stopped";
                stop = true;
                return;
            }
        }
    };

    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < workers; ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the others share the blocks.
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& t : helpers) t.join();
    wallSeconds = seconds() - tStart;
    return failure ? 0 : 1;
}

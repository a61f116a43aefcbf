#include "forward_fast/CFastBlockScan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

struct CFastBlockScan::Buffers {
    std::unique_ptr<double[]> pos;
    std::unique_ptr<std::int32_t[]> in, modes;
    explicit Buffers(std::int64_t n)
        : pos(megfwd::newArray<double>(3 * n)), in(megfwd::newArray<std::int32_t>(n)),
          modes(megfwd::newArray<std::int32_t>(n)) {}
    bool ok() const { return pos && in && modes; }
};

namespace {

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

using Buffers = CFastBlockScan::Buffers;

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

void CFastBlockScan::startRun() {
    release();
    failure = nullptr;
    failedSource = -1;
    prepareSeconds = computeSeconds = wallSeconds = 0.0;
    numSns = numLf = 0;
}

int CFastBlockScan::run(CMForwardkw& engine, std::int64_t numSources, const PrepareFn& prepare,
                        const TargetFn& target, const DoneFn& done) {
    const double tStart = seconds();
    startRun();
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
    if (!buildPlan(engine)) return 0;
    if (planReady && !planReady(plan, *pFirst)) {
        failure = "plan";
        return 0;
    }
    pFirst->cleanVoxSnsLfx();
    prepareSeconds += seconds() - t0;

    // Block 0 is gathered already; every other block gets a manager of its
    // own, prepared, read and released on the worker's thread.
    auto fill = [&](std::int64_t b, std::int64_t first, std::int64_t count, Buffers& buf) -> bool {
        if (b == 0) {
            std::copy(firstBuf.pos.get(), firstBuf.pos.get() + 3 * count, buf.pos.get());
            std::copy(firstBuf.in.get(), firstBuf.in.get() + count, buf.in.get());
            std::copy(firstBuf.modes.get(), firstBuf.modes.get() + count, buf.modes.get());
            return true;
        }
        std::unique_ptr<CMDataForwardkw> d(megfwd::newObject<CMDataForwardkw>());
        return d && guarded([&] { return prepare(*d, first, count); }) && d->numSns == numSns &&
               d->numLf == numLf && gather(*d, count, buf);
    };
    const int ok = scanBlocks(numSources, count0, block, fill, target, done);
    wallSeconds = seconds() - tStart;
    return ok;
}

int CFastBlockScan::runFlat(CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> geometry, std::int64_t numSources,
                            const FlatPrepareFn& sources, const TargetFn& target, const DoneFn& done) {
    const double tStart = seconds();
    startRun();
    if (numSources < 1 || !geometry || !sources || !target) {
        failure = "preparation";
        return 0;
    }
    pEngine = &engine;
    pFirst = std::move(geometry);
    const double t0 = seconds();
    if (!buildPlan(engine)) return 0;
    if (planReady && !planReady(plan, *pFirst)) {
        failure = "plan";
        return 0;
    }
    pFirst->cleanVoxSnsLfx();
    prepareSeconds += seconds() - t0;

    const std::int64_t block = std::max<std::int64_t>(1, std::min(blockSize, numSources));
    auto fill = [&](std::int64_t, std::int64_t first, std::int64_t count, Buffers& buf) -> bool {
        return guarded([&] { return sources(first, count, buf.pos.get(), buf.in.get(), buf.modes.get()); }) != 0;
    };
    const int ok = scanBlocks(numSources, block, block, fill, target, done);
    wallSeconds = seconds() - tStart;
    return ok;
}

int CFastBlockScan::buildPlan(CMForwardkw& engine) {
    numSns = pFirst->numSns;
    numLf = pFirst->numLf;
    if (!plan.build(engine, *pFirst) || plan.numMea != numSns || plan.numComp != numLf ||
        (isApplyLocalPost && !post.read(*pFirst))) {
        failure = "plan";
        return 0;
    }
    return 1;
}

int CFastBlockScan::scanBlocks(std::int64_t numSources, std::int64_t count0, std::int64_t block, const FillFn& fill,
                               const TargetFn& target, const DoneFn& done) {
    const std::int64_t numBlocks = 1 + (numSources - count0 + block - 1) / block;
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
        std::unique_ptr<Buffers> buf;
        for (;;) {
            if (stop) return;
            const std::int64_t b = next.fetch_add(1);
            if (b >= numBlocks) return;
            const std::int64_t first = b == 0 ? 0 : count0 + (b - 1) * block;
            const std::int64_t count = b == 0 ? count0 : std::min(block, numSources - first);
            const double tp = seconds();
            if (!buf) buf.reset(megfwd::newObject<Buffers>(block));
            if (!buf || !buf->ok() || !fill(b, first, count, *buf)) {
                fail("preparation", first);
                return;
            }
            const double dp = seconds() - tp;
            double* out = nullptr;
            {
                std::lock_guard<std::mutex> g(lock);
                prepareSeconds += dp;
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
            if (finished && !guarded([&] { return finished(first, count, out, buf->in.get()); })) {
                std::lock_guard<std::mutex> g(lock);
                if (!failure) failure = "stopped";
                stop = true;
                return;
            }
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
    return failure ? 0 : 1;
}

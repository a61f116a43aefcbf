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

// One worker's prepared positions and coordinate modes of a block.
struct Buffers {
    std::unique_ptr<double[]> pos;
    std::unique_ptr<std::int32_t[]> modes;
    explicit Buffers(std::int64_t n)
        : pos(megfwd::newArray<double>(3 * n)), modes(megfwd::newArray<std::int32_t>(n)) {}
    bool ok() const { return pos && modes; }
};

// A sink or progress that throws counts as a refusal: no exception may
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

int CFastBlockScan::run(const CFastScanPlan& plan, const double* hostPos, std::int64_t numSources,
                        CFastBlockSink& sink, std::int32_t* inScan, const ProgressFn& progress) {
    const double tStart = seconds();
    failure = Failure::None;
    failedSource = -1;
    prepareSeconds = computeSeconds = wallSeconds = 0.0;
    if (numSources < 1 || !hostPos || !inScan || !plan.isReady()) {
        failure = Failure::Preparation;
        return 0;
    }
    const CFastLeadfield& points = plan.leadfield();
    const CFlatSources& sources = plan.sources();
    const CFlatPostProcess& post = plan.post();

    const std::int64_t block = std::max<std::int64_t>(1, std::min(blockSize, numSources));
    const std::int64_t numBlocks = (numSources + block - 1) / block;
    const int threads = std::max(1, numThreads);
    const int workers = static_cast<int>(std::min<std::int64_t>(threads, numBlocks));
    const int inner = std::max(1, threads / workers);
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false};
    std::int64_t numDone = 0;
    std::mutex lock;

    auto fail = [&](Failure why, std::int64_t src) {
        std::lock_guard<std::mutex> g(lock);
        if (failure == Failure::None) failure = why, failedSource = src;
        stop = true;
    };
    auto work = [&]() {
        std::unique_ptr<Buffers> buf;
        for (;;) {
            if (stop) return;
            const std::int64_t b = next.fetch_add(1);
            if (b >= numBlocks) return;
            const std::int64_t first = b * block;
            const std::int64_t count = std::min(block, numSources - first);
            std::int32_t* in = inScan + first;
            const double tp = seconds();
            if (!buf) buf.reset(megfwd::newObject<Buffers>(block));
            if (!buf || !buf->ok()) {
                fail(Failure::Preparation, first);
                return;
            }
            sources.prepare(hostPos + 3 * first, count, buf->pos.get(), in, buf->modes.get());
            const double dp = seconds() - tp;
            double* out = nullptr;
            {
                std::lock_guard<std::mutex> g(lock);
                prepareSeconds += dp;
                out = guarded([&] { return sink.blockTarget(first, count); });
            }
            if (!out) {
                fail(Failure::Target, first);
                return;
            }
            const double tc = seconds();
            std::int64_t failedAt = -1;
            if (!points.compute(buf->pos.get(), in, count, out, inner, &failedAt)) {
                fail(Failure::Scan, first + failedAt);
                return;
            }
            post.applyLocal(out, count, buf->modes.get());
            const double dt = seconds() - tc;
            if (!guarded([&] { return sink.blockFinished(first, count, out, in); })) {
                fail(Failure::Sink, first);
                return;
            }
            std::lock_guard<std::mutex> g(lock);
            computeSeconds += dt;
            if (!guarded([&] { return sink.blockDone(first, count); })) {
                if (failure == Failure::None) failure = Failure::Sink, failedSource = first;
                stop = true;
                return;
            }
            numDone += count;
            if (progress && !guarded([&] { return progress(numDone, numSources); })) {
                if (failure == Failure::None) failure = Failure::Cancelled;
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
    return failure == Failure::None ? 1 : 0;
}

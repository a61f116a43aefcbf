#include "forward_fast/CFastBlockScan.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
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
    failure = nullptr;
    failedSource = -1;
    prepareSeconds = computeSeconds = 0.0;
    numSns = numLf = 0;
    if (numSources < 1 || !prepare || !target) {
        failure = "preparation";
        return 0;
    }
    const std::int64_t block = std::max<std::int64_t>(1, std::min(blockSize, numSources));
    release();
    pEngine = &engine;
    pFirst.reset(megfwd::newObject<CMDataForwardkw>());
    CMDataForwardkw* first = pFirst.get();
    std::unique_ptr<double[]> pos(megfwd::newArray<double>(3 * block));
    std::unique_ptr<std::int32_t[]> in(megfwd::newArray<std::int32_t>(block));
    std::unique_ptr<std::int32_t[]> modes(megfwd::newArray<std::int32_t>(block));
    if (!first || !pos || !in || !modes) {
        failure = "preparation";
        return 0;
    }

    for (std::int64_t b = 0; b < numSources; b += block) {
        const std::int64_t count = std::min(block, numSources - b);
        double t0 = seconds();
        std::unique_ptr<CMDataForwardkw> local;
        CMDataForwardkw* d = first;
        if (b > 0) {
            local.reset(megfwd::newObject<CMDataForwardkw>());
            d = local.get();
        }
        if (!d || !prepare(*d, b, count) || d->numSrc != count || !d->pVoxSnsLfx) {
            failure = "preparation";
            return 0;
        }
        if (b == 0) {
            numSns = d->numSns;
            numLf = d->numLf;
            if (!plan.build(engine, *d) || plan.numMea != numSns || plan.numComp != numLf ||
                (isApplyLocalPost && !post.read(*d))) {
                failure = "plan";
                return 0;
            }
        } else if (d->numSns != numSns || d->numLf != numLf) {
            failure = "preparation";
            return 0;
        }
        for (std::int64_t i = 0; i < count; ++i) {
            const CFISrcSnsLf& rec = d->pVoxSnsLfx[i];
            for (int c = 0; c < 3; ++c) pos[3 * i + c] = rec.srcField.pos[c];
            in[i] = rec.isVoxIn;
            modes[i] = rec.coordMode;
        }
        // The first manager stays for the engine's coordinate system; its
        // records are no longer needed.
        if (b == 0) first->cleanVoxSnsLfx();
        local.reset();
        prepareSeconds += seconds() - t0;

        double* out = target(b, count);
        if (!out) {
            failure = "target";
            return 0;
        }
        t0 = seconds();
        const int ok = plan.compute(pos.get(), in.get(), count, out, numThreads);
        computeSeconds += seconds() - t0;
        if (!ok) {
            failure = "scan";
            failedSource = b + plan.failedSource;
            return 0;
        }
        if (isApplyLocalPost) post.applyLocal(out, count, modes.get());
        if (done && !done(b, count, in.get())) {
            failure = "stopped";
            return 0;
        }
    }
    return 1;
}

// The point loop of the fast leadfield path, single-threaded: time per
// integration point for each formula family (three-component Sarvas, Cuffin,
// Biot-Savart, magnetic dipole), under each build of the loops the processor
// runs (x86-64, avx2, avx512), over the integration points of the embedded
// default system (measurement and reference sensors, CTF model, order 3),
// one source per iteration. For comparison the same points through the
// engine's coil members one call at a time (the record-by-record route).
//
//   bench_point_kernel --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The exact and the refined arithmetic (FastPointKernels.h) of each build
// and formula are registered side by side; add
// --benchmark_enable_random_interleaving=true to alternate their runs.
// The counter time_per_point is the CPU time of one source divided by its
// points (CPU time, so that other processes on a shared machine count less).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "forward_fast/CFastLeadfield.h"
#include "host_interfaces/DefaultSystem.h"

namespace {

namespace fast = megfwd::fast;

struct System {
    CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
    CMDataForwardkw data;
    CMForwardkw engine;
    CFastLeadfield plan;
    std::vector<double> vx, vy, vz;
    System(int isMagSrc, int code) {
        engine.isMagSrc = isMagSrc;
        engine.coilFwdModel = code;
        engine.orderCoilIntg = 3;
        data.initFwdChn(&recording, recording.getTrial(0), 0, 1, 1);
        const double c[3] = {0, 0, 0};
        CVirtSnsPOXlistkw list = megfwd::demo::makeSphereSourceList(c, 75.0, 30.0);
        data.initFwdPosVsp(&list);
        data.prepare4VoxSnsLfdScan(3);
        plan.build(engine, data);
        vx.resize(static_cast<std::size_t>(plan.numPts));
        vy.resize(vx.size());
        vz.resize(vx.size());
    }
};

void setCounters(benchmark::State& state, std::int64_t points) {
    state.SetItemsProcessed(state.iterations() * points);
    state.counters["points"] = static_cast<double>(points);
    // Seconds per point (an inverted rate), printed with an SI prefix: "n" is ns.
    state.counters["time_per_point"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(points),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The loop of one formula under one build and arithmetic over all points,
// for a source moving slightly from iteration to iteration (so nothing is
// hoisted out).
void fastLoop(benchmark::State& state, fast::KernelBuild build, fast::PointArithmetic arithmetic, int isMagSrc,
              int code) {
    System s(isMagSrc, code);
    if (!fast::setKernelBuild(build)) {
        state.SkipWithError("the processor cannot run this build");
        return;
    }
    fast::setPointArithmetic(arithmetic);
    const fast::PointArrays pts = s.plan.pointArrays();
    double src[3] = {10.0, 20.0, -5.0};
    for (auto _ : state) {
        src[0] += 1e-9;
        benchmark::DoNotOptimize(
            fast::runPointKernel(s.plan.family, pts, 0, s.plan.numPts, src, s.vx.data(), s.vy.data(), s.vz.data()));
        benchmark::ClobberMemory();
    }
    setCounters(state, s.plan.numPts);
}

// The engine's coil member for each point, one call at a time.
void engineMembers(benchmark::State& state, int isMagSrc, int code) {
    System s(isMagSrc, code);
    double src[3] = {10.0, 20.0, -5.0};
    for (auto _ : state) {
        src[0] += 1e-9;
        for (std::int64_t i = 0; i < s.plan.numPts; ++i) {
            const double p[3] = {s.plan.px[i], s.plan.py[i], s.plan.pz[i]};
            const double n[3] = {s.plan.nx[i], s.plan.ny[i], s.plan.nz[i]};
            const double r0[3] = {src[0] - s.plan.ox[i], src[1] - s.plan.oy[i], src[2] - s.plan.oz[i]};
            double v[3];
            s.engine.coil26xLf3D_all(p, n, r0, v);
            s.vx[static_cast<std::size_t>(i)] = v[0];
        }
        benchmark::ClobberMemory();
    }
    setCounters(state, s.plan.numPts);
}

struct Formula {
    const char* name;
    int isMagSrc, code;
};
constexpr Formula kFormulas[] = {
    {"sarvas", 0, 2}, {"cuffin", 0, 4}, {"biot_savart", 0, 5}, {"magnetic_dipole", 1, 0}};

}  // namespace

int main(int argc, char** argv) {
    for (fast::KernelBuild build : fast::kAllKernelBuilds) {
        if (!fast::isKernelBuildSupported(build)) continue;
        for (const Formula& f : kFormulas)
            for (fast::PointArithmetic a : {fast::PointArithmetic::Exact, fast::PointArithmetic::Refined}) {
                if (a == fast::PointArithmetic::Refined && build == fast::KernelBuild::X86_64) continue;
                const std::string name = std::string("fastLoop/") + fast::kernelBuildName(build) + "/" + f.name + "/" +
                                         fast::pointArithmeticName(a);
                benchmark::RegisterBenchmark(name.c_str(), fastLoop, build, a, f.isMagSrc, f.code);
            }
    }
    for (const Formula& f : kFormulas)
        if (f.code != 5)
            benchmark::RegisterBenchmark((std::string("engineMembers/") + f.name).c_str(), engineMembers, f.isMagSrc,
                                         f.code);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

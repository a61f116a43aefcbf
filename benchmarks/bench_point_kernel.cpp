// The point loop of the fast leadfield path, single-threaded: time per
// integration point for the three-component Sarvas form (codes 2 and 0),
// the Cuffin form and the magnetic dipole, over the integration points of
// the embedded default system (measurement and reference sensors, CTF model,
// order 3), one source per iteration. For comparison the same points through
// the engine's coil members one call at a time (the record-by-record route).
//
//   bench_point_kernel --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// The counter time_per_point is the time of one source divided by its points.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "forward_data/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "forward_fast/CFastLeadfield.h"
#include "host_interfaces/DefaultSystem.h"

namespace {

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
    megfwd::fast::PointArrays points() const {
        megfwd::fast::PointArrays p;
        p.px = plan.px, p.py = plan.py, p.pz = plan.pz, p.nx = plan.nx, p.ny = plan.ny, p.nz = plan.nz;
        p.ox = plan.ox, p.oy = plan.oy, p.oz = plan.oz, p.w = plan.wt;
        return p;
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

// Fast loop of one formula over all points, for a source moving slightly
// from iteration to iteration (so nothing is hoisted out).
void fastLoop(benchmark::State& state, int isMagSrc, int code) {
    System s(isMagSrc, code);
    const auto pts = s.points();
    double src[3] = {10.0, 20.0, -5.0};
    for (auto _ : state) {
        src[0] += 1e-9;
        benchmark::DoNotOptimize(megfwd::fast::runPointKernel(s.plan.family, s.plan.factor, pts, 0, s.plan.numPts, src,
                                                              s.vx.data(), s.vy.data(), s.vz.data()));
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

BENCHMARK_CAPTURE(fastLoop, sarvas_code2, 0, 2);
BENCHMARK_CAPTURE(fastLoop, sarvas_code0, 0, 0);
BENCHMARK_CAPTURE(fastLoop, cuffin_code4, 0, 4);
BENCHMARK_CAPTURE(fastLoop, magnetic_dipole, 1, 0);
BENCHMARK_CAPTURE(engineMembers, sarvas_code2, 0, 2);
BENCHMARK_CAPTURE(engineMembers, cuffin_code4, 0, 4);
BENCHMARK_CAPTURE(engineMembers, magnetic_dipole, 1, 0);

}  // namespace

BENCHMARK_MAIN();

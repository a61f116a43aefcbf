// Whole leadfields of the embedded default system, and how their time grows.
//
// Every run happens in a child process of its own (fork), so that its peak
// resident memory (VmHWM of /proc/self/status) is that of the run alone:
// the child builds the system and the sources, scans them in blocks with
// the fast path into one flat array (source x sensor x component), and
// reports. Figures per run:
//   scan_s     the fast path alone (plan and loops, sums, reference
//              correction) over one prepared manager of all sources
//   Gpt/s      sources x (integration points of all sensors) / time, 1e9
//   wall_s     the scan in blocks (CFastBlockScan, 256 sources each,
//              sources prepared on flat arrays in parallel) from the
//              sensors' preparation (CFastScanPlan) to the finished array:
//              what the command-line program does
//   prep_cpu, scan_cpu  thread-seconds of the sources' preparation and the loops
//   peakMB     VmHWM of the run in blocks; outMB the output array; ratio
//              their quotient
// The record-by-record scan (gridDewarLfd over a prepared manager) is timed
// once for comparison.
//
//   bench_leadfield            all tables
//   bench_leadfield --quick    7 mm grid only, fewer repetitions
// Each figure is the best of --repeat runs (default 3).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "forward_fast/CFastBlockScan.h"
#include "forward_fast/FlatSources.h"
#include "host_interfaces/DefaultSystem.h"

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double peakMB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0.0;
}

struct Config {
    double step = 7.0;       // grid spacing, mm, inside a 75 mm sphere
    int order = 3;
    bool refs = true;
    int threads = 1;
    int code = 3;            // coilFwdModel
    int sensorStride = 1;    // every k-th measurement sensor kept
    std::int64_t sources = -1;  // first sources kept (-1: all)
    bool recordScan = false; // time gridDewarLfd instead
    bool preparedScan = false;  // time the fast path on one prepared manager of all sources
    bool stencil = true;        // the dewar stencil (off: every source in the scan)
};

struct Result {
    double prep = 0, scan = 0, wall = 0, total = 0, peak = 0, outMB = 0;
    std::int64_t sources = 0, sensors = 0, points = 0;
    int ok = 0;
};

// The blocks' values in one array, left uninitialised: the scan writes
// every value.
struct OneArray : CFastBlockSink {
    std::int64_t size, perSource;
    std::unique_ptr<double[]> values;
    OneArray(std::int64_t size, std::int64_t perSource)
        : size(size), perSource(perSource), values(new double[static_cast<std::size_t>(size)]) {}
    double* blockTarget(std::int64_t first, std::int64_t) override { return values.get() + first * perSource; }
    bool blockFinished(std::int64_t, std::int64_t, const double*, const std::int32_t*) override { return true; }
    bool blockDone(std::int64_t, std::int64_t) override { return true; }
};

Result runOnce(const Config& c) {
    Result r;
    const double t0 = now();
    CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
    CMDTrialkw* trial = recording.getTrial(0);
    // Fewer sensors: every k-th measurement sensor, spread over the helmet.
    const int stride = std::max(1, c.sensorStride);
    int index = 0;
    for (int i = 0; i < trial->getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial->getChannel(i);
        if (ch->isMEGMeasureChannel()) ch->isGood = index++ % stride == 0 ? 1 : 0;
    }
    const double centre[3] = {0, 0, 0};
    CVirtSnsPOXlistkw list = megfwd::demo::makeSphereSourceList(centre, 75.0, c.step);
    if (c.sources > 0 && c.sources < list.numEntries) {
        list.entries.resize(static_cast<std::size_t>(c.sources));
        list.numEntries = c.sources;
    }
    const std::int64_t n = list.numEntries;
    auto settings = [&](CMForwardkw& e, CMDataForwardkw& d) {
        d.isSpatConstrained = c.stencil ? 1 : 0;
        e.orderCoilIntg = c.order;
        e.isUseRefSns = c.refs ? 1 : 0;
        e.coilFwdModel = c.code;
    };
    CMForwardkw engine;
    if (c.recordScan) {
        CMDataForwardkw data;
        settings(engine, data);
        data.initFwdChn(&recording, trial, 0, 1, c.refs ? 1 : 0);
        data.initFwdPosVsp(&list);
        const double tp = now();
        data.prepare4VoxSnsLfdScan(3);
        r.prep = now() - tp;
        const double ts = now();
        r.ok = engine.gridDewarLfd(&data);
        r.scan = now() - ts;
        r.sources = n, r.sensors = data.numSns;
    } else if (c.preparedScan) {
        CMDataForwardkw data;
        settings(engine, data);
        data.initFwdChn(&recording, trial, 0, 1, c.refs ? 1 : 0);
        data.initFwdPosVsp(&list);
        data.prepare4VoxSnsLfdScan(3);
        std::vector<double> pos;
        std::vector<std::int32_t> in;
        for (std::int64_t i = 0; i < n; ++i) {
            pos.insert(pos.end(), data.pVoxSnsLfx[i].srcField.pos, data.pVoxSnsLfx[i].srcField.pos + 3);
            in.push_back(data.pVoxSnsLfx[i].isVoxIn);
        }
        std::vector<double> out(static_cast<std::size_t>(n * data.numSns * data.numLf));
        const double ts = now();
        CFastLeadfield plan;
        r.ok = plan.build(engine, data) && plan.compute(pos.data(), in.data(), n, out.data(), c.threads);
        r.scan = now() - ts;
        r.sources = n, r.sensors = data.numSns, r.points = plan.numPts;
    } else {
        // As the command does: the sensors prepared once on a manager of
        // one source, the sources on flat arrays, block by block.
        std::vector<double> host;
        for (std::int64_t i = 0; i < n; ++i) host.insert(host.end(), list.entries[i].pos, list.entries[i].pos + 3);
        const double tw = now();
        std::unique_ptr<CMDataForwardkw> manager(new CMDataForwardkw);
        settings(engine, *manager);
        CVirtSnsPOXlistkw one;
        one.addPosition(host[0], host[1], host[2]);
        CFastScanPlan plan;
        r.ok = manager->initFwdChn(&recording, trial, 0, 1, c.refs ? 1 : 0) && manager->initFwdPosVsp(&one) &&
               plan.prepare(engine, std::move(manager));
        OneArray sink(n * plan.numSensors() * plan.numComponents(), plan.numSensors() * plan.numComponents());
        std::vector<std::int32_t> in(static_cast<std::size_t>(n));
        CFastBlockScan scan;
        scan.numThreads = c.threads;
        r.ok = r.ok && scan.run(plan, host.data(), n, sink, in.data());
        r.wall = now() - tw;
        r.prep = scan.prepareSeconds, r.scan = scan.computeSeconds;
        r.sources = n, r.sensors = plan.numSensors(), r.points = plan.leadfield().numPts;
        r.outMB = static_cast<double>(sink.size) * 8.0 / (1024.0 * 1024.0);
    }
    r.total = now() - t0;
    r.peak = peakMB();
    return r;
}

// Runs the configuration `repeat` times, each in a child, and keeps the best
// times and the largest peak.
Result run(const Config& c, int repeat) {
    Result best;
    for (int k = 0; k < repeat; ++k) {
        int fd[2];
        if (pipe(fd) != 0) std::exit(1);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fd[0]);
            const Result r = runOnce(c);
            const ssize_t w = write(fd[1], &r, sizeof r);
            _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
        }
        close(fd[1]);
        Result r;
        const ssize_t got = read(fd[0], &r, sizeof r);
        close(fd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (got != static_cast<ssize_t>(sizeof r) || !r.ok) {
            std::fprintf(stderr, "run failed\n");
            std::exit(1);
        }
        if (k == 0) {
            best = r;
        } else {
            best.prep = std::min(best.prep, r.prep);
            best.scan = std::min(best.scan, r.scan);
            best.wall = std::min(best.wall, r.wall);
            best.peak = std::max(best.peak, r.peak);
        }
    }
    return best;
}

void header() {
    std::printf("%-4s %-5s %-4s %-3s %7s %7s %6s | %8s %7s | %8s %7s %8s %8s %7s %7s %5s\n", "grid", "order", "refs",
                "thr", "sources", "sensors", "points", "scan_s", "Gpt/s", "wall_s", "Gpt/s", "prep_cpu", "scan_cpu",
                "peakMB", "outMB", "ratio");
}

double gpts(const Result& r, double s) {
    return static_cast<double>(r.sources) * static_cast<double>(r.points) / s / 1e9;
}

void row(const Config& c, const Result& p, const Result& r) {
    std::printf("%-4.0f %-5d %-4s %-3d %7lld %7lld %6lld | %8.4f %7.3f | %8.4f %7.3f %8.3f %8.3f %7.1f %7.1f %5.2f\n",
                c.step, c.order, c.refs ? "on" : "off", c.threads, static_cast<long long>(r.sources),
                static_cast<long long>(r.sensors), static_cast<long long>(r.points), p.scan, gpts(p, p.scan), r.wall,
                gpts(r, r.wall), r.prep, r.scan, r.peak, r.outMB, r.outMB > 0 ? r.peak / r.outMB : 0.0);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick")) quick = true, repeat = 1;
        if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
    }
    std::printf("megfwd leadfield bench: embedded default system (275 axial gradiometers, 29 references), CTF "
                "model, formula SV_NT04, sources on a grid inside a 75 mm sphere; fast path in blocks of 256 "
                "sources; best of %d run(s), each in its own process\n\n",
                repeat);

    std::printf("Record-by-record scan (gridDewarLfd on a prepared manager), single thread:\n");
    {
        Config c;
        c.recordScan = true;
        for (int order : {2, 3}) {
            c.order = order;
            const Result r = run(c, 1);
            std::printf("  7 mm grid, order %d, refs on: %lld sources, prep %.3f s, scan %.3f s, peak %.1f MB "
                        "(output array %.1f MB)\n",
                        order, static_cast<long long>(r.sources), r.prep, r.scan, r.peak,
                        static_cast<double>(r.sources * r.sensors) * 24.0 / (1024.0 * 1024.0));
        }
    }

    std::printf("\nWhole leadfields:\n");
    header();
    for (double step : quick ? std::vector<double>{7.0} : std::vector<double>{7.0, 5.0})
        for (int order : {1, 3, 7})
            for (bool refs : {true, false})
                for (int threads : {1, 2}) {
                    Config c;
                    c.step = step, c.order = order, c.refs = refs, c.threads = threads;
                    Config p = c;
                    p.preparedScan = true;
                    const Result prepared = run(p, repeat);
                    row(c, prepared, run(c, repeat));
                }

    std::printf("\nGrowth (7 mm grid, order 3 unless varied, references off, stencil off so every source is "
                "computed, 1 thread), fitted by scan_s = a + b * value:\n");
    auto growth = [&](const char* name, const std::vector<Config>& cs, auto value) {
        std::vector<double> x, t;
        for (const Config& c : cs) {
            const Result r = run(c, repeat);
            x.push_back(value(c, r));
            t.push_back(r.scan);
        }
        const double n = static_cast<double>(x.size());
        double sx = 0, st = 0, sxx = 0, sxt = 0;
        for (std::size_t i = 0; i < x.size(); ++i) sx += x[i], st += t[i], sxx += x[i] * x[i], sxt += x[i] * t[i];
        const double b = (n * sxt - sx * st) / (n * sxx - sx * sx), a = (st - b * sx) / n;
        double worst = 0;
        for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(a + b * x[i] - t[i]) / t[i]);
        std::printf("  %-8s", name);
        for (std::size_t i = 0; i < x.size(); ++i) std::printf("  %g: %.4f s", x[i], t[i]);
        std::printf("\n           fit a = %.4f s, b = %.3e s per unit, largest deviation from the line %.1f%%\n", a, b,
                    100.0 * worst);
        std::fflush(stdout);
    };
    Config g;
    g.refs = false, g.stencil = false, g.preparedScan = true;
    std::vector<Config> cs;
    for (std::int64_t n : {1000, 2000, 3000, 4000, 5000}) cs.push_back(g), cs.back().sources = n;
    growth("sources", cs, [](const Config& c, const Result&) { return static_cast<double>(c.sources); });
    cs.clear();
    for (int k : {5, 4, 3, 2, 1}) cs.push_back(g), cs.back().sensorStride = k;
    growth("sensors", cs, [](const Config&, const Result& r) { return static_cast<double>(r.sensors); });
    cs.clear();
    for (int order : {1, 2, 3, 5, 7}) cs.push_back(g), cs.back().order = order;
    growth("points", cs, [](const Config&, const Result& r) { return static_cast<double>(r.points); });
    return 0;
}

// A leadfield scan with one local sphere per sensor against the same scan
// with one sphere for all sensors, on the same sources.
//
// The embedded default system (275 first-order gradiometers with reference
// correction, integration order 3), sources on a grid inside a 75 mm
// sphere, every source in the scan (no stencil), the fast route of
// computeLeadfield on one thread. The local spheres are fitted ("nearby")
// to an ellipsoidal head of semi-axes 72, 82 and 70 mm. The two scans run
// alternately, --repeat times each (default 7), and the median and best
// times of each are printed with their ratio: on a busy machine the
// alternation shares the load out evenly between the two.
//
//   bench_local_spheres [--step MM] [--repeat N] [--threads N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "forward_api/Compute.h"
#include "forward_api/LocalSpheresFile.h"
#include "host_interfaces/DefaultSystem.h"

namespace {

megfwd::head::Surface ellipsoid(double a, double b, double c, int n) {
    std::vector<megfwd::head::Point3> points;
    const double pi = 3.14159265358979323846, golden = pi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < n; ++i) {
        const double cosT = 1.0 - 2.0 * (i + 0.5) / n, sinT = std::sqrt(1.0 - cosT * cosT);
        points.push_back({a * sinT * std::cos(golden * i), b * cosT, c * sinT * std::sin(golden * i)});
    }
    return megfwd::head::Surface::fromPoints(points, "ellipsoid 72/82/70 mm");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    double step = 7.0;
    int repeat = 7, threads = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--step")) step = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--repeat")) repeat = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--threads")) threads = std::atoi(argv[i + 1]);
    }
    CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
    megfwd::SystemRef sys{&recording, recording.getTrial(0), "embedded"};
    megfwd::SourceSpec src;
    src.label = "grid";
    const double c[3] = {0, 0, 0};
    const CVirtSnsPOXlistkw list = megfwd::demo::makeSphereSourceList(c, 75.0, step);
    for (const auto& e : list.entries) src.positions.insert(src.positions.end(), e.pos, e.pos + 3);

    megfwd::LeadfieldRequest single, local;
    for (megfwd::LeadfieldRequest* r : {&single, &local}) {
        r->settings.orderCoilIntg = 3;
        r->settings.isSpatConstrained = 0;
        r->threads = threads;
    }
    single.settings.sphereModel = 1;
    single.settings.userSphere = megfwd::Sphere{{0, 5, 0}, 75};
    local.settings.localSpheres = std::make_shared<megfwd::head::LocalSpheres>(megfwd::head::fitLocalSpheres(
        ellipsoid(72, 82, 70, 4000), megfwd::sensorSites(*sys.trial, true), megfwd::head::LocalSphereOptions{}));

    std::vector<double> tSingle, tLocal;
    std::int64_t inSingle = 0, inLocal = 0;
    for (int k = 0; k < repeat; ++k) {
        const megfwd::ForwardResult a = megfwd::computeLeadfield(sys, src, single);
        const megfwd::ForwardResult b = megfwd::computeLeadfield(sys, src, local);
        tSingle.push_back(a.seconds), tLocal.push_back(b.seconds);
        inSingle = a.numIn(), inLocal = b.numIn();
    }
    std::printf("sources %lld (in scan: single %lld, local %lld), 275 sensors, order 3, %d thread(s), %d runs each\n",
                static_cast<long long>(list.entries.size()), static_cast<long long>(inSingle),
                static_cast<long long>(inLocal), threads, repeat);
    std::printf("%-14s %10s %10s\n", "", "median_s", "best_s");
    std::printf("%-14s %10.4f %10.4f\n", "single sphere", median(tSingle), *std::min_element(tSingle.begin(), tSingle.end()));
    std::printf("%-14s %10.4f %10.4f\n", "local spheres", median(tLocal), *std::min_element(tLocal.begin(), tLocal.end()));
    std::printf("ratio local/single: median %.3f, best %.3f\n", median(tLocal) / median(tSingle),
                *std::min_element(tLocal.begin(), tLocal.end()) / *std::min_element(tSingle.begin(), tSingle.end()));
    return 0;
}

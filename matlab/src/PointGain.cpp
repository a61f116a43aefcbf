#include "PointGain.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "forward_api/Compute.h"
#include "forward_api/Errors.h"
#include "forward_api/FileText.h"
#include "forward_api/SensorArrayFile.h"
#include "forward_api/Sources.h"
#include "host_interfaces/Afx.h"

namespace megfwd::toolbox {
namespace {

// Library messages arrive through the process-wide message box, possibly on
// the scan's worker threads; they are collected under a lock and handed to
// the gateway, which alone may talk to MATLAB or Octave.
class MessageCollector {
public:
    // The messages go into `out` when the collector ends, also when the
    // computation failed: they may say why.
    explicit MessageCollector(std::vector<std::string>& out) : out(out) {
        previous = setMessageBoxHandler([this](const std::string& text, unsigned type) {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(text);
            // The one Yes/No question (the anatomical stencil's) cannot
            // arise here; No is the careful answer.
            return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
        });
    }
    ~MessageCollector() {
        setMessageBoxHandler(previous);
        for (auto& m : messages) out.push_back(std::move(m));
    }
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;

private:
    std::vector<std::string>& out;
    std::mutex mutex;
    std::vector<std::string> messages;
    MessageBoxHandler previous;
};

double at(const double* a, std::int64_t rows, std::int64_t i, int k) { return a[i + rows * k]; }

void checkPosition(const double* a, std::int64_t rows, std::int64_t i, const char* what) {
    const double p[3] = {at(a, rows, i, 0), at(a, rows, i, 1), at(a, rows, i, 2)};
    const std::string problem = positionProblem(p);
    if (!problem.empty()) throw InputError(std::string(what) + " row " + std::to_string(i + 1) + ": " + problem);
}

// The weights as rows of channels (compressed sparse rows), points in
// increasing order within a row, so that a full and a sparse matrix with
// the same non-zeros give the same sums in the same order.
struct WeightRows {
    std::vector<std::int64_t> start;  // numChannels + 1
    std::vector<std::int64_t> point;
    std::vector<double> weight;
};

WeightRows weightRows(const PointGainInput& in) {
    auto index = [](double v, std::int64_t n, const char* what, std::int64_t j) {
        if (!(v >= 1.0 && v <= static_cast<double>(n) && v == std::floor(v)))
            throw InputError(std::string("weight ") + std::to_string(j + 1) + ": " + what + " index " +
                             exactNumber(v) + " is not a whole number from 1 to " + std::to_string(n));
        return static_cast<std::int64_t>(v) - 1;
    };
    std::vector<std::pair<std::int64_t, std::int64_t>> rc(static_cast<std::size_t>(in.numWeights));
    for (std::int64_t j = 0; j < in.numWeights; ++j) {
        rc[static_cast<std::size_t>(j)] = {index(in.weightRows[j], in.numChannels, "channel", j),
                                           index(in.weightCols[j], in.numPoints, "point", j)};
        if (!std::isfinite(in.weights[j]))
            throw InputError("weight " + std::to_string(j + 1) + " (channel " + std::to_string(rc[j].first + 1) +
                             ", point " + std::to_string(rc[j].second + 1) + ") is " + exactNumber(in.weights[j]));
    }
    std::vector<std::int64_t> order(rc.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return rc[static_cast<std::size_t>(a)] < rc[static_cast<std::size_t>(b)];
    });
    WeightRows w;
    w.start.assign(static_cast<std::size_t>(in.numChannels) + 1, 0);
    for (const auto& [r, c] : rc) ++w.start[static_cast<std::size_t>(r) + 1];
    std::partial_sum(w.start.begin(), w.start.end(), w.start.begin());
    for (std::int64_t j : order) {
        const auto& [r, c] = rc[static_cast<std::size_t>(j)];
        if (!w.point.empty() && w.point.size() > static_cast<std::size_t>(w.start[static_cast<std::size_t>(r)]) &&
            w.point.back() == c)
            throw InputError("channel " + std::to_string(r + 1) + ", point " + std::to_string(c + 1) +
                             " has two weights");
        w.point.push_back(c);
        w.weight.push_back(in.weights[j]);
    }
    return w;
}

// Every point as a magnetometer of one point coil of weight 1, named by its
// 1-based row so that the library's messages point at the caller's row. The
// library needs at least two sensors: a single point gets a copy of itself,
// whose values are not used.
std::unique_ptr<SensorArray> pointSensors(const PointGainInput& in) {
    nlohmann::json channels = nlohmann::json::array();
    const std::int64_t n = std::max<std::int64_t>(in.numPoints, 2);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t p = std::min(i, in.numPoints - 1);
        const double* pos = in.points;
        const double* nor = in.normals;
        nlohmann::json coil = {
            {"position", {at(pos, in.numPoints, p, 0), at(pos, in.numPoints, p, 1), at(pos, in.numPoints, p, 2)}},
            {"normal", {at(nor, in.numPoints, p, 0), at(nor, in.numPoints, p, 1), at(nor, in.numPoints, p, 2)}},
            {"radius", 0.0},
            {"weight", 1.0}};
        channels.push_back({{"name", "point " + std::to_string(i + 1)}, {"kind", 100}, {"coils", {coil}}});
    }
    const nlohmann::json doc = {
        {"format", kSensorArrayFormat}, {"version", kSensorArrayVersion}, {"unit", "mm"}, {"channels", channels}};
    return parseSensorArray(doc.dump(), "coil points");
}

SettingOverrides pointSettings(const PointGainInput& in) {
    SettingOverrides s;
    s.si = true;               // metres inside the scan, values in T/(A*m)
    s.snsFwdModel = 0;         // standard model: the point itself, weight 1 / 1
    s.coilFwdModel = 0;        // the scalar Sarvas form: 0 where it has no value, no failure
    s.isUseRefSns = 0;         // reference weights are part of the caller's weights
    s.isSpatConstrained = 0;   // every source is computed
    s.sphereModel = 1;
    s.userSphere = std::array<double, 4>{in.spheres[0], in.spheres[in.numSpheres], in.spheres[2 * in.numSpheres],
                                         in.spheres[3 * in.numSpheres]};
    return s;
}

void checkInput(const PointGainInput& in) {
    if (in.numPoints < 1) throw InputError("there are no coil points");
    if (in.numChannels < 1) throw InputError("there are no channels");
    if (in.numSources < 0) throw InputError("the number of sources is negative");
    if (in.numSpheres != 1)
        throw InputError("expected one sphere, got " + std::to_string(in.numSpheres));
    for (std::int64_t i = 0; i < in.numPoints; ++i) {
        checkPosition(in.points, in.numPoints, i, "points");
        const double n[3] = {at(in.normals, in.numPoints, i, 0), at(in.normals, in.numPoints, i, 1),
                             at(in.normals, in.numPoints, i, 2)};
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(len > 0.0) || !std::isfinite(len))
            throw InputError("normals row " + std::to_string(i + 1) + " has length " + exactNumber(len) +
                             "; a finite direction other than 0 is needed");
    }
    for (std::int64_t i = 0; i < in.numSpheres; ++i) {
        checkPosition(in.spheres, in.numSpheres, i, "spheres");
        const double r = at(in.spheres, in.numSpheres, i, 3);
        if (!(r > 0.0 && r <= kMaxRadiusMm))
            throw InputError("spheres row " + std::to_string(i + 1) + ": radius " + exactNumber(r) +
                             " mm is not in (0, " + exactNumber(kMaxRadiusMm) + "]");
    }
    for (std::int64_t i = 0; i < in.numSources; ++i) checkPosition(in.sources, in.numSources, i, "sources");
}

}  // namespace

void pointGain(const PointGainInput& in, double* gain, const InterruptCheck& interrupted,
               std::vector<std::string>& warnings) {
    checkInput(in);
    const WeightRows rows = weightRows(in);
    MessageCollector messages(warnings);
    std::unique_ptr<SensorArray> sensors = pointSensors(in);
    const SystemRef system{&sensors->recording, sensors->trial(), sensors->path};
    const std::int64_t numSensors = std::max<std::int64_t>(in.numPoints, 2);
    const std::int64_t perSource = numSensors * 3;
    const std::int64_t numChannels = in.numChannels;
    const std::int64_t batch = in.batchSources > 0 ? in.batchSources : std::max<std::int64_t>(in.numSources, 1);
    std::set<std::string> seen;

    for (std::int64_t first = 0; first < in.numSources; first += batch) {
        if (interrupted && interrupted()) throw Interrupted{};
        const std::int64_t count = std::min(batch, in.numSources - first);
        SourceSpec src;
        src.label = "sources";
        src.positions.resize(static_cast<std::size_t>(3 * count));
        for (std::int64_t i = 0; i < count; ++i)
            for (int k = 0; k < 3; ++k)
                src.positions[static_cast<std::size_t>(3 * i + k)] = at(in.sources, in.numSources, first + i, k);

        LeadfieldRequest req;
        req.settings = pointSettings(in);
        req.threads = in.threads;
        req.command = "toolbox leadfield";
        req.output.begin = [perSource, count](const std::vector<std::int64_t>& shape) {
            if (shape.size() != 3 || shape[0] != count || shape[1] * shape[2] != perSource)
                throw ComputeError("the library's leadfield array does not have one row per coil point");
        };
        // From the scan's threads, for separate blocks of whole sources: each
        // call writes its own columns of the gain matrix.
        double* batchGain = gain + numChannels * 3 * first;
        req.output.write = [&rows, perSource, numChannels, batchGain](std::int64_t firstValue, const double* v,
                                                                        std::int64_t numValues) {
            const std::int64_t s0 = firstValue / perSource;
            for (std::int64_t s = 0; s < numValues / perSource; ++s) {
                const double* vs = v + s * perSource;
                double* g = batchGain + numChannels * 3 * (s0 + s);
                for (std::int64_t c = 0; c < numChannels; ++c) {
                    double a0 = 0.0, a1 = 0.0, a2 = 0.0;
                    for (std::int64_t j = rows.start[static_cast<std::size_t>(c)];
                         j < rows.start[static_cast<std::size_t>(c) + 1]; ++j) {
                        const double w = rows.weight[static_cast<std::size_t>(j)];
                        const double* p = vs + 3 * rows.point[static_cast<std::size_t>(j)];
                        a0 += w * p[0];
                        a1 += w * p[1];
                        a2 += w * p[2];
                    }
                    g[c] = a0;
                    g[c + numChannels] = a1;
                    g[c + 2 * numChannels] = a2;
                }
            }
        };
        const ForwardResult r = computeLeadfield(system, src, req);
        for (const std::string& w : r.warnings)
            if (seen.insert(w).second) warnings.push_back(w);
    }
}

}  // namespace megfwd::toolbox

#include "PointGain.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>
#include <set>
#include <utility>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/PointSensors.h"
#include "forward_api/ResultFacts.h"
#include "forward_api/SensorArrayFile.h"
#include "forward_api/Sources.h"
#include "head_model/LocalSpheres.h"
#include "head_model/SingleShell.h"
#include "host_interfaces/Afx.h"
#include "host_interfaces/Recording.h"

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
        auto& e = rc[static_cast<std::size_t>(j)];
        e = {index(in.weightRows[j], in.numChannels, "channel", j), index(in.weightCols[j], in.numPoints, "point", j)};
        if (!std::isfinite(in.weights[j]) || in.weights[j] == 0.0)
            throw InputError("weight " + std::to_string(j + 1) + " (channel " + std::to_string(e.first + 1) +
                             ", point " + std::to_string(e.second + 1) + ") is " + exactNumber(in.weights[j]) +
                             "; give the non-zero finite weights only");
    }
    std::vector<std::int64_t> order(rc.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return rc[static_cast<std::size_t>(a)] < rc[static_cast<std::size_t>(b)];
    });
    WeightRows w;
    w.start.assign(static_cast<std::size_t>(in.numChannels) + 1, 0);
    for (const auto& e : rc) ++w.start[static_cast<std::size_t>(e.first) + 1];
    std::partial_sum(w.start.begin(), w.start.end(), w.start.begin());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const auto& e = rc[static_cast<std::size_t>(order[k])];
        if (k > 0 && rc[static_cast<std::size_t>(order[k - 1])] == e)
            throw InputError("channel " + std::to_string(e.first + 1) + ", point " + std::to_string(e.second + 1) +
                             " has two weights");
        w.point.push_back(e.second);
        w.weight.push_back(in.weights[order[k]]);
    }
    return w;
}

// The library's sensors and the channels as sums of them.
//
// A library sensor is a group of points that one channel weighs most (the
// largest |weight| in each point's column, as the toolboxes assign a shared
// coil) and that share one sphere. Every channel must weigh a group's points
// in proportion to the group's own weights (a balanced channel takes its
// references' coils at -coef times their weights); a group for which some
// channel does not is split into single points. Then each channel is a sum
// of group values, and the library computes as many sensors as a system has
// channels, not as it has points: a system of two-point gradiometers costs
// what the Python package's sensors cost. Each sensor is a PointSensor, so
// its value is the weighted sum of its points' fields.
struct Groups {
    std::vector<PointSensor> sensors;
    std::vector<std::int64_t> sphere;  // per sensor: its sphere's row
    // Channel c is the sum over terms [termStart[c], termStart[c + 1]) of
    // termFactor times the value of sensor termGroup.
    std::vector<std::int64_t> termStart, termGroup;
    std::vector<double> termFactor;
    std::int64_t count() const { return static_cast<std::int64_t>(sensors.size()); }
};

// The proportionality a group must meet, relative to the channel's largest
// weight on it: a few roundings of a product of two doubles.
constexpr double kProportionalTolerance = 8.0 * 2.220446049250313e-16;

// Each point's owner: the channel with the largest |weight|, the first of
// equals; -1 for a point without weight.
struct PointOwners {
    std::vector<std::int64_t> channel;
    std::vector<double> weight;
};

PointOwners pointOwners(const PointGainInput& in, const WeightRows& rows) {
    const auto np = static_cast<std::size_t>(in.numPoints);
    PointOwners o{std::vector<std::int64_t>(np, -1), std::vector<double>(np, 0.0)};
    for (std::int64_t c = 0; c < in.numChannels; ++c)
        for (std::int64_t j = rows.start[static_cast<std::size_t>(c)]; j < rows.start[static_cast<std::size_t>(c) + 1]; ++j) {
            const auto p = static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)]);
            const double w = rows.weight[static_cast<std::size_t>(j)];
            if (o.channel[p] < 0 || std::fabs(w) > std::fabs(o.weight[p])) o.channel[p] = c, o.weight[p] = w;
        }
    return o;
}

// The points an output channel weighs, grouped by owner and sphere in the
// order of their first points.
struct PointGroups {
    std::vector<std::vector<std::int64_t>> members;
    std::vector<std::int64_t> owner, sphere;
    std::vector<std::int64_t> groupOf;  // per point, -1 for a point no output channel weighs
};

PointGroups groupByOwner(const PointGainInput& in, const WeightRows& rows, const std::vector<std::int64_t>& outputs,
                         const PointOwners& owners) {
    const auto np = static_cast<std::size_t>(in.numPoints);
    std::vector<char> needed(np, 0);
    for (std::int64_t c : outputs)
        for (std::int64_t j = rows.start[static_cast<std::size_t>(c)]; j < rows.start[static_cast<std::size_t>(c) + 1]; ++j)
            needed[static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)])] = 1;
    const bool oneSphere = in.numSpheres <= 1;
    auto sphereRow = [&](std::size_t p) -> std::int64_t { return oneSphere ? 0 : static_cast<std::int64_t>(p); };
    auto sameSphere = [&](std::int64_t a, std::int64_t b) {
        if (in.numSpheres == 0) return true;
        for (int k = 0; k < 4; ++k)
            if (at(in.spheres, in.numSpheres, a, k) != at(in.spheres, in.numSpheres, b, k)) return false;
        return true;
    };
    PointGroups out;
    out.groupOf.assign(np, -1);
    std::vector<std::vector<std::int64_t>> ownedGroups(static_cast<std::size_t>(in.numChannels));
    for (std::size_t p = 0; p < np; ++p) {
        if (!needed[p]) continue;
        const auto owner = static_cast<std::size_t>(owners.channel[p]);
        std::int64_t g = -1;
        for (std::int64_t h : ownedGroups[owner])
            if (sameSphere(out.sphere[static_cast<std::size_t>(h)], sphereRow(p))) g = h;
        if (g < 0) {
            g = static_cast<std::int64_t>(out.members.size());
            out.members.emplace_back();
            out.owner.push_back(owners.channel[p]);
            out.sphere.push_back(sphereRow(p));
            ownedGroups[owner].push_back(g);
        }
        out.members[static_cast<std::size_t>(g)].push_back(static_cast<std::int64_t>(p));
        out.groupOf[p] = g;
    }
    return out;
}

// A channel's weights on each group it touches: how many of its points, and
// the ratio to the owner's weights at its largest weight.
struct ChannelRatios {
    std::vector<std::int64_t> seen;
    std::vector<double> ratio, largest;

    explicit ChannelRatios(std::size_t numGroups) : seen(numGroups, 0), ratio(numGroups, 0.0), largest(numGroups, 0.0) {}

    void of(const WeightRows& rows, std::int64_t channel, const PointGroups& groups, const PointOwners& owners) {
        const std::int64_t b = rows.start[static_cast<std::size_t>(channel)];
        const std::int64_t e = rows.start[static_cast<std::size_t>(channel) + 1];
        for (std::int64_t j = b; j < e; ++j) {
            const auto g = groupOfEntry(rows, j, groups);
            seen[g] = 0, largest[g] = 0.0;
        }
        for (std::int64_t j = b; j < e; ++j) {
            const auto p = static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)]);
            const auto g = groupOfEntry(rows, j, groups);
            const double w = rows.weight[static_cast<std::size_t>(j)];
            ++seen[g];
            if (std::fabs(w) > largest[g]) largest[g] = std::fabs(w), ratio[g] = w / owners.weight[p];
        }
    }

    static std::size_t groupOfEntry(const WeightRows& rows, std::int64_t j, const PointGroups& groups) {
        return static_cast<std::size_t>(
            groups.groupOf[static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)])]);
    }
};

// A group is split when an output channel weighs only part of it, or its
// points out of proportion to the owner's weights.
std::vector<char> groupsToSplit(const WeightRows& rows, const std::vector<std::int64_t>& outputs,
                                const PointGroups& groups, const PointOwners& owners, ChannelRatios& r) {
    std::vector<char> split(groups.members.size(), 0);
    for (std::int64_t c : outputs) {
        r.of(rows, c, groups, owners);
        for (std::int64_t j = rows.start[static_cast<std::size_t>(c)]; j < rows.start[static_cast<std::size_t>(c) + 1]; ++j) {
            const auto p = static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)]);
            const auto g = ChannelRatios::groupOfEntry(rows, j, groups);
            const double w = rows.weight[static_cast<std::size_t>(j)];
            if (r.seen[g] != static_cast<std::int64_t>(groups.members[g].size()) ||
                std::fabs(w - r.ratio[g] * owners.weight[p]) > kProportionalTolerance * r.largest[g])
                split[g] = 1;
        }
    }
    return split;
}

// The sensor name the library sees; a local-sphere table matches it.
std::string sensorName(std::int64_t i) { return "sensor " + std::to_string(i + 1); }

// A library sensor of the given points and weights.
void addSensor(Groups& out, const PointGainInput& in, const std::vector<std::int64_t>& points,
               const std::vector<double>& weights, std::int64_t sphere) {
    PointSensor s;
    s.name = sensorName(out.count());
    for (std::int64_t p : points)
        for (int k = 0; k < 3; ++k) {
            s.positions.push_back(at(in.points, in.numPoints, p, k));
            s.normals.push_back(at(in.normals, in.numPoints, p, k));
        }
    s.weights = weights;
    out.sensors.push_back(std::move(s));
    out.sphere.push_back(sphere);
}

Groups groupPoints(const PointGainInput& in, const WeightRows& rows, const std::vector<std::int64_t>& outputs) {
    const PointOwners owners = pointOwners(in, rows);
    const PointGroups groups = groupByOwner(in, rows, outputs, owners);
    ChannelRatios ratios(groups.members.size());
    const std::vector<char> split = groupsToSplit(rows, outputs, groups, owners, ratios);
    // The sensors: whole groups at the owner's weights, split groups as
    // single points of weight 1.
    Groups out;
    std::vector<std::int64_t> sensorOf(static_cast<std::size_t>(in.numPoints), -1);  // points of split groups
    std::vector<std::int64_t> sensorOfGroup(groups.members.size(), -1);
    for (std::size_t g = 0; g < groups.members.size(); ++g) {
        if (split[g]) {
            for (std::int64_t p : groups.members[g]) {
                sensorOf[static_cast<std::size_t>(p)] = out.count();
                addSensor(out, in, {p}, {1.0}, groups.sphere[g]);
            }
            continue;
        }
        std::vector<double> weights;
        for (std::int64_t p : groups.members[g]) weights.push_back(owners.weight[static_cast<std::size_t>(p)]);
        sensorOfGroup[g] = out.count();
        addSensor(out, in, groups.members[g], weights, groups.sphere[g]);
    }
    // Each channel's terms, in the order of its first weight on each sensor.
    out.termStart.push_back(0);
    std::vector<char> done(groups.members.size(), 0);
    for (std::int64_t c : outputs) {
        ratios.of(rows, c, groups, owners);
        const std::int64_t b = rows.start[static_cast<std::size_t>(c)], e = rows.start[static_cast<std::size_t>(c) + 1];
        for (std::int64_t j = b; j < e; ++j) {
            const auto p = static_cast<std::size_t>(rows.point[static_cast<std::size_t>(j)]);
            const auto g = ChannelRatios::groupOfEntry(rows, j, groups);
            if (split[g]) {
                out.termGroup.push_back(sensorOf[p]);
                out.termFactor.push_back(rows.weight[static_cast<std::size_t>(j)]);
            } else if (!done[g]) {
                done[g] = 1;
                out.termGroup.push_back(sensorOfGroup[g]);
                // The owner's own row has ratio 1 exactly.
                out.termFactor.push_back(groups.owner[g] == c ? 1.0 : ratios.ratio[g]);
            }
        }
        for (std::int64_t j = b; j < e; ++j) done[ChannelRatios::groupOfEntry(rows, j, groups)] = 0;
        out.termStart.push_back(static_cast<std::int64_t>(out.termGroup.size()));
    }
    return out;
}

// The sensors as the library's, in millimetres. The library needs at least
// two sensors: a single one gets a copy of itself, whose values are not used.
std::unique_ptr<SensorArray> groupSensors(const Groups& groups) {
    std::vector<PointSensor> sensors = groups.sensors;
    if (sensors.size() == 1) {
        sensors.push_back(sensors.front());
        sensors.back().name = sensorName(1);
    }
    return pointSensorArray(sensors, "coil points", "mm");
}

std::vector<std::int64_t> outputRows(const PointGainInput& in) {
    std::vector<std::int64_t> out(static_cast<std::size_t>(in.numOutputs));
    for (std::int64_t i = 0; i < in.numOutputs; ++i) {
        const double v = in.outputRows[i];
        if (!(v >= 1.0 && v <= static_cast<double>(in.numChannels) && v == std::floor(v)))
            throw InputError("output row " + std::to_string(i + 1) + " is " + exactNumber(v) +
                             ", not a channel number from 1 to " + std::to_string(in.numChannels));
        out[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(v) - 1;
    }
    return out;
}

SettingOverrides pointSettings(const PointGainInput& in, const Groups& groups, std::int64_t numSensors) {
    SettingOverrides s;
    s.si = true;               // metres inside the scan, values in T/(A*m)
    s.snsFwdModel = 0;         // standard model: a sensor's points at their weights
    s.coilFwdModel = 0;        // the scalar Sarvas form: 0 where it has no value, no failure
    s.isUseRefSns = 0;         // reference weights are part of the caller's weights
    s.isSpatConstrained = 0;   // every source is computed
    auto sphere = [&](std::int64_t row) {
        return Sphere::fromArray({at(in.spheres, in.numSpheres, row, 0), at(in.spheres, in.numSpheres, row, 1),
                                  at(in.spheres, in.numSpheres, row, 2), at(in.spheres, in.numSpheres, row, 3)});
    };
    if (in.numSpheres == 0) return s;  // the shell's least-squares sphere
    if (in.numSpheres == 1) {
        s.sphereModel = 1;
        s.userSphere = sphere(0);
        return s;
    }
    // One sphere per point: every sensor (a group of points with one
    // sphere) takes its sphere from the library's local-sphere table, by
    // name. There are no reference sensors, so the table's global sphere is
    // not used; it is the first sphere.
    auto table = std::make_shared<head::LocalSpheres>();
    table->label = "the toolbox's spheres";
    table->method = "given";
    for (std::int64_t i = 0; i < numSensors; ++i) {
        head::LocalSphere entry;
        entry.name = sensorName(i);
        entry.sphere = sphere(groups.sphere[static_cast<std::size_t>(std::min(i, groups.count() - 1))]);
        table->spheres.push_back(entry);
    }
    table->globalSphere = table->spheres.front().sphere;
    s.localSpheres = table;
    return s;
}

void checkInput(const PointGainInput& in) {
    if (in.numPoints < 1) throw InputError("there are no coil points");
    if (in.numChannels < 1) throw InputError("there are no channels");
    if (in.numOutputs < 1) throw InputError("no channel is asked for");
    if (in.numSources < 0) throw InputError("the number of sources is negative");
    if (in.numSpheres == 0 && !in.shell)
        throw InputError("there is no sphere; one sphere, one per point, or a single shell is needed");
    if (in.numSpheres > 1 && in.numSpheres != in.numPoints)
        throw InputError("there are " + std::to_string(in.numSpheres) + " spheres for " +
                         std::to_string(in.numPoints) + " points; one sphere, or one per point, is needed");
    if (!in.channelNames.empty() && static_cast<std::int64_t>(in.channelNames.size()) != in.numChannels)
        throw InputError(std::to_string(in.channelNames.size()) + " channel names for " +
                         std::to_string(in.numChannels) + " channels");
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

// The library refuses a sensor inside the shell naming its own sensor;
// the same test is made here first (points farther from the expansion
// centre than every vertex are outside, the others by their winding
// number), so that the refusal names the caller's channel.
void checkOutsideShell(const PointGainInput& in, const WeightRows& rows, const std::vector<std::int64_t>& outputs) {
    const head::SingleShell& shell = *in.shell;
    const std::array<double, 3> c = shell.centre();
    double reach = 0.0;
    const std::vector<double>& v = shell.surface.vertices;
    for (std::size_t i = 0; i + 2 < v.size(); i += 3)
        reach = std::max(reach, std::hypot(v[i] - c[0], v[i + 1] - c[1], v[i + 2] - c[2]));
    for (std::int64_t ch : outputs)
        for (std::int64_t j = rows.start[static_cast<std::size_t>(ch)]; j < rows.start[static_cast<std::size_t>(ch) + 1]; ++j) {
            const std::int64_t p = rows.point[static_cast<std::size_t>(j)];
            const double x[3] = {at(in.points, in.numPoints, p, 0), at(in.points, in.numPoints, p, 1),
                                 at(in.points, in.numPoints, p, 2)};
            if (std::hypot(x[0] - c[0], x[1] - c[1], x[2] - c[2]) > reach) continue;
            if (head::windingNumber(shell.surface, x) > 0.25) {
                const std::string name = in.channelNames.empty() ? "channel " + std::to_string(ch + 1)
                                                                 : "channel '" + in.channelNames[static_cast<std::size_t>(ch)] + "'";
                throw SensorInside{name + ": coil point " + std::to_string(p + 1) + " at " +
                                   detail::positionText({x[0], x[1], x[2]}) + " lies inside or on the inner-skull surface; "
                                   "the single shell needs every sensor outside it"};
            }
        }
}

}  // namespace

void pointGain(const PointGainInput& in, double* const* out, std::vector<std::string>& warnings) {
    checkInput(in);
    const WeightRows rows = weightRows(in);
    const std::vector<std::int64_t> outputs = outputRows(in);
    if (in.shell) checkOutsideShell(in, rows, outputs);
    const Groups groups = groupPoints(in, rows, outputs);
    MessageCollector messages(warnings);
    std::unique_ptr<SensorArray> sensors = groupSensors(groups);
    const SystemRef system{&sensors->recording, sensors->trial(), sensors->path};
    const std::int64_t numSensors = std::max<std::int64_t>(groups.count(), 2);
    const std::int64_t perSource = numSensors * 3;
    const std::int64_t numChannels = in.numOutputs;
    const std::int64_t count = in.numSources;
    if (count == 0) return;

    SourceSpec src;
    src.label = "sources";
    src.positions.resize(static_cast<std::size_t>(3 * count));
    for (std::int64_t i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) src.positions[static_cast<std::size_t>(3 * i + k)] = at(in.sources, count, i, k);

    LeadfieldRequest req;
    req.settings = pointSettings(in, groups, numSensors);
    req.threads = in.threads;
    req.command = "toolbox leadfield";
    req.singleShell = in.shell;
    if (in.cancel) req.progress = [cancel = in.cancel](std::int64_t, std::int64_t) { return !cancel->load(); };
    req.output.begin = [perSource, count](const std::vector<std::int64_t>& shape) {
        if (shape.size() != 3 || shape[0] != count || shape[1] * shape[2] != perSource)
            throw ComputeError("the library's leadfield array does not have one row per sensor");
    };
    // From the scan's threads, for separate blocks of whole sources: each
    // call writes its own sources' blocks.
    req.output.write = [&groups, perSource, numChannels, out](std::int64_t firstValue, const double* v,
                                                            std::int64_t numValues) {
        const std::int64_t s0 = firstValue / perSource;
        for (std::int64_t s = 0; s < numValues / perSource; ++s) {
            const double* vs = v + s * perSource;
            double* g = out[s0 + s];
            for (std::int64_t c = 0; c < numChannels; ++c) {
                double a0 = 0.0, a1 = 0.0, a2 = 0.0;
                for (std::int64_t j = groups.termStart[static_cast<std::size_t>(c)];
                     j < groups.termStart[static_cast<std::size_t>(c) + 1]; ++j) {
                    const double w = groups.termFactor[static_cast<std::size_t>(j)];
                    const double* p = vs + 3 * groups.termGroup[static_cast<std::size_t>(j)];
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
    ForwardResult r;
    try {
        r = computeLeadfield(system, src, req);
    } catch (const Cancelled&) {
        throw Interrupted{};
    }
    std::set<std::string> seen;
    for (const std::string& w : r.warnings)
        if (seen.insert(w).second) warnings.push_back(w);
}

}  // namespace megfwd::toolbox

#include "forward_api/Compute.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/OutputRoutes.h"
#include "forward_api/ResultFacts.h"
#include "forward_api/SensorPlan.h"
#include "forward_api/ShellScan.h"
#include "forward_fast/CFastBlockScan.h"
#include "host_interfaces/VectorOps.h"

// The whole-computation API: the steps shared by every computation, the
// record-by-record and the fast leadfield routes, and the field values.
// Where the fast route's values go is in OutputRoutes.cpp, the metadata's
// facts in ResultFacts.cpp, the values' figures in ValueStats.cpp.
namespace megfwd {

using namespace detail;

namespace {

using nlohmann::json;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void setSources(CMDataForwardkw& data, const SourceSpec& src) {
    if (src.grid) {
        CGrid3D grid(src.grid->minCorner, src.grid->maxCorner, src.grid->step);
        if (grid.numPoints < 1 || !data.initFwdPosGrd(&grid))
            throw ComputeError(src.label + ": the grid's source positions could not be set");
    } else {
        CVirtSnsPOXlistkw list;
        for (std::size_t i = 0; i + 2 < src.positions.size(); i += 3)
            list.addPosition(src.positions[i], src.positions[i + 1], src.positions[i + 2]);
        if (!data.initFwdPosVsp(&list)) throw ComputeError(src.label + ": the source positions could not be set");
    }
}

// The caller's progress callback, noting a request to stop in `cancelled`.
ProgressFn cancellable(const ProgressFn& progress, bool& cancelled) {
    if (!progress) return {};
    return [&progress, &cancelled](std::int64_t done, std::int64_t total) {
        if (!progress(done, total)) cancelled = true;
        return !cancelled;
    };
}

template <class Fn>
double forEachValue(CMDataForwardkw& data, Fn fn) {
    double acc = 0;
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        const CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        for (std::int64_t j = 0; j < rec.numSns && rec.pSnsLf; ++j)
            for (std::int64_t k = 0; k < rec.pSnsLf[j].numLf && rec.pSnsLf[j].pLf; ++k) acc = fn(acc, rec.pSnsLf[j].pLf[k]);
    }
    return acc;
}

}  // namespace

std::int64_t SourceSpec::count() const {
    if (grid) return static_cast<std::int64_t>(gridPointCount(*grid));
    return static_cast<std::int64_t>(positions.size() / 3);
}

std::int64_t ForwardResult::numIn() const {
    std::int64_t n = 0;
    for (int f : inScan) n += f == 1;
    return n;
}

double estimateBytes(std::int64_t numSources, std::int64_t numSensors, std::int64_t numComponents) {
    // Per source: its record, one sensor record per sensor with its value
    // array (and the allocator's overhead), the output values, its position
    // and its share of the metadata text.
    const double perSensor = sizeof(CFISnsLf) + 16.0 + 8.0 * static_cast<double>(numComponents) + 16.0 +
                             8.0 * static_cast<double>(numComponents);
    const double perSource = sizeof(CFISrcSnsLf) + 16.0 + 64.0 + 128.0 + perSensor * static_cast<double>(numSensors);
    return perSource * static_cast<double>(numSources);
}

std::int64_t countMeasurementSensors(CMDTrialkw& trial, bool goodOnly) {
    std::int64_t n = 0;
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        const CMDChannelkw* ch = trial.getChannel(i);
        if (ch->isMEGMeasureChannel() && ch->pMEGSns && (!goodOnly || ch->isGood)) ++n;
    }
    return n;
}

int scanSources(CMForwardkw& engine, CMDataForwardkw& data, ScanKind kind, const ProgressFn& progress,
                std::int64_t blockSize, std::int64_t* failedSource) {
    if (failedSource) *failedSource = -1;
    // The grid scans' checks, in their order.
    engine.pDataFwd = &data;
    if (!data.pFwdChnl || data.numSns < 2) return 0;
    if (!data.pFwdPos || data.pFwdPos->numPos < 1 || data.numSrc != data.pFwdPos->numPos) return 0;
    if (data.pVoxSnsLfx && (data.numLf > INT_MAX || data.numLf != data.pVoxSnsLfx[0].numLf)) return 0;
    if (data.pFwdChnl->numChnl < 1 || !data.pVoxSnsLfx || data.numSrc < 1) return 0;
    if (blockSize < 1) blockSize = 1;

    const std::int64_t components = data.isTangLfd ? 2 : 3;
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        if (rec.isVoxIn != 1) {
            if (rec.numSns >= 0 && rec.pSnsLf)
                for (std::int64_t j = 0; j < rec.numSns; ++j) {
                    CFISnsLf& s = rec.pSnsLf[j];
                    if (kind == ScanKind::Bcmp) s.bcmp = 0.0;
                    else if (s.pLf)
                        for (std::int64_t k = 0; k < s.numLf; ++k) s.pLf[k] = 0.0;
                }
        } else {
            // Every measurement sensor writes one sensor record; a leadfield
            // scan writes `components` values into each.
            bool ok = rec.pSnsLf && rec.numSns >= data.pFwdChnl->numMeaSns;
            if (ok && kind != ScanKind::Bcmp)
                for (std::int64_t j = 0; j < rec.numSns; ++j)
                    ok = ok && rec.pSnsLf[j].pLf && rec.pSnsLf[j].numLf >= components;
            const int order = engine.orderCoilIntg;
            const bool refs = engine.isUseRefSns != 0;
            if (ok) switch (kind) {
                case ScanKind::Lfd:
                    ok = refs ? engine.dewarMeaRefSns61Q3Lfd(&rec.srcField, &data, &data.singleSphere, order, &rec)
                              : engine.dewarMeaSns60Q3Lfd(&rec.srcField, &data, &data.singleSphere, order, &rec);
                    break;
                case ScanKind::Lfx:
                    ok = refs ? engine.dewarMeaRefSns61Q3Lfx(&rec.srcField, &data, &data.singleSphere, order, &rec)
                              : engine.dewarMeaSns60Q3Lfx(&rec.srcField, &data, &data.singleSphere, order, &rec);
                    break;
                case ScanKind::Bcmp:
                    ok = refs ? engine.dewarMeaRefSns61Q6B1m(&rec.srcField, &data, order, &rec)
                              : engine.dewarMeaSns60Q6B1m(&rec.srcField, &data, order, &rec);
                    break;
            }
            if (!ok) {
                if (failedSource) *failedSource = i;
                return 0;
            }
        }
        if (progress && ((i + 1) % blockSize == 0 || i + 1 == data.numSrc) && !progress(i + 1, data.numSrc)) return 0;
    }
    return 1;
}

namespace {

// The reason a record-by-record scan stopped.
std::string scanFailure(const char* quantity, const ForwardResult& r, std::int64_t source) {
    if (source < 0 || static_cast<std::size_t>(source) >= r.sourcePositions.size())
        return std::string("the ") + quantity + " scan failed before its first source (the channel set or the "
               "source records do not fit the scan; see the library's message, if any)";
    return std::string("the ") + quantity + " of source " + std::to_string(source) + " at " +
           positionText(r.sourcePositions[static_cast<std::size_t>(source)]) +
           " could not be computed (see the library's message, if any)";
}

// The reason a fast scan stopped, with the source it stopped at.
std::string fastScanFailure(const CFastBlockScan& scan, const CFastScanPlan& plan,
                            const std::vector<std::array<double, 3>>& hostPos) {
    const std::int64_t i = scan.failedSource;
    const bool known = i >= 0 && static_cast<std::size_t>(i) < hostPos.size();
    const std::string at =
        known ? "source " + std::to_string(i) + " at " + positionText(hostPos[static_cast<std::size_t>(i)]) : "";
    switch (scan.failure) {
        case CFastBlockScan::Failure::Preparation:
            return "no memory for the block of sources" + (known ? " from " + at : std::string());
        case CFastBlockScan::Failure::Target: return "no storage for the values of the block from " + at;
        case CFastBlockScan::Failure::Sink: return "the values of the block from " + at + " could not be kept";
        default: break;
    }
    if (plan.leadfield().numBrokenSensor)
        return "the leadfield of " + at + " could not be computed: a sensor's integration points could not be made";
    return "the leadfield of " + (known ? at : std::string("a source")) +
           " could not be computed: the formula has no value there (a source on a coil's axis through the sphere "
           "centre, or its tangential basis undefined)";
}

// Reorders a source-major result to the sensor-major layout.
void toSensorMajor(ForwardResult& r) {
    const std::int64_t numSources = r.shape[0], numSensors = r.shape[1], comps = r.shape[2];
    std::vector<double> out(r.values.size());
    for (std::int64_t i = 0; i < numSources; ++i)
        for (std::int64_t j = 0; j < numSensors; ++j)
            for (std::int64_t c = 0; c < comps; ++c)
                out[static_cast<std::size_t>((j * numSources + i) * comps + c)] =
                    r.values[static_cast<std::size_t>((i * numSensors + j) * comps + c)];
    r.values = std::move(out);
    r.shape = {numSensors, numSources, comps};
}

// The record-by-record set-up and scan, shared by leadfields and field
// values: one manager with a record per source, prepared, and the
// single-shell correction fitted to its sensors.
struct RecordScan {
    CMDataForwardkw data;
    CMForwardkw engine;
    json scanSphere;
    std::optional<head::ShellCorrection> shell;
};

// Everything up to the scan, with the sensors and sources in `r`. Field
// values take three components whatever the settings say.
void prepareRecords(RecordScan& s, const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                    bool fieldValues, ForwardResult& r) {
    const std::int64_t expectedSensors = countMeasurementSensors(*sys.trial, req.settings.goodChannelsOnly);
    checkMemory(estimateBytes(src.count(), expectedSensors, 3),
                src.label + ": " + std::to_string(src.count()) + (fieldValues ? " dipoles x " : " sources x ") +
                    std::to_string(expectedSensors) + " sensors");
    setUpChannels(s.engine, s.data, sys, req.settings);
    if (fieldValues) s.data.isTangLfd = 0;
    setSources(s.data, src);
    if (!s.data.prepare4VoxSnsLfdScan(s.data.isTangLfd ? 2 : 3)) throw ComputeError("preparing the scan failed");
    s.scanSphere = scanSphereJson(s.data);
    sensorInfo(s.data, sys, r);
    sourceInfo(s.data, r);
    if (req.singleShell) {
        checkShellSettings(s.engine, s.data);
        SettingOverrides fitSettings = req.settings;
        if (fieldValues) fitSettings.isTangLfd = 0;
        s.shell = fitShellForSettings(*req.singleShell, sys, fitSettings, req.threads > 0 ? req.threads : 1);
    }
}

// The scan source by source, then the single-shell correction.
void scanRecords(RecordScan& s, const LeadfieldRequest& req, ScanKind kind, const char* quantity, ForwardResult& r) {
    bool cancelled = false;
    const double t0 = now();
    std::int64_t failed = -1;
    const int ok = scanSources(s.engine, s.data, kind, cancellable(req.progress, cancelled), 32, &failed);
    r.seconds = now() - t0;
    if (cancelled) throw Cancelled();
    if (!ok) throw ComputeError(scanFailure(quantity, r, failed));
    if (s.shell) applyShellToRecords(*s.shell, s.data, kind);
}

// The record-by-record route of leadfields: the records' scan and the
// manager's post-processing.
ForwardResult recordLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                              const std::string& why) {
    RecordScan scan;
    ForwardResult r;
    prepareRecords(scan, sys, src, req, false, r);
    const ScanKind kind = req.unitMomentScan ? ScanKind::Lfx : ScanKind::Lfd;
    scanRecords(scan, req, kind, "leadfield", r);
    CMDataForwardkw& data = scan.data;
    // Before the post-processing, which divides by the largest magnitude.
    for (std::int64_t i = 0; i < data.numSrc; ++i)
        for (std::int64_t j = 0; j < data.numSns; ++j)
            for (std::int64_t k = 0; k < data.numLf; ++k) {
                const double v = data.pVoxSnsLfx[i].pSnsLf[j].pLf[k];
                if (!std::isfinite(v * v)) throw nonFiniteValue(r, "source", "leadfield", i, j * data.numLf + k, data.numLf, v);
            }

    // Scale divisors of the post-processing, so the metadata can say how to
    // undo them. The axis restore permutes components and the gains flip
    // signs, so the largest magnitude is the same before and after.
    const double maxAbs = forEachValue(data, [](double a, double v) { return std::max(a, std::fabs(v)); });
    if (!data.postScanLfProcess()) throw ComputeError("the post-processing of the leadfields failed");
    double divisor = data.isUnitLf ? maxAbs : 1.0;
    if (req.rmsNormalise) {
        const double sumSq = forEachValue(data, [](double a, double v) { return a + v * v; });
        const double count = static_cast<double>(data.numSrc * data.numSns * data.numLf);
        const double rms = std::sqrt(sumSq / count);
        if (!data.normVoxSnsLfd_rootMeanSquare()) throw ComputeError("the RMS normalisation failed");
        divisor *= rms;
    }

    const std::int64_t nS = data.numSrc, nN = data.numSns, nC = data.numLf;
    r.shape = {nS, nN, nC};
    r.values.resize(static_cast<std::size_t>(nS * nN * nC));
    for (std::int64_t i = 0; i < nS; ++i) {
        const CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        r.inScan.push_back(rec.isVoxIn);
        for (std::int64_t j = 0; j < nN; ++j)
            for (std::int64_t k = 0; k < nC; ++k)
                r.values[static_cast<std::size_t>((i * nN + j) * nC + k)] = rec.pSnsLf[j].pLf[k];
    }
    r.summary = valueSummary(r);
    addValueWarnings(r, data, *r.summary, "source");
    if (req.layout == LeadfieldLayout::SensorMajor) toSensorMajor(r);
    json scanInfo = {{"path", "record-by-record"}, {"threads", 1}, {"why", why}};
    leadfieldMeta(r, sys, src, req, scan.engine, data, scan.scanSphere, kind, divisor, scanInfo);
    if (scan.shell && req.metadata) r.meta["single_shell"] = shellJson(*req.singleShell, *scan.shell);
    return r;
}


// Host positions of all sources, in the order of the source space.
std::vector<std::array<double, 3>> hostPositions(const SourceSpec& src) {
    std::vector<std::array<double, 3>> p;
    if (src.grid) {
        CGrid3D grid(src.grid->minCorner, src.grid->maxCorner, src.grid->step);
        p.resize(static_cast<std::size_t>(grid.numPoints));
        for (std::int64_t i = 0; i < grid.numPoints; ++i) grid.getPoint(i, p[static_cast<std::size_t>(i)].data());
    } else {
        for (std::size_t i = 0; i + 2 < src.positions.size(); i += 3)
            p.push_back({src.positions[i], src.positions[i + 1], src.positions[i + 2]});
    }
    return p;
}

// Bytes held besides the output while a fast computation runs: the
// prepared geometry, the plan, the threads' scratch arrays and the blocks'
// buffers, a generous round figure for any channel set.
constexpr double kFastFixedBytes = 64e6;
// Bytes per source besides its values: its host position, scan flag and
// share of the metadata text (its position written out).
constexpr double kFastBytesPerSource = 160.0;
// Values per pass of the post-processing's divisions (16 MiB): big enough to
// run at memory speed, small enough that a memory-mapped output hands its
// pages back as the pass goes.
constexpr std::int64_t kPassValues = std::int64_t(1) << 21;

// Refuses, before any work, a fast computation that would not fit in memory:
// the output when it is held here, and per source its position, flag and
// metadata.
void checkFastMemory(const SourceSpec& src, const LeadfieldRequest& req, std::int64_t numSources,
                     std::int64_t numSensors) {
    const bool divides = req.rmsNormalise || req.settings.isUnitLf.value_or(0) != 0;
    const bool held = valuesHeldInMemory(req.output, divides, req.layout);
    const double perSource = (held ? 8.0 * 3.0 * static_cast<double>(numSensors) : 0.0) + kFastBytesPerSource;
    checkMemory(static_cast<double>(numSources) * perSource + kFastFixedBytes,
                src.label + ": " + std::to_string(numSources) + " sources x " + std::to_string(numSensors) +
                    " sensors");
}

// Runs the block scan into the route, with the caller's progress; fills
// the result's scan flags and time. Throws when a block was refused, the
// caller cancelled or a source failed.
void runBlocks(CFastBlockScan& scan, const CFastScanPlan& plan, OutputRoute& route, const LeadfieldRequest& req,
               const std::vector<std::array<double, 3>>& hostPos, ForwardResult& r) {
    static_assert(sizeof(std::array<double, 3>) == 3 * sizeof(double), "host positions are read as one array");
    static_assert(std::is_same_v<std::int32_t, int>, "the scan writes the result's flags");
    const std::int64_t n = static_cast<std::int64_t>(hostPos.size());
    r.inScan.assign(static_cast<std::size_t>(n), 0);
    const double t0 = now();
    const int ok = scan.run(plan, hostPos.front().data(), n, route, r.inScan.data(),
                            req.progress);
    r.seconds = now() - t0;
    if (const std::string why = route.error(); !why.empty()) throw ComputeError(why);
    if (scan.failure == CFastBlockScan::Failure::Cancelled) throw Cancelled();
    if (!ok) throw ComputeError(fastScanFailure(scan, plan, hostPos));
}

// The divisions of the post-processing (the axis restore and the sensor
// signs were applied block by block): the unit leadfield's and the RMS
// normalisation's, in passes over whole sources with the manager's numbers.
// Returns the product of the divisors (1 without either).
double divideValues(OutputRoute& route, const CFastScanPlan& plan, const LeadfieldRequest& req,
                    std::int64_t numSources) {
    const std::int64_t numSns = plan.numSensors(), numLf = plan.numComponents();
    const std::int64_t per = numSns * numLf;
    double* vals = route.values();
    // Each pass takes whole sources, in order: in the sensor-major layout
    // source i's values start at i x components, a sensor's row further on.
    const bool sensorMajor = req.layout == LeadfieldLayout::SensorMajor;
    const std::int64_t sourceStride = sensorMajor ? numLf : per;
    const std::int64_t sensorStride = sensorMajor ? numSources * numLf : numLf;
    auto pass = [&](auto&& fn) {
        const std::int64_t chunk = std::max<std::int64_t>(1, kPassValues / std::max<std::int64_t>(1, per));
        for (std::int64_t first = 0; first < numSources; first += chunk) {
            const std::int64_t count = std::min(chunk, numSources - first);
            fn(first, count);
            route.passed(first * per, count * per);
        }
    };
    // A division by one number works on any range of values: the passes
    // divide the array's values in order, whatever the layout.
    auto divideBy = [&](double s) {
        pass([&](std::int64_t first, std::int64_t count) {
            megfwd::fast::divideAll(vals + first * per, count * per, s);
        });
    };
    double divisor = 1.0;
    if (plan.post().isUnitLf) {
        const double maxAbs = route.stats().maxAbs();
        if (!megfwd::fast::checkUnitRange(maxAbs)) throw ComputeError("the post-processing of the leadfields failed");
        divideBy(maxAbs);
        divisor = maxAbs;
    }
    if (req.rmsNormalise) {
        megfwd::fast::RmsAccumulator acc(numSns, numLf);
        pass([&](std::int64_t first, std::int64_t count) {
            acc.add(vals + first * sourceStride, count, sourceStride, sensorStride);
        });
        double rms = 0;
        if (!acc.scale(rms)) throw ComputeError("the RMS normalisation failed");
        divideBy(rms);
        divisor *= rms;
    }
    return divisor;
}

// How the fast route ran, for the metadata.
json fastScanInfo(const CFastBlockScan& scan, const CFastScanPlan& plan, const OutputRoute& route, int threads) {
    return {{"output_storage", route.description()},
            {"path", "fast"},
            {"threads", threads},
            {"blocks_of_sources", scan.blockSize},
            {"integration_points_per_source", plan.leadfield().numPts},
            {"point_loop", plan.leadfield().isGeneric ? "the engine's coil members, one point at a time" : "vectorised"},
            {"point_loop_build", megfwd::fast::pointLoopName()},
            {"seconds", {{"wall", scan.wallSeconds},
                         {"setup", plan.seconds()},
                         {"preparation_thread_seconds", scan.prepareSeconds},
                         {"loops_thread_seconds", scan.computeSeconds}}}};
}

// The fast route: the geometry prepared once, the sources prepared on flat
// arrays, their leadfields computed by the fast path in blocks into the
// output route, then the divisions with the manager's numbers
// (forward_fast/FlatPostProcess.h) and the metadata. No record per source
// is built: memory stays near the size of the output, or far below it when
// the caller takes the blocks.
ForwardResult fastLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
    const std::int64_t n = src.count();
    checkFastMemory(src, req, n, countMeasurementSensors(*sys.trial, req.settings.goodChannelsOnly));
    CFastBlockScan scan;
    scan.numThreads = req.threads > 0 ? req.threads : megfwd::fast::hardwareThreads();
    PlanLease lease(sys, req.settings, req.singleShell);
    std::unique_ptr<CMDataForwardkw> manager;
    if (!lease.lent()) {
        manager.reset(newObject<CMDataForwardkw>());
        if (!manager) throw ComputeError("no memory for the forward data manager");
        setUpChannels(lease.engine(), *manager, sys, req.settings);  // the channel set's errors, before any work
    }
    const std::vector<std::array<double, 3>> hostPos = hostPositions(src);
    if (static_cast<std::int64_t>(hostPos.size()) != n || n < 1)
        throw ComputeError(src.label + ": the source positions could not be set");

    // The single-shell correction is fitted to the plan's sensors in the
    // plan's frame before any block is computed, and applied in the point
    // loops' threads, before the post-processing.
    lease.prepare(std::move(manager), sys, hostPos[0].data(), scan.numThreads);
    CMForwardkw& engine = lease.engine();
    CFastScanPlan& plan = lease.plan();
    const LeadfieldDims dims{n, plan.numSensors(), plan.numComponents()};
    const bool divides = plan.post().isUnitLf != 0 || req.rmsNormalise;
    const std::unique_ptr<OutputRoute> route = chooseRoute(req.output, dims, divides, scan.blockSize, req.layout);

    ForwardResult r;
    runBlocks(scan, plan, *route, req, hostPos, r);
    CMDataForwardkw& data = plan.geometry();
    const json scanSphere = scanSphereJson(data);
    sensorInfo(data, sys, r);
    r.sourcePositions = hostPos;
    refuseNonFinite(route->stats(), r, "source", "leadfield", dims.numComponents);

    const double divisor = divideValues(*route, plan, req, n);
    r.summary = route->stats().summary(divisor);
    addValueWarnings(r, data, *r.summary, "source");
    route->finish(r);
    r.shape = req.layout == LeadfieldLayout::SensorMajor
                  ? std::vector<std::int64_t>{dims.numSensors, n, dims.numComponents}
                  : std::vector<std::int64_t>{n, dims.numSensors, dims.numComponents};
    json scanInfo = fastScanInfo(scan, plan, *route, scan.numThreads);
    scanInfo["sensor_plan"] = lease.origin();
    leadfieldMeta(r, sys, src, req, engine, data, scanSphere, ScanKind::Lfd, divisor, std::move(scanInfo));
    if (plan.shell() && req.metadata) {
        r.meta["single_shell"] = shellJson(*req.singleShell, *plan.shell());
        r.meta["single_shell"]["fit_seconds"] = plan.shellSeconds();
    }
    return r;
}

// A single-shell computation without a sphere of the caller's corrects the
// leadfields of the surface's least-squares sphere: the nearer the sphere
// is to the surface, the less the expansion has to carry.
LeadfieldRequest withShellSphere(const LeadfieldRequest& req) {
    LeadfieldRequest out = req;
    if (req.singleShell && !req.settings.sphereModel && !req.settings.userSphere && !req.settings.localSpheres) {
        out.settings.sphereModel = 1;
        out.settings.userSphere = req.singleShell->fittedSphere();
    }
    return out;
}

}  // namespace

std::vector<std::int64_t> leadfieldShape(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
    CMForwardkw engine;
    CMDataForwardkw data;
    setUpChannels(engine, data, sys, req.settings);
    const std::int64_t comps = data.isTangLfd ? 2 : 3;
    if (req.layout == LeadfieldLayout::SensorMajor) return {data.numSns, src.count(), comps};
    return {src.count(), data.numSns, comps};
}

ForwardResult computeLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& request) {
    const LeadfieldRequest req = withShellSphere(request);
    if (req.unitMomentScan)
        return recordLeadfield(sys, src, req, "the unit-moment scan (gridDewarLfx) has no fast form");
    if (req.recordScan) return recordLeadfield(sys, src, req, "asked for (--record-scan)");
    return fastLeadfield(sys, src, req);
}

ForwardResult computeField(const SystemRef& sys, const std::vector<double>& dipoles, const std::string& label,
                           const LeadfieldRequest& request) {
    // The engine's default formula, the Nut form of Sarvas (SV_NT04),
    // normalises Q x r0 and so gives the field of a unit moment whatever the
    // size of the given one. Field values of given dipoles are meant to scale
    // with their moments, so they take the scalar Sarvas form (ST01) unless a
    // formula is chosen.
    if (request.layout != LeadfieldLayout::SourceMajor)
        throw InputError(label + ": field values are (dipoles, sensors); the sensor-major layout is for leadfields");
    LeadfieldRequest req = withShellSphere(request);
    const bool currentDipoles = !req.settings.isMagSrc.value_or(0);
    if (!req.settings.coilFwdModel && currentDipoles) req.settings.coilFwdModel = 0;
    const bool unitMoments = currentDipoles && req.settings.coilFwdModel == 3;
    const std::int64_t n = static_cast<std::int64_t>(dipoles.size() / 6);
    SourceSpec src;
    src.label = label;
    for (std::int64_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) src.positions.push_back(dipoles[static_cast<std::size_t>(i * 6 + a)]);
    RecordScan scan;
    ForwardResult r;
    if (unitMoments)
        r.notes.push_back("SV_NT04 gives the field of a unit moment along Q x r0; the size of each moment is not used");
    prepareRecords(scan, sys, src, req, true, r);
    CMDataForwardkw& data = scan.data;
    // The moments, in the frame the preparation left the positions in (the
    // unit change scales positions only).
    for (std::int64_t i = 0; i < n; ++i) {
        CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        for (int a = 0; a < 3; ++a) rec.srcField.mom[a] = dipoles[static_cast<std::size_t>(i * 6 + 3 + a)];
        if (rec.coordMode == 1) CVector02Mas::xyzIOpenGL2Matlab(rec.srcField.mom);
    }
    scanRecords(scan, req, ScanKind::Bcmp, "field value", r);

    // The post-processing applies sensor-gain signs to leadfields only; the
    // same rule is applied to the field values here so that a field value
    // equals the leadfield times the moment.
    const std::int64_t nN = data.numSns;
    std::vector<double> sign(static_cast<std::size_t>(nN), 1.0);
    if (data.isApplySnsGain && n > 0)
        for (std::int64_t j = 0; j < nN; ++j) {
            const CMEGSensorkw* s = data.pFwdChnl->getMEGSns4ChnlID(data.pVoxSnsLfx[0].pSnsLf[j].chnlID);
            if (s && !(s->getSensorGain() > 0.0)) sign[static_cast<std::size_t>(j)] = -1.0;
        }
    r.shape = {n, nN};
    r.values.resize(static_cast<std::size_t>(n * nN));
    for (std::int64_t i = 0; i < n; ++i) {
        const CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        r.inScan.push_back(rec.isVoxIn);
        for (std::int64_t j = 0; j < nN; ++j)
            r.values[static_cast<std::size_t>(i * nN + j)] = sign[static_cast<std::size_t>(j)] * rec.pSnsLf[j].bcmp;
    }
    ValueStats stats(n);
    stats.add(r.values.data(), 0, n, nN, r.inScan.data());
    refuseNonFinite(stats, r, "dipole", "field value", 1);
    r.summary = stats.summary();
    addValueWarnings(r, data, *r.summary, "dipole");
    fieldMeta(r, sys, label, req, scan.engine, data, scan.scanSphere, dipoles);
    if (scan.shell) r.meta["single_shell"] = shellJson(*req.singleShell, *scan.shell);
    return r;
}

}  // namespace megfwd

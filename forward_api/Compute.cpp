#include "forward_api/Compute.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>
#include <memory>
#include <utility>

#include <mutex>
#include <sys/resource.h>

#include "forward_fast/CFastBlockScan.h"
#include "forward_fast/FlatSources.h"
#include "host_interfaces/VectorOps.h"
#include "forward_api/Errors.h"
#include "forward_api/FileText.h"
#include "forward_api/LocalSpheresFile.h"

namespace megfwd {
namespace {

using nlohmann::json;

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string utcTimestamp() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

json sphereJson(const CSpherekw& s) {
    return {{"center_mm", {s.center[0], s.center[1], s.center[2]}}, {"radius_mm", s.radius}};
}

// Builds the channel set and the source positions and applies the settings;
// the first steps of every computation.
void setUp(CMForwardkw& engine, CMDataForwardkw& data, const SystemRef& sys, const SettingOverrides& settings) {
    settings.applyTo(engine, data);
    // Reference sensors join the channel set only when reference correction
    // is on: without them the correction has nothing to subtract.
    if (!data.initFwdChn(sys.recording, sys.trial, 0, settings.goodChannelsOnly ? 1 : 0, engine.isUseRefSns ? 1 : 0))
        throw ComputeError(sys.label + ": the forward channel set could not be built (fewer than 2 channels?)");
    if (data.numSns < 2)
        throw InputError(sys.label + ": " + std::to_string(data.numSns) +
                         " measurement sensor(s) in the channel set; at least 2 are needed");
    checkLocalSpheres(data);
}

// A note naming the local-sphere table's entries that match no measurement
// sensor (they are ignored).
void noteUnmatchedSpheres(const CMDataForwardkw& data, ForwardResult& r) {
    const std::vector<std::string> names = unmatchedEntries(data);
    if (names.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < names.size() && i < 10; ++i) list += (i ? ", " : "") + names[i];
    if (names.size() > 10) list += ", ...";
    r.notes.push_back(data.pLocalSpheres->label + ": " + std::to_string(names.size()) +
                      " local sphere(s) name no measurement sensor of the channel set and are ignored: " + list);
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

// The sensor records' owners in the trial, first-coil positions in host
// axes and millimetres (the channel set's copies may have been shifted).
void sensorInfo(CMDataForwardkw& data, const SystemRef& sys, ForwardResult& r) {
    const CForwardChnlkw* chn = data.pFwdChnl;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind)) continue;
        CMDChannelkw* ch = sys.trial->getChannel(static_cast<int>(entry.chnlID));
        r.sensorNames.push_back(ch ? ch->chnlName : "channel " + std::to_string(entry.chnlID));
        std::array<double, 3> p{0, 0, 0};
        if (ch && ch->pMEGSns && ch->pMEGSns->getCoil(0))
            for (int a = 0; a < 3; ++a) p[static_cast<std::size_t>(a)] = ch->pMEGSns->getCoil(0)->coilPos[a];
        r.sensorPositions.push_back(p);
    }
}

void sourceInfo(CMDataForwardkw& data, ForwardResult& r) {
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        const double* p = data.pFwdPos->ppPos[i];
        r.sourcePositions.push_back({p[0], p[1], p[2]});
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

// The sphere the scan used, in host axes and millimetres: the one the sphere
// model selects, read before any later step could shift it.
json scanSphereJson(CMDataForwardkw& data) {
    switch (data.sphereModel) {
        case 1:
        case 3: return sphereJson(data.userSphere);
        case 2: return sphereJson(data.meanLocSphere);
        default: return sphereJson(data.pFwdChnl->dewarSphere);
    }
}

json integrationJson(const CMForwardkw& engine, CMDataForwardkw& data) {
    if (engine.snsFwdModel != 1)
        return {{"rule", "coil centres, weighted mean by coil weight (standard sensor model)"}, {"points_per_coil", 1}};
    const CForwardChnlkw* chn = data.pFwdChnl;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind) || !entry.pMEGSns || !entry.pMEGSns->isW12Set) continue;
        return {{"rule", "disk quadrature over each coil, coils weighted by their turns (CTF sensor model)"},
                {"order", entry.pMEGSns->w12Order},
                {"points_per_coil", entry.pMEGSns->numW12Pts}};
    }
    return {{"rule", "disk quadrature over each coil (CTF sensor model)"}, {"order", engine.orderCoilIntg},
            {"points_per_coil", nullptr}};
}

json referenceJson(const CMForwardkw& engine, CMDataForwardkw& data) {
    const CForwardChnlkw* chn = data.pFwdChnl;
    std::int64_t corrected = 0;
    for (std::int64_t e = 0; e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        if (!kind::isMeasure(entry.snsKind)) continue;
        bool any = false;
        for (std::int64_t k = 0; k < entry.numRefCoef && entry.pRefCoef; ++k) {
            const int idx = entry.pRefCoef[k].chnlIdx;
            any = any || (idx >= 0 && idx < chn->numChnl && kind::isReference(chn->pSnsCoils[idx].snsKind) &&
                          entry.pRefCoef[k].coef != 0.0);
        }
        corrected += any ? 1 : 0;
    }
    const bool applied = engine.isUseRefSns != 0 && corrected > 0;
    return {{"requested", engine.isUseRefSns != 0},
            {"applied", applied},
            {"measurement_sensors_corrected", engine.isUseRefSns ? corrected : 0},
            {"reference_sensors_in_channel_set", chn->numRefSns}};
}

json commonMeta(const std::string& command, const SystemRef& sys, const std::string& sourceLabel,
                const CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere, const ForwardResult& r) {
    json meta;
    meta["format"] = "megfwd-result";
    meta["version"] = 1;
    meta["program"] = {{"name", "megfwd"}, {"version", MEGFWD_VERSION}, {"command", command}};
    meta["created_utc"] = utcTimestamp();
    meta["settings"] = settingsJson(engine, data);
    meta["integration"] = integrationJson(engine, data);
    meta["reference_correction"] = referenceJson(engine, data);
    meta["spheres"] = {{"scan_sphere", scanSphere}, {"dewar_sphere", sphereJson(data.pFwdChnl->dewarSphere)}};
    if (data.pLocalSpheres)
        meta["spheres"]["local_spheres"] = localSpheresFacts(data);
    else if (data.sphereModel == 2 || data.sphereModel == 3)
        meta["spheres"]["local_spheres"] = "one per sensor, towards the dewar centre, minCoilSphDist from its first coil";
    json sensors = {{"file", sys.label}, {"count", r.sensorNames.size()}, {"names", r.sensorNames}};
    json pos = json::array();
    for (const auto& p : r.sensorPositions) pos.push_back({p[0], p[1], p[2]});
    sensors["first_coil_positions_mm"] = pos;
    sensors["frame"] = "host axes (OpenGL: x to the left ear, y up, z to the nose), millimetres";
    meta["sensors"] = sensors;
    json src = {{"from", sourceLabel}, {"count", r.sourcePositions.size()}};
    json sp = json::array();
    for (const auto& p : r.sourcePositions) sp.push_back({p[0], p[1], p[2]});
    src["positions_mm"] = sp;
    src["in_scan"] = r.inScan;
    src["in_scan_count"] = r.numIn();
    src["frame"] = "host axes (OpenGL), millimetres";
    meta["sources"] = src;
    meta["scan_seconds"] = r.seconds;
    return meta;
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

OutputSink OutputSink::buffer(double* data, std::size_t size) {
    OutputSink sink;
    sink.allocate = [data, size](const std::vector<std::int64_t>& shape) {
        double n = 1.0;
        for (auto d : shape) n *= static_cast<double>(d);
        if (n != static_cast<double>(size))
            throw InputError("the output buffer holds " + std::to_string(size) + " values, the result needs " +
                             std::to_string(static_cast<long long>(n)));
        return data;
    };
    return sink;
}

std::int64_t SourceSpec::count() const {
    if (grid) return static_cast<std::int64_t>(gridPointCount(*grid));
    return static_cast<std::int64_t>(positions.size() / 3);
}

std::int64_t ForwardResult::numIn() const {
    std::int64_t n = 0;
    for (int f : inScan) n += f == 1;
    return n;
}

void ValueStats::add(const double* values, std::int64_t first, std::int64_t count, std::int64_t per,
                     const int* inScan) {
    if (per < 1) return;
    for (std::int64_t i = 0; i < count; ++i) {
        const double* v = values + i * per;
        // Separate min, max and sum chains, so that the loop vectorises.
        double mn = any ? lo : v[0], mx = any ? hi : v[0], sq = 0.0;
        for (std::int64_t k = 0; k < per; ++k) {
            mn = v[k] < mn ? v[k] : mn;
            mx = v[k] > mx ? v[k] : mx;
            sq += v[k] * v[k];
        }
        lo = mn, hi = mx, any = true;
        // A value that is not finite, or so large that its square is not,
        // makes the sum of squares not finite: one test per source.
        if (!std::isfinite(sq) && (badSrc < 0 || first + i < badSrc)) {
            std::int64_t k = 0;
            while (k + 1 < per && std::isfinite(v[k] * v[k])) ++k;
            badSrc = first + i, badAt = k, badVal = v[k];
        }
        if (inScan[first + i] != 1) continue;
        sumSq[static_cast<std::size_t>(first + i)] = sq;
        numSquares += per;
    }
}

void ValueStats::merge(const ValueStats& part, std::int64_t first) {
    if (part.any) {
        lo = any && lo < part.lo ? lo : part.lo;
        hi = any && hi > part.hi ? hi : part.hi;
        any = true;
    }
    std::copy(part.sumSq.begin(), part.sumSq.end(), sumSq.begin() + first);
    numSquares += part.numSquares;
    if (part.badSrc >= 0 && (badSrc < 0 || first + part.badSrc < badSrc))
        badSrc = first + part.badSrc, badAt = part.badAt, badVal = part.badVal;
}

ValueSummary ValueStats::summary(double divisor) const {
    double sum = 0.0;
    for (double s : sumSq) sum += s;
    const double rms = numSquares > 0 ? std::sqrt(sum / static_cast<double>(numSquares)) : 0.0;
    return {lo / divisor, hi / divisor, rms / divisor};
}

ValueSummary valueSummary(const ForwardResult& r) {
    if (r.summary || r.inScan.empty()) return r.summary.value_or(ValueSummary{});
    const auto count = static_cast<std::int64_t>(r.inScan.size());
    const auto per = static_cast<std::int64_t>(r.values.size()) / count;
    ValueStats stats(count);
    stats.add(r.values.data(), 0, count, per, r.inScan.data());
    return stats.summary();
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

std::string positionText(const std::array<double, 3>& p) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.6g, %.6g, %.6g) mm", p[0], p[1], p[2]);
    return buf;
}

// The error for a computed value that is not finite (or whose square is
// not): such a value would reach the output or make its summary infinite,
// so the whole result is refused, naming where the value arose.
ComputeError nonFiniteValue(const ForwardResult& r, const char* sourceWord, const char* quantity, std::int64_t source,
                            std::int64_t offset, std::int64_t numComponents, double value) {
    const std::int64_t sensor = offset / numComponents, component = offset % numComponents;
    std::string where = std::string(sourceWord) + " " + std::to_string(source);
    if (source >= 0 && static_cast<std::size_t>(source) < r.sourcePositions.size())
        where += " at " + positionText(r.sourcePositions[static_cast<std::size_t>(source)]);
    if (sensor >= 0 && static_cast<std::size_t>(sensor) < r.sensorNames.size())
        where += ", sensor '" + r.sensorNames[static_cast<std::size_t>(sensor)] + "'";
    if (numComponents > 1) where += ", component " + std::to_string(component);
    return ComputeError(where + ": the computed " + quantity + " is " + exactNumber(value) +
                        (std::isfinite(value) ? ", too large for a physical value" : ", not a finite number") +
                        "; no result is given (a source on a coil, or a scale such as mu4PiRatio far too large?)");
}

// Throws nonFiniteValue for the first bad value that `stats` saw.
void refuseNonFinite(const ValueStats& stats, const ForwardResult& r, const char* sourceWord, const char* quantity,
                     std::int64_t numComponents) {
    if (stats.badSource() >= 0)
        throw nonFiniteValue(r, sourceWord, quantity, stats.badSource(), stats.badOffset(), numComponents,
                             stats.badValue());
}

// Warnings about a result whose values say nothing: every source out of the
// scan, or every value 0.
void addValueWarnings(ForwardResult& r, const CMDataForwardkw& data, const ValueSummary& s, const char* sourceWord) {
    const std::int64_t total = static_cast<std::int64_t>(r.inScan.size()), in = r.numIn();
    if (total > 0 && in == 0) {
        char why[200];
        std::snprintf(why, sizeof why,
                      "(sources less than %.4g mm deeper than their nearest coil, minCoilSrcDist, or within %.3g mm of "
                      "the sphere centre, minSrcSphDist, are left out)",
                      data.minCoilSrcDist, data.minSrcSphDist);
        const std::string who = total == 1 ? std::string("the only ") + sourceWord + " is not"
                                           : "none of the " + std::to_string(total) + " " + sourceWord + "s is";
        r.warnings.push_back(who + " in the scan, so every value is 0 " + why);
    } else if (in > 0 && s.min == 0.0 && s.max == 0.0) {
        r.warnings.push_back("every value is 0 although " + std::to_string(in) + " of the " + std::to_string(total) +
                             " " + sourceWord + "s are in the scan");
    }
}

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
std::string fastScanFailure(const CFastBlockScan& scan, const std::vector<std::array<double, 3>>& hostPos) {
    const std::string what = scan.failure ? scan.failure : "scan";
    const std::int64_t i = scan.failedSource;
    const bool known = i >= 0 && static_cast<std::size_t>(i) < hostPos.size();
    const std::string at =
        known ? "source " + std::to_string(i) + " at " + positionText(hostPos[static_cast<std::size_t>(i)]) : "";
    if (what == "preparation")
        return known ? "preparing the block of sources from " + at +
                           " failed (channel set, spheres or source records; see the library's message, if any)"
                     : "preparing the scan failed (channel set, spheres or source records; see the library's "
                       "message, if any)";
    if (what == "plan")
        return "the scan's plan could not be built (the sensors' integration points, the integration order, or "
               "memory; see the library's message, if any)";
    if (what == "target") return "no storage for the values of the block from " + at;
    if (scan.plan.numBrokenSensor)
        return "the leadfield of " + at + " could not be computed: a sensor's integration points could not be made";
    return "the leadfield of " + (known ? at : std::string("a source")) +
           " could not be computed: the formula has no value there (a source on a coil's axis through the sphere "
           "centre, or its tangential basis undefined)";
}

// The metadata of a leadfield, the same for both routes.
// The moment directions, in host axes, of the two components of a
// two-component leadfield, per source: the tangent rule is applied as the
// scan applied it (in the scan's axes and unit, on the scan sphere), its
// vectors are brought back to host axes and, when the axis restore exchanged
// the two components, given in the exchanged order. They are the moments
// whose responses the values are: unit vectors for every rule but the Nut
// one, which leaves its vectors at lengths rho and rho |r| (scan unit). The
// scan uses them at that length except in the standard sensor model's Nut
// Sarvas member, which normalises them; so does this then. A source
// where the rule has no directions (at the sphere centre) gets null.
json componentDirections(CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere,
                         const std::vector<std::array<double, 3>>& hostPos) {
    const bool matlabScan = data.coordSystem == 1;
    const bool exchanged = matlabScan && data.isRestoreCoord;
    const bool normalise = engine.snsFwdModel != 1 && engine.coilFwdModel == 3 && engine.isMagSrc == 0;
    const double scale = data.isUnit2Meter ? data.spatUnit : 1.0;
    engine.pDataFwd = &data;  // its coordSystem steers the tangent rules
    CSpherekw sphere;
    for (int m = 0; m < 3; ++m) sphere.center[m] = scanSphere["center_mm"][m].get<double>() * scale;
    sphere.radius = scanSphere["radius_mm"].get<double>() * scale;
    if (matlabScan) CVector02Mas::xyzIOpenGL2Matlab(sphere.center);
    json out = json::array();
    for (const auto& p : hostPos) {
        double pos[3] = {p[0] * scale, p[1] * scale, p[2] * scale};
        if (matlabScan) CVector02Mas::xyzIOpenGL2Matlab(pos);
        R3Q3x3 basis;
        json dirs = nullptr;
        if (engine.set2DVect4SrcAll(pos, &sphere, &basis)) {
            dirs = json::array();
            for (int c = 0; c < 2; ++c) {
                double* q = basis.q[exchanged ? 1 - c : c];
                const double n = normalise ? std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]) : 1.0;
                if (!(n > 0.0) || !std::isfinite(n)) {
                    dirs = nullptr;
                    break;
                }
                if (matlabScan) CVector02Mas::xyzIMatlab2OpenGL(q);
                dirs.push_back({q[0] / n, q[1] / n, q[2] / n});
            }
        }
        out.push_back(std::move(dirs));
    }
    return out;
}

void finishLeadfield(ForwardResult& r, const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                     CMForwardkw& engine, CMDataForwardkw& data, const json& scanSphere, ScanKind kind, double divisor,
                     json scanInfo) {
    const std::int64_t nC = r.shape[2];
    r.unit = valueUnit(engine, data, kind, static_cast<int>(nC), divisor);
    noteUnmatchedSpheres(data, r);

    json meta = commonMeta(req.command, sys, src.label, engine, data, scanSphere, r);
    if (src.grid)
        meta["sources"]["grid"] = {{"min_mm", {src.grid->minCorner[0], src.grid->minCorner[1], src.grid->minCorner[2]}},
                                   {"max_mm", {src.grid->maxCorner[0], src.grid->maxCorner[1], src.grid->maxCorner[2]}},
                                   {"step_mm", src.grid->step},
                                   {"order", "x slowest, z fastest"}};
    scanInfo["function"] = req.unitMomentScan ? "gridDewarLfx" : "gridDewarLfd";
    scanInfo["method"] = req.unitMomentScan ? "field values of unit moments along each basis direction"
                                            : "leadfield formulas";
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double outValues = 1.0;
    for (auto d : r.shape) outValues *= static_cast<double>(d);
    std::string storage = r.valuesInSink ? req.output.description : "one contiguous array in memory";
    if (scanInfo.contains("output_storage")) {  // the route chose among the caller's kinds of storage
        storage = scanInfo["output_storage"].get<std::string>();
        scanInfo.erase("output_storage");
    }
    scanInfo["memory"] = {{"output_bytes", outValues * 8.0},
                          {"output", storage},
                          {"peak_resident_bytes_so_far", static_cast<double>(usage.ru_maxrss) * 1024.0}};
    meta["scan"] = scanInfo;
    const bool matlabAxes = data.coordSystem == 1 && !data.isRestoreCoord;
    std::string comps;
    if (nC == 3)
        comps = std::string("unit dipoles along x, y and z of the ") +
                (matlabAxes ? "Matlab axes (z up)" : "host axes (OpenGL: x to the left ear, y up, z to the nose)");
    else
        comps = "unit dipoles along the two tangential directions q[0], q[1] of each source's basis (tangent rule " +
                tangentRuleName(engine.tangVectMethod) + ")" +
                (data.coordSystem == 1 && data.isRestoreCoord ? ", exchanged by the axis restore" : "");
    meta["array"] = {{"dtype", "float64"},
                     {"order", "C"},
                     {"shape", r.shape},
                     {"axes", {"source", "sensor", "component"}},
                     {"components", comps}};
    if (nC == 2) {
        meta["array"]["component_directions"] =
            "sources.component_directions: per source, the moments (host axes) whose responses components 0 and 1 are; "
            "unit vectors except under the Nut tangent rule (lengths rho and rho |r| in the scan unit) unless the "
            "standard sensor model's Nut Sarvas formula normalised them";
        meta["sources"]["component_directions"] = componentDirections(engine, data, scanSphere, r.sourcePositions);
    }
    meta["values"] = {{"quantity", "leadfield"},
                      {"unit", r.unit.label},
                      {"to_SI_factor", r.unit.toSI},
                      {"SI_unit", r.unit.siUnit},
                      {"explanation", r.unit.explanation},
                      {"formula_factor", formulaFactor(engine, kind, static_cast<int>(nC))},
                      {"sensor_gain_signs_applied", data.isApplySnsGain != 0},
                      {"unit_leadfield", data.isUnitLf != 0},
                      {"rms_normalised", req.rmsNormalise},
                      {"divided_by", divisor},
                      {"si_option", req.settings.si},
                      {"out_of_scan_sources", "all values 0"}};
    meta["notes"] = r.notes;
    meta["warnings"] = r.warnings;
    r.meta = std::move(meta);
}


// The record-by-record route: one manager with a record per source, the
// scan source by source, the manager's post-processing.
ForwardResult recordLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req,
                              const std::string& why) {
    CMDataForwardkw data;
    CMForwardkw engine;
    const std::int64_t expectedSensors = countMeasurementSensors(*sys.trial, req.settings.goodChannelsOnly);
    checkMemory(estimateBytes(src.count(), expectedSensors, 3),
                src.label + ": " + std::to_string(src.count()) + " sources x " + std::to_string(expectedSensors) +
                    " sensors");
    setUp(engine, data, sys, req.settings);
    setSources(data, src);

    const int requested = data.isTangLfd ? 2 : 3;
    if (!data.prepare4VoxSnsLfdScan(requested)) throw ComputeError("preparing the scan failed");
    const json scanSphere = scanSphereJson(data);

    ForwardResult r;
    sensorInfo(data, sys, r);
    sourceInfo(data, r);

    const ScanKind kind = req.unitMomentScan ? ScanKind::Lfx : ScanKind::Lfd;
    bool cancelled = false;
    const double t0 = now();
    std::int64_t failed = -1;
    const int ok = scanSources(engine, data, kind, cancellable(req.progress, cancelled), 32, &failed);
    r.seconds = now() - t0;
    if (cancelled) throw Cancelled();
    if (!ok) throw ComputeError(scanFailure("leadfield", r, failed));
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
    addValueWarnings(r, data, valueSummary(r), "source");
    json scanInfo = {{"path", "record-by-record"}, {"threads", 1}, {"why", why}};
    finishLeadfield(r, sys, src, req, engine, data, scanSphere, kind, divisor, scanInfo);
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

// The fast route: the geometry prepared once by the manager's own steps,
// the sources prepared on flat arrays, their leadfields computed by the fast
// path in blocks, into one contiguous array or handed to the caller block by
// block; the post-processing with the manager's numbers
// (forward_fast/FlatPostProcess.h). No record per source is built: memory
// stays near the size of the output, or far below it when the caller takes
// the blocks.
ForwardResult fastLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
    const std::int64_t expectedSensors = countMeasurementSensors(*sys.trial, req.settings.goodChannelsOnly);
    const std::int64_t n = src.count();
    // In memory: the output array and per source its position, flag and
    // metadata; with the caller's array only the latter.
    const bool sink = static_cast<bool>(req.output.allocate) || static_cast<bool>(req.output.write);
    const bool dividesAll = req.rmsNormalise || req.settings.isUnitLf.value_or(0) != 0;
    // In memory unless the caller lends an array that is not in memory or
    // takes the blocks as they finish.
    const bool heldHere = req.output.allocate ? req.output.inMemory : (!req.output.write || dividesAll);
    const double perSource = (heldHere ? 8.0 * 3.0 * static_cast<double>(expectedSensors) : 0.0) + 160.0;
    checkMemory(static_cast<double>(n) * perSource + 64e6,
                src.label + ": " + std::to_string(n) + " sources x " + std::to_string(expectedSensors) + " sensors");
    CMForwardkw engine;
    {
        CMDataForwardkw check;  // the channel set's errors, before any work
        setUp(engine, check, sys, req.settings);
    }
    const std::vector<std::array<double, 3>> hostPos = hostPositions(src);
    if (static_cast<std::int64_t>(hostPos.size()) != n || n < 1)
        throw ComputeError(src.label + ": the source positions could not be set");
    const int threads = req.threads > 0 ? req.threads : megfwd::fast::hardwareThreads();
    const bool goodOnly = req.settings.goodChannelsOnly;

    ForwardResult r;
    r.inScan.assign(static_cast<std::size_t>(n), 0);
    std::int64_t doneCount = 0;
    bool cancelled = false;
    CFastBlockScan scan;
    scan.numThreads = threads;
    // The geometry is prepared once, by the manager's own steps on managers
    // of one source; the stencil, the shift and the frame changes of the
    // sources are done on flat arrays (CFlatSources), on the worker threads,
    // block by block: no source or sensor record is built.
    const double tPrep = now();
    CFlatSources flat;
    std::unique_ptr<CMDataForwardkw> geometry = megfwd::fast::prepareFlatGeometry(
        [&](CMDataForwardkw& d) {
            CMForwardkw scratch;
            req.settings.applyTo(scratch, d);
            CVirtSnsPOXlistkw one;
            one.addPosition(hostPos[0][0], hostPos[0][1], hostPos[0][2]);
            return d.initFwdChn(sys.recording, sys.trial, 0, goodOnly ? 1 : 0, scratch.isUseRefSns ? 1 : 0) &&
                           d.initFwdPosVsp(&one)
                       ? 1
                       : 0;
        },
        flat);
    if (!geometry)
        throw ComputeError("preparing the scan failed (channel set, spheres or settings; see the library's "
                           "message, if any)");
    const double setupSeconds = now() - tPrep;
    static_assert(sizeof(std::array<double, 3>) == 3 * sizeof(double), "host positions are read as one array");
    const double* hostFlat = hostPos.front().data();
    auto prepare = [&](std::int64_t first, std::int64_t count, double* pos, std::int32_t* in, std::int32_t* modes) {
        flat.prepare(hostFlat + 3 * first, count, pos, in, modes);
        return 1;
    };
    // Where the values go: a caller's array (allocate), the caller's storage
    // by copy, block by block (write), or memory. The divisions of the
    // post-processing pass over all values again, so the copy route serves
    // computations without them; with them, and no array of the caller's,
    // the values are held in memory and copied out at the end.
    const bool divides = geometry->isUnitLf != 0 || req.rmsNormalise;
    const bool copyBlocks = sink ? static_cast<bool>(req.output.write) && !divides : false;
    const bool lendArray = sink && !copyBlocks && static_cast<bool>(req.output.allocate);
    const bool copyAtEnd = sink && !copyBlocks && !lendArray;
    // Called under the scan's lock, from its worker threads.
    double* vals = nullptr;
    std::string mapError, writeError;
    ValueStats stats(n);
    bool begun = false;
    // Copy route: one buffer per block being computed, back to the free list
    // once the block is written.
    std::vector<std::unique_ptr<double[]>> freeBuffers;
    std::vector<std::pair<std::int64_t, std::unique_ptr<double[]>>> busyBuffers;
    auto target = [&](std::int64_t first, std::int64_t) -> double* {
        const std::int64_t per = scan.numSns * scan.numLf;
        if (!mapError.empty()) return nullptr;  // the first reason is the one reported
        if (copyBlocks) {
            try {
                if (!begun && req.output.begin) req.output.begin({n, scan.numSns, scan.numLf});
                begun = true;
            } catch (const std::exception& e) {
                mapError = e.what();
                return nullptr;
            }
            std::unique_ptr<double[]> b;
            if (!freeBuffers.empty()) {
                b = std::move(freeBuffers.back());
                freeBuffers.pop_back();
            } else {
                b.reset(megfwd::newArray<double>(scan.blockSize * per));
                if (!b) return nullptr;
            }
            double* p = b.get();
            busyBuffers.emplace_back(first, std::move(b));
            return p;
        }
        if (!vals) {
            if (lendArray) {
                try {
                    vals = req.output.allocate({n, scan.numSns, scan.numLf});
                } catch (const std::exception& e) {
                    mapError = e.what();
                    return nullptr;
                }
                if (!vals) mapError = "the caller's output storage refused the array";
            } else {
                r.values.resize(static_cast<std::size_t>(n * per));
                vals = r.values.data();
            }
        }
        return vals + first * per;
    };
    auto done = [&](std::int64_t first, std::int64_t count, const std::int32_t* in) -> int {
        const std::int64_t per = scan.numSns * scan.numLf;
        std::copy(in, in + count, r.inScan.begin() + first);
        if (copyBlocks) {
            auto it = std::find_if(busyBuffers.begin(), busyBuffers.end(),
                                   [first](const auto& b) { return b.first == first; });
            if (it == busyBuffers.end()) return 0;
            freeBuffers.push_back(std::move(it->second));
            busyBuffers.erase(it);
        } else if (req.output.release) {
            req.output.release(first * per, count * per);
        }
        doneCount += count;
        if (req.progress && !req.progress(doneCount, n)) cancelled = true;
        return cancelled ? 0 : 1;
    };
    // Each block's figures are gathered, and on the copy route the block is
    // written, on its worker's thread outside the scan's lock, so that one
    // block is summed and written while another is computed.
    std::mutex statsLock;  // the merge of a block's figures, and the first write error
    scan.finished = [&](std::int64_t first, std::int64_t count, const double* values, const std::int32_t* in) -> int {
        const std::int64_t per = scan.numSns * scan.numLf;
        ValueStats part(count);
        part.add(values, 0, count, per, in);
        {
            std::lock_guard<std::mutex> g(statsLock);
            stats.merge(part, first);
        }
        if (!copyBlocks) return 1;
        try {
            req.output.write(first * per, values, count * per);
            return 1;
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> g(statsLock);
            if (writeError.empty()) writeError = e.what();
            return 0;
        }
    };
    const double t0 = now();
    const int ok = scan.runFlat(engine, std::move(geometry), n, prepare, target, done);
    r.seconds = now() - t0;
    if (!mapError.empty()) throw ComputeError(mapError);
    if (!writeError.empty()) throw ComputeError(writeError);
    if (cancelled) throw Cancelled();
    if (!ok) throw ComputeError(fastScanFailure(scan, hostPos));
    CMDataForwardkw& data = *scan.firstManager();
    const json scanSphere = scanSphereJson(data);
    sensorInfo(data, sys, r);
    r.sourcePositions = hostPos;
    refuseNonFinite(stats, r, "source", "leadfield", scan.numLf);

    // The divisions of the post-processing (the axis restore and the sensor
    // signs were applied block by block), in passes over whole sources; out
    // of core each pass hands its pages back as it goes.
    const std::int64_t per = scan.numSns * scan.numLf;
    auto pass = [&](auto&& fn) {
        const std::int64_t chunk = std::max<std::int64_t>(1, (std::int64_t(1) << 21) / std::max<std::int64_t>(1, per));
        for (std::int64_t first = 0; first < n; first += chunk) {
            const std::int64_t count = std::min(chunk, n - first);
            fn(vals + first * per, first, count);
            if (req.output.release) req.output.release(first * per, count * per);
        }
    };
    const double maxAbs = stats.maxAbs();
    double divisor = 1.0;
    if (scan.post.isUnitLf) {
        if (!megfwd::fast::checkUnitRange(maxAbs)) throw ComputeError("the post-processing of the leadfields failed");
        pass([&](double* v, std::int64_t, std::int64_t count) { megfwd::fast::divideAll(v, count * per, maxAbs); });
        divisor = maxAbs;
    }
    if (req.rmsNormalise) {
        megfwd::fast::RmsAccumulator acc(scan.numSns, scan.numLf);
        pass([&](double* v, std::int64_t, std::int64_t count) { acc.add(v, count); });
        double rms = 0;
        if (!acc.scale(rms)) throw ComputeError("the RMS normalisation failed");
        pass([&](double* v, std::int64_t, std::int64_t count) { megfwd::fast::divideAll(v, count * per, rms); });
        divisor *= rms;
    }
    r.summary = stats.summary(divisor);
    addValueWarnings(r, data, *r.summary, "source");
    if (copyAtEnd) {
        if (req.output.begin) req.output.begin({n, scan.numSns, scan.numLf});
        req.output.write(0, r.values.data(), n * per);
        std::vector<double>().swap(r.values);
    }
    if (sink) {
        r.valuesInSink = true;
        if (req.output.finish) req.output.finish();
    }
    r.shape = {n, scan.numSns, scan.numLf};
    json scanInfo = {{"output_storage", copyBlocks ? req.output.writeDescription
                                        : lendArray ? req.output.description
                                        : copyAtEnd ? req.output.writeDescription
                                                    : std::string("one contiguous array in memory")},
                     {"path", "fast"},
                     {"threads", threads},
                     {"blocks_of_sources", scan.blockSize},
                     {"integration_points_per_source", scan.plan.numPts},
                     {"point_loop", scan.plan.isGeneric ? "the engine's coil members, one point at a time"
                                                        : "vectorised"},
                     {"point_loop_build", megfwd::fast::kernelBuildName()},
                     {"seconds", {{"wall", scan.wallSeconds},
                                  {"setup", setupSeconds},
                                  {"preparation_thread_seconds", scan.prepareSeconds},
                                  {"loops_thread_seconds", scan.computeSeconds}}}};
    finishLeadfield(r, sys, src, req, engine, data, scanSphere, ScanKind::Lfd, divisor, scanInfo);
    return r;
}

}  // namespace

std::vector<std::int64_t> leadfieldShape(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
    CMForwardkw engine;
    CMDataForwardkw data;
    setUp(engine, data, sys, req.settings);
    return {src.count(), data.numSns, data.isTangLfd ? 2 : 3};
}

ForwardResult computeLeadfield(const SystemRef& sys, const SourceSpec& src, const LeadfieldRequest& req) {
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
    LeadfieldRequest req = request;
    const bool currentDipoles = !req.settings.isMagSrc.value_or(0);
    if (!req.settings.coilFwdModel && currentDipoles) req.settings.coilFwdModel = 0;
    const bool unitMoments = currentDipoles && req.settings.coilFwdModel == 3;
    CMDataForwardkw data;
    CMForwardkw engine;
    const std::int64_t n = static_cast<std::int64_t>(dipoles.size() / 6);
    const std::int64_t expectedSensors = countMeasurementSensors(*sys.trial, req.settings.goodChannelsOnly);
    checkMemory(estimateBytes(n, expectedSensors, 3),
                label + ": " + std::to_string(n) + " dipoles x " + std::to_string(expectedSensors) + " sensors");
    setUp(engine, data, sys, req.settings);
    data.isTangLfd = 0;
    SourceSpec src;
    src.label = label;
    for (std::int64_t i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) src.positions.push_back(dipoles[static_cast<std::size_t>(i * 6 + a)]);
    setSources(data, src);
    if (!data.prepare4VoxSnsLfdScan(3)) throw ComputeError("preparing the scan failed");
    const json scanSphere = scanSphereJson(data);

    // The moments, in the frame the preparation left the positions in (the
    // unit change scales positions only).
    for (std::int64_t i = 0; i < n; ++i) {
        CFISrcSnsLf& rec = data.pVoxSnsLfx[i];
        for (int a = 0; a < 3; ++a) rec.srcField.mom[a] = dipoles[static_cast<std::size_t>(i * 6 + 3 + a)];
        if (rec.coordMode == 1) CVector02Mas::xyzIOpenGL2Matlab(rec.srcField.mom);
    }

    ForwardResult r;
    if (unitMoments)
        r.notes.push_back("SV_NT04 gives the field of a unit moment along Q x r0; the size of each moment is not used");
    noteUnmatchedSpheres(data, r);
    sensorInfo(data, sys, r);
    sourceInfo(data, r);
    bool cancelled = false;
    const double t0 = now();
    std::int64_t failed = -1;
    const int ok = scanSources(engine, data, ScanKind::Bcmp, cancellable(req.progress, cancelled), 32, &failed);
    r.seconds = now() - t0;
    if (cancelled) throw Cancelled();
    if (!ok) throw ComputeError(scanFailure("field value", r, failed));

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
    r.unit = valueUnit(engine, data, ScanKind::Bcmp, 1);

    json meta = commonMeta(req.command, sys, label, engine, data, scanSphere, r);
    json moments = json::array();
    for (std::int64_t i = 0; i < n; ++i)
        moments.push_back({dipoles[static_cast<std::size_t>(i * 6 + 3)], dipoles[static_cast<std::size_t>(i * 6 + 4)],
                           dipoles[static_cast<std::size_t>(i * 6 + 5)]});
    meta["sources"]["moments"] = moments;
    meta["scan"] = {{"function", "gridDewarBcmp"}, {"method", "field values of the given moments"}};
    meta["array"] = {{"dtype", "float64"}, {"order", "C"}, {"shape", r.shape}, {"axes", {"dipole", "sensor"}}};
    meta["values"] = {{"quantity", "field value along the sensors (bcmp)"},
                      {"unit", r.unit.label},
                      {"to_SI_factor", r.unit.toSI},
                      {"SI_unit", r.unit.siUnit},
                      {"explanation", r.unit.explanation},
                      {"formula_factor", formulaFactor(engine, ScanKind::Bcmp, 1)},
                      {"sensor_gain_signs_applied", data.isApplySnsGain != 0},
                      {"si_option", req.settings.si},
                      {"out_of_scan_sources", "all values 0"}};
    meta["notes"] = r.notes;
    meta["warnings"] = r.warnings;
    r.meta = std::move(meta);
    return r;
}

}  // namespace megfwd

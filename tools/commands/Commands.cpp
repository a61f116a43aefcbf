#include "tools/commands/Commands.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "host_interfaces/Afx.h"
#include "host_interfaces/DefaultSystem.h"
#include "dipole_fit/SourceForward.h"
#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "tools/formats/MappedNpy.h"
#include "tools/formats/Npy.h"
#include "forward_api/SensorArrayFile.h"
#include "tools/formats/SourceFile.h"
#include "tools/formats/TopoMap.h"
#include "tools/commands/Progress.h"
#include "tools/commands/SameFile.h"
#include "tools/formats/OutputSpace.h"

namespace megfwd::io {
namespace {

using nlohmann::json;

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string vec3(const double* p, const char* f = "%.1f") {
    return "(" + fmt(f, p[0]) + ", " + fmt(f, p[1]) + ", " + fmt(f, p[2]) + ")";
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string s;
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? " x " : "") + std::to_string(shape[i]);
    return s;
}

// The output pair: OUT.npy and OUT.json beside it, both opened before any
// computation so that an unwritable path is refused at once.
struct OutputPair {
    std::string npyPath, jsonPath;
    AtomicOutput npy, meta;
    explicit OutputPair(const std::string& path)
        : npyPath(path), jsonPath(replaceExtension(path, ".json")), npy(checked(path)), meta(jsonPath) {}
    static const std::string& checked(const std::string& path) {
        if (std::filesystem::path(path).extension() == ".json")
            throw InputError(path + ": the output must be the .npy array; its metadata goes beside it as .json");
        return path;
    }
    void write(ForwardResult& r) {
        r.meta["array"]["file"] = std::filesystem::path(npyPath).filename().string();
        const std::string metaText = readableJson(r.meta);
        const double bytes = static_cast<double>(npyHeader(r.shape).size() + r.values.size() * sizeof(double));
        const std::string* failed = &npyPath;
        try {
            // Header and values straight from the array: no second copy of
            // a leadfield that may fill most of the memory.
            if (r.valuesInSink) {
                // Written in place already (MappedNpy).
            } else if constexpr (std::endian::native == std::endian::little) {
                npy.write(npyHeader(r.shape));
                npy.write(r.values.data(), r.values.size() * sizeof(double));
            } else {
                npy.write(npyBytes(r.shape, r.values.data()));
            }
            failed = &jsonPath;
            meta.write(metaText);
            failed = &npyPath;
            commitAll({&npy, &meta});
        } catch (const InputError& e) {
            // The values are computed, so a failed write is the run's
            // failure (exit 1); say what it ran into when that was the room.
            const std::string shortage = roomShortage(*failed, bytes + static_cast<double>(metaText.size()));
            if (shortage.empty()) throw ComputeError(e.what());
            throw ComputeError(*failed + ": cannot write the output: " + shortage);
        }
    }
    // Refuses outputs that do not fit before anything is computed: the
    // array of `shape` and its metadata, with about `metaBytesPerRow` per
    // source, 100 per sensor (name, position) and 16 kB for the settings.
    void checkRoom(const std::vector<std::int64_t>& shape, double metaBytesPerRow) const {
        double values = 1.0;
        for (auto d : shape) values *= static_cast<double>(d);
        const double rows = shape.empty() ? 0.0 : static_cast<double>(shape[0]);
        const double sensors = shape.size() < 2 ? 0.0 : static_cast<double>(shape[1]);
        const double bytes = 128.0 + 8.0 * values + metaBytesPerRow * rows + 100.0 * sensors + 16384.0;
        checkRoomFor(npyPath, bytes, "--out and its metadata");
    }
};

// Where a command's report goes: nowhere with --quiet.
std::ostream& reportStream(std::ostream& out, bool quiet) {
    static std::ostream discard(nullptr);
    return quiet ? discard : out;
}

void printWarnings(const ForwardResult& r, bool quiet) {
    if (!quiet)
        for (const auto& n : r.notes) std::fprintf(stderr, "megfwd: note: %s\n", n.c_str());
    for (const auto& w : r.warnings) std::fprintf(stderr, "megfwd: warning: %s\n", w.c_str());
}

// The local-sphere file of a request, or "" when it has none.
std::string localSpheresPath(const LeadfieldRequest& r) {
    return r.settings.localSpheres ? r.settings.localSpheres->label : std::string();
}

// The files of a leadfield or field run: inputs that its outputs must not
// replace.
void refuseOutputPairOverInputs(const std::string& outPath, const std::vector<RolePath>& inputs) {
    refuseOutputsOverInputs(inputs, {{outPath, "--out"}, {replaceExtension(outPath, ".json"), "the metadata written beside --out"}});
}

void printSummary(const ForwardResult& r, const std::string& what, std::ostream& out) {
    const ValueSummary s = valueSummary(r);
    const std::int64_t in = r.numIn(), total = static_cast<std::int64_t>(r.inScan.size());
    out << "  sensors: " << r.sensorNames.size() << ", " << what << ": " << total << " (" << in << " in the scan, "
        << total - in << " out: their values are 0)";
    if (r.shape.size() == 3) out << ", components: " << r.shape[2];
    out << "\n";
    // The RMS leaves out the zeros of the sources out of the scan.
    out << "  values: " << fmt("%.4g", s.min) << " .. " << fmt("%.4g", s.max) << ", RMS ";
    if (in > 0) out << fmt("%.4g", s.rmsInScan) << " over the " << in << " " << what << " in the scan only";
    else out << "- (no " << what << " in the scan)";
    out << " (unit: " << r.unit.label;
    if (std::fabs(r.unit.toSI - 1.0) > 1e-12) out << "; " << r.unit.explanation;  // not SI
    out << ")\n";
    out << "  scan time: " << fmt("%.2f", r.seconds) << " s";
    if (r.seconds > 0) out << " (" << fmt("%.0f", static_cast<double>(total) / r.seconds) << " " << what << "/s)";
    out << "\n";
}

SourceSpec sourcesFrom(const std::string& grid, const std::string& file) {
    SourceSpec s;
    if (!grid.empty() && !file.empty()) throw InputError("give either --grid or --sources, not both");
    if (!grid.empty()) {
        s.grid = parseGridSpec(grid);
        s.label = "--grid " + grid;
        // Refuse a box that cannot fit before anything is allocated (the
        // computation checks again with the real sensor count).
        const double points = gridPointCount(*s.grid);
        const std::string what = "--grid \"" + grid + "\": " + fmt("%.4g", points) + " points";
        checkMemory(points * estimateBytes(1, 2, 3), what);
        if (points > 1e15) throw InputError(what + " are too many");
    } else if (!file.empty()) {
        s.positions = readRows(file, 3);
        s.label = file;
    } else {
        throw InputError("give the sources with --grid or --sources");
    }
    return s;
}

// Map source positions and sensor data for plot from the metadata or a
// sensor-array file.
struct PlotGeometry {
    std::vector<std::array<double, 3>> positions;
    std::vector<std::string> names;
};

PlotGeometry geometryFromSensors(const std::string& path, bool allChannels) {
    auto array = loadSensorArray(path);
    PlotGeometry g;
    CMDTrialkw* t = array->trial();
    for (int i = 0; i < t->getTotalChannel(); ++i) {
        CMDChannelkw* ch = t->getChannel(i);
        if (!ch->isMEGMeasureChannel() || !ch->pMEGSns || !ch->pMEGSns->getCoil(0)) continue;
        if (!allChannels && !ch->isGood) continue;
        const double* p = ch->pMEGSns->getCoil(0)->coilPos;
        g.positions.push_back({p[0], p[1], p[2]});
        g.names.push_back(ch->chnlName);
    }
    return g;
}

PlotGeometry geometryFromMeta(const json& meta, const std::string& path) {
    PlotGeometry g;
    try {
        for (const auto& p : meta.at("sensors").at("first_coil_positions_mm"))
            g.positions.push_back({p.at(0).get<double>(), p.at(1).get<double>(), p.at(2).get<double>()});
        for (const auto& n : meta.at("sensors").at("names")) g.names.push_back(n.get<std::string>());
    } catch (const json::exception&) {
        throw InputError(path + ": no sensor positions in this metadata file; give --sensors FILE");
    }
    return g;
}

// Writes a map of one source of an array; returns a description.
std::string writeMap(const std::vector<std::int64_t>& shape, const std::vector<double>& values, const json* meta,
                     const PlotGeometry& geo, long long source, const std::string& componentArg,
                     const std::string& svgPath, const std::string& inputLabel) {
    if (shape.size() != 2 && shape.size() != 3)
        throw InputError(inputLabel + ": expected an array of shape (sources, sensors, components) or (dipoles, sensors)");
    const std::int64_t nS = shape[0], nN = shape[1], nC = shape.size() == 3 ? shape[2] : 1;
    if (source < 0 || source >= nS)
        throw InputError("--source " + std::to_string(source) + ": " + inputLabel + " has " + std::to_string(nS) +
                         " sources (0.." + std::to_string(nS - 1) + ")");
    if (static_cast<std::int64_t>(geo.positions.size()) != nN)
        throw InputError(inputLabel + ": the array has " + std::to_string(nN) + " sensors but the sensor positions are " +
                         std::to_string(geo.positions.size()));
    auto at = [&](std::int64_t j, std::int64_t k) { return values[static_cast<std::size_t>((source * nN + j) * nC + k)]; };

    // Component names: x, y, z for Cartesian components, q0, q1 for
    // tangential ones.
    const bool cartesian = nC == 3;
    auto compName = [&](std::int64_t k) {
        if (shape.size() == 2) return std::string("field value");
        return cartesian ? std::string(1, "xyz"[k]) : "q" + std::to_string(k);
    };
    std::vector<double> v(static_cast<std::size_t>(nN));
    std::string which;
    if (componentArg == "norm") {
        for (std::int64_t j = 0; j < nN; ++j) {
            double s = 0;
            for (std::int64_t k = 0; k < nC; ++k) s += at(j, k) * at(j, k);
            v[static_cast<std::size_t>(j)] = std::sqrt(s);
        }
        which = "norm over components";
    } else {
        std::int64_t k = -1;
        if (componentArg.empty()) {
            double best = -1;
            for (std::int64_t c = 0; c < nC; ++c)
                for (std::int64_t j = 0; j < nN; ++j)
                    if (std::fabs(at(j, c)) > best) {
                        best = std::fabs(at(j, c));
                        k = c;
                    }
        } else {
            char* end = nullptr;
            k = std::strtoll(componentArg.c_str(), &end, 10);
            if (!end || *end || end == componentArg.c_str() || k < 0 || k >= nC)
                throw InputError("--component '" + componentArg + "': " + inputLabel + " has " + std::to_string(nC) +
                                 " component(s) (0.." + std::to_string(nC - 1) + ") or use 'norm'");
        }
        for (std::int64_t j = 0; j < nN; ++j) v[static_cast<std::size_t>(j)] = at(j, k);
        which = shape.size() == 2 ? compName(0) : "component " + compName(k);
    }
    // A value that is not finite cannot be given a colour (nor can the
    // others be scaled against it).
    for (std::int64_t j = 0; j < nN; ++j)
        for (std::int64_t c = 0; c < nC; ++c)
            if (!std::isfinite(at(j, c) * at(j, c)))
                throw InputError(inputLabel + ": source " + std::to_string(source) + ", sensor '" +
                                 geo.names[static_cast<std::size_t>(j)] + "'" +
                                 (nC > 1 ? ", component " + std::to_string(c) : std::string()) + ": the value " +
                                 exactNumber(at(j, c)) + " is not a finite value that can be drawn");

    TopoMap map;
    map.positions = geo.positions;
    map.names = geo.names;
    map.values = v;
    std::string where;
    std::string unit = "value";
    std::string subtitle = inputLabel;
    if (meta) {
        try {
            const auto& p = meta->at("sources").at("positions_mm").at(static_cast<std::size_t>(source));
            where = " at (" + fmt("%.1f", p.at(0).get<double>()) + ", " + fmt("%.1f", p.at(1).get<double>()) + ", " +
                    fmt("%.1f", p.at(2).get<double>()) + ") mm";
            if (meta->at("sources").at("in_scan").at(static_cast<std::size_t>(source)).get<int>() != 1)
                where += " (out of the scan)";
        } catch (const json::exception&) {
        }
        if (meta->contains("values") && (*meta)["values"].contains("unit")) unit = (*meta)["values"]["unit"].get<std::string>();
        try {
            const auto& e = meta->at("settings").at("engine");
            subtitle += " - " + e.at("formula").get<std::string>() + " (" + e.at("formula_description").get<std::string>() +
                        "), " + e.at("sensor_model").get<std::string>() + " sensor model";
        } catch (const json::exception&) {
        }
    }
    const bool field = shape.size() == 2;
    map.title = std::string(field ? "Field of dipole " : "Leadfield of source ") + std::to_string(source) + where + ", " + which;
    map.subtitle = subtitle;
    map.unit = unit;
    AtomicOutput svg(svgPath);
    svg.write(topoMapSvg(map));
    svg.commit();
    return map.title;
}

void writeSourcesCsv(const ForwardResult& r, const std::string& path) {
    AtomicOutput out(path);
    std::string s = "# source positions, host axes (OpenGL), millimetres\nx_mm,y_mm,z_mm\n";
    for (const auto& p : r.sourcePositions)
        s += exactNumber(p[0]) + "," + exactNumber(p[1]) + "," + exactNumber(p[2]) + "\n";
    out.write(s);
    out.commit();
}

}  // namespace

namespace {

// leadfield --gradient: the analytic derivatives, per metre with SI values
// (the positions are millimetres, the values T/(A m)).
int writeGradient(const LeadfieldArgs& a, const SystemRef& sys, const SourceSpec& sources, OutputPair& output,
                  std::ostream& out) {
    std::vector<std::int64_t> shape = leadfieldShape(sys, sources, a.request);
    shape.push_back(3);
    output.checkRoom(shape, 96.0);
    LeadfieldRequest req = a.request;
    req.command = "leadfield --gradient";
    Progress progress(sources.count(), "sources", a.quiet);
    req.progress = progress.callback();
    ForwardResult r = dipole::computeLeadfieldGradient(sys, sources, req);
    progress.finish();
    if (req.settings.si) {
        for (double& v : r.values) v *= 1000.0;
        r.meta["array"]["derivatives"] = "d/dx, d/dy, d/dz of the source position (host axes), per metre";
        r.meta["values"]["unit"] = r.unit.label + "/m";
    }
    output.write(r);
    printWarnings(r, a.quiet);
    out << "megfwd: wrote " << output.npyPath << " (" << shapeText(r.shape) << ", float64) and " << output.jsonPath
        << "\n";
    return kExitOk;
}

}  // namespace

int runLeadfield(const LeadfieldArgs& a, std::ostream& stdOut) {
    std::ostream& out = reportStream(stdOut, a.quiet);
    refuseOutputPairOverInputs(a.out, {{a.sensors, "--sensors"},
                                       {a.sources, "--sources"},
                                       {localSpheresPath(a.request), "--local-spheres"}});
    // The two inputs are read at once, each on a core of its own.
    std::future<SourceSpec> sourcesRead = std::async(std::launch::async, [&] { return sourcesFrom(a.grid, a.sources); });
    auto sensors = loadSensorArray(a.sensors);
    const SourceSpec sources = sourcesRead.get();
    const auto& st = a.request.settings;
    if (!a.quiet && a.request.unitMomentScan && !st.isMagSrc &&
        st.coilFwdModel.value_or(CMForwardkw().coilFwdModel) == 3)
        std::fprintf(stderr, "megfwd: note: with SV_NT04 the unit-moment scan gives, for each axis e, the field of a "
                             "unit moment along e x r0 (the Nut form normalises Q x r0)\n");
    OutputPair output(a.out);
    const SystemRef sys{&sensors->recording, sensors->trial(), a.sensors};
    if (a.gradient) return writeGradient(a, sys, sources, output, out);
    output.checkRoom(leadfieldShape(sys, sources, a.request), 96.0);
    // The fast route writes its values into the output file as blocks are
    // finished (pwrite), and each block starts going to the disk while later
    // blocks compute. A computation that divides all values at the end (unit
    // leadfield, RMS normalisation) writes them through a mapping of the
    // file instead; out of core (when asked, or when the array alone would
    // take more than half of the memory) its finished pages leave the
    // process.
    LeadfieldRequest req = a.request;
    Progress progress(sources.count(), "sources", a.quiet);
    req.progress = progress.callback();
    const double arrayBytes = static_cast<double>(sources.count()) * 8.0 * 3.0 *
                              static_cast<double>(countMeasurementSensors(*sys.trial, st.goodChannelsOnly));
    const double avail = availableMemoryBytes();
    const bool fastRoute = !req.unitMomentScan && !req.recordScan;
    MappedNpy mapped(output.npy, a.outOfCore || (avail > 0.0 && arrayBytes > 0.5 * avail));
    StreamedNpy streamed(output.npy);
    if (fastRoute) req.output = streamed.sink(mapped);
    ForwardResult r = computeLeadfield(sys, sources, req);
    progress.finish();
    output.write(r);
    printWarnings(r, a.quiet);
    out << "megfwd: wrote " << output.npyPath << " (" << shapeText(r.shape) << ", float64) and " << output.jsonPath << "\n";
    printSummary(r, "sources", out);
    if (a.endProcess) endProcess(kExitOk);
    return kExitOk;
}

int runField(const FieldArgs& a, std::ostream& stdOut) {
    std::ostream& out = reportStream(stdOut, a.quiet);
    refuseOutputPairOverInputs(a.out, {{a.sensors, "--sensors"},
                                       {a.dipoles, "--dipoles"},
                                       {localSpheresPath(a.request), "--local-spheres"}});
    auto sensors = loadSensorArray(a.sensors);
    const std::vector<double> dipoles = readRows(a.dipoles, 6);
    OutputPair output(a.out);
    output.checkRoom({static_cast<std::int64_t>(dipoles.size() / 6),
                      countMeasurementSensors(*sensors->trial(), a.request.settings.goodChannelsOnly)},
                     160.0);
    const SystemRef sys{&sensors->recording, sensors->trial(), a.sensors};
    LeadfieldRequest req = a.request;
    req.command = "field";
    // The engine's default formula, the Nut form of Sarvas (SV_NT04),
    // normalises Q x r0 and so gives the field of a unit moment whatever the
    // size of the given one. Field values of given dipoles are meant to scale
    // with their moments, so this command takes the scalar Sarvas form (ST01)
    // unless a formula is chosen.
    if (!req.settings.coilFwdModel && !req.settings.isMagSrc) req.settings.coilFwdModel = 0;
    if (!a.quiet && req.settings.coilFwdModel == 3 && !req.settings.isMagSrc)
        std::fprintf(stderr, "megfwd: note: SV_NT04 gives the field of a unit moment along Q x r0; the size of "
                             "each moment is not used\n");
    Progress progress(static_cast<std::int64_t>(dipoles.size() / 6), "dipoles", a.quiet);
    req.progress = progress.callback();
    ForwardResult r = computeField(sys, dipoles, a.dipoles, req);
    progress.finish();
    output.write(r);
    printWarnings(r, a.quiet);
    out << "megfwd: wrote " << output.npyPath << " (" << shapeText(r.shape) << ", float64) and " << output.jsonPath << "\n";
    printSummary(r, "dipoles", out);
    if (a.endProcess) endProcess(kExitOk);
    return kExitOk;
}

int runInfo(const InfoArgs& a, std::ostream& out) {
    auto array = loadSensorArray(a.sensors);
    CMDTrialkw* trial = array->trial();
    out << a.sensors << ": sensor-array file, version " << kSensorArrayVersion << ", unit " << array->unit << "\n";
    out << "channels: " << trial->getTotalChannel() << "\n";
    for (const auto& kc : demo::countChannelsByKind(*trial))
        out << "  " << fmt("%5.0f", kc.count) << "  kind " << fmt("%-4.0f", kc.kind) << " " << demo::kindName(kc.kind) << "\n";

    int meas = 0, measGood = 0, refs = 0, measCoils = 0, refCoils = 0, withWeights = 0, weights = 0;
    std::map<int, int> coilsPerSensor;
    std::map<int, int> referenced;
    for (int i = 0; i < trial->getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial->getChannel(i);
        if (!ch->pMEGSns || !ch->isMEGChannel()) continue;
        const int nc = ch->pMEGSns->getTotalCoils();
        if (ch->isMEGMeasureChannel()) {
            ++meas;
            measGood += ch->isGood ? 1 : 0;
            measCoils += nc;
            ++coilsPerSensor[nc];
            if (ch->numRefCoef > 0) ++withWeights;
            weights += ch->numRefCoef;
            for (int r = 0; r < ch->numRefCoef; ++r) ++referenced[ch->pRefCoef[r].chnlIdx];
        } else {
            ++refs;
            refCoils += nc;
        }
    }
    out << "measurement sensors: " << meas << " (" << measGood << " good), coils: " << measCoils;
    std::string per;
    for (const auto& [n, c] : coilsPerSensor) per += (per.empty() ? "" : ", ") + std::to_string(c) + " with " + std::to_string(n);
    out << " (" << per << ")\n";
    out << "reference sensors: " << refs << ", coils: " << refCoils << "\n";
    out << "reference weights: " << withWeights << " measurement sensors carry " << weights << " weights on "
        << referenced.size() << " reference channel(s)\n";

    // The library's own view: the channel set and its dewar sphere.
    CMDataForwardkw data;
    if (data.initFwdChn(&array->recording, trial, 0, 1, 1) && data.pFwdChnl->updateDewarCnt()) {
        const CForwardChnlkw& c = *data.pFwdChnl;
        out << "forward channel set: " << c.numMeaSns << " measurement and " << c.numRefSns << " reference sensors in use\n";
        out << "dewar sphere: centre " << vec3(c.dewarSphere.center) << " mm, radius " << fmt("%.1f", c.dewarSphere.radius)
            << " mm (mean of the measurement sensors' first coils)\n";
        out << "first-coil box: " << vec3(c.coilBox.minCorner) << " .. " << vec3(c.coilBox.maxCorner) << " mm\n";
    } else {
        out << "forward channel set: could not be built\n";
    }
    const auto problems = reviewSensorArray(*array);
    if (problems.empty()) {
        out << "problems: none found\n";
    } else {
        out << "problems (" << problems.size() << "):\n";
        for (const auto& p : problems) out << "  - " << p << "\n";
    }
    return kExitOk;
}

int runPlot(const PlotArgs& a, std::ostream& stdOut) {
    std::ostream& out = reportStream(stdOut, a.quiet);
    const std::string metaPath = replaceExtension(a.input, ".json");
    std::error_code ec;
    const bool metaExists = std::filesystem::exists(metaPath, ec);
    refuseOutputsOverInputs({{a.input, "the array to plot"},
                             {metaExists ? metaPath : std::string(), "the array's metadata"},
                             {a.sensors, "--sensors"}},
                            {{a.out, "--out"}});
    const NpyArray arr = readNpy(a.input);
    json meta;
    bool haveMeta = false;
    if (metaExists) {
        meta = readJsonFile(metaPath);
        haveMeta = true;
    }
    PlotGeometry geo;
    if (!a.sensors.empty()) geo = geometryFromSensors(a.sensors, a.allChannels);
    else if (haveMeta) geo = geometryFromMeta(meta, metaPath);
    else throw InputError(a.input + ": no metadata file " + metaPath + " beside it; give the sensors with --sensors FILE");
    const std::string title = writeMap(arr.shape, arr.data, haveMeta ? &meta : nullptr, geo, a.source, a.component, a.out,
                                       std::filesystem::path(a.input).filename().string());
    out << "megfwd: wrote " << a.out << ": " << title << ", " << geo.positions.size() << " sensors\n";
    return kExitOk;
}

std::string programForHints(const std::string& argv0, const std::string& exe, const std::string& cwd) {
    namespace fs = std::filesystem;
    if (argv0.find('/') == std::string::npos || exe.empty()) return "megfwd";
    const fs::path program = fs::path(exe).lexically_normal();
    const fs::path rel = program.lexically_relative(fs::path(cwd).lexically_normal());
    std::string path;
    if (cwd.empty() || rel.empty() || *rel.begin() == "..") path = program.string();
    // A bare name would be looked up on the PATH, not in the directory.
    else path = rel.has_parent_path() ? rel.string() : "./" + rel.string();
    // Quoted for the shell when it holds anything but plain path characters.
    const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._+-", c) != nullptr;
    });
    if (plain) return path;
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string programForHints(const std::string& argv0) {
    std::error_code ec;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    const std::string cwd = std::filesystem::current_path(ec).string();
    return programForHints(argv0, exe, ec ? std::string() : cwd);
}

int runDemo(const DemoArgs& a, std::ostream& stdOut) {
    std::ostream& out = reportStream(stdOut, a.quiet);
    if (!a.writeSensors.empty()) {
        CMDTrialkw trial = demo::makeDefaultTrial();
        writeSensorArray(trial, a.writeSensors);
        out << "megfwd: wrote the embedded default system to " << a.writeSensors << " (" << trial.getTotalChannel()
            << " channels); edit it and use it with --sensors\n";
        return kExitOk;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(a.outDir, ec);
    if (ec || !fs::is_directory(a.outDir)) throw InputError(a.outDir + ": cannot create the output directory: " + ec.message());

    CMEGDatakw recording = demo::makeDefaultRecording(1);
    CMDTrialkw* trial = recording.getTrial(0);
    out << "megfwd demo: the embedded demonstration system\n";
    out << "recording: 1 trial, " << trial->getTotalChannel() << " channels\n";
    for (const auto& kc : demo::countChannelsByKind(*trial))
        out << "  " << fmt("%5.0f", kc.count) << "  kind " << fmt("%-4.0f", kc.kind) << " " << demo::kindName(kc.kind) << "\n";

    const double centre[3] = {0.0, 0.0, 0.0};
    CVirtSnsPOXlistkw list = demo::makeSphereSourceList(centre, 75.0, 7.0);
    CMDataForwardkw data;
    if (!data.initFwdChn(&recording, trial, 0, 1, 1)) throw ComputeError("the forward channel set could not be built");
    if (!data.initFwdPosVsp(&list)) throw ComputeError("the source positions could not be set");
    const CForwardChnlkw& c = *data.pFwdChnl;
    data.pFwdChnl->updateDewarCnt();
    out << "forward data manager: " << c.numMeaSns << " measurement sensors, " << c.numRefSns << " reference sensors, "
        << data.numSrc << " sources (7 mm grid inside a 75 mm sphere about the origin)\n";
    out << "dewar sphere: centre " << vec3(c.dewarSphere.center) << " mm, radius " << fmt("%.1f", c.dewarSphere.radius) << " mm\n";

    SourceSpec sources;
    sources.label = "7 mm grid inside a 75 mm sphere about the origin";
    for (const auto& e : list.entries) sources.positions.insert(sources.positions.end(), e.pos, e.pos + 3);
    LeadfieldRequest req;
    req.command = "demo";
    req.settings.orderCoilIntg = a.order;
    req.settings.si = true;  // T/(A*m), as leadfield and field give by default
    Progress progress(sources.count(), "sources", a.quiet);
    req.progress = progress.callback();
    const std::string npyPath = (fs::path(a.outDir) / "leadfield.npy").string();
    OutputPair output(npyPath);
    const SystemRef sys{&recording, trial, "embedded default system"};
    CMForwardkw defaults;
    out << "scan: " << sensorModelName(defaults.snsFwdModel) << " sensor model, formula " << formulaCode(defaults.coilFwdModel)
        << " (" << formulaDescription(defaults.coilFwdModel, false) << "), integration order " << a.order
        << ", reference correction on, sphere model Default\n";
    ForwardResult r = computeLeadfield(sys, sources, req);
    progress.finish();
    output.write(r);
    printWarnings(r, a.quiet);
    printSummary(r, "sources", out);

    // A map of the in-scan source with the strongest leadfield.
    std::size_t best = 0;
    double bestNorm = -1;
    const std::size_t per = r.values.size() / r.inScan.size();
    for (std::size_t i = 0; i < r.inScan.size(); ++i) {
        if (r.inScan[i] != 1) continue;
        double s = 0;
        for (std::size_t k = 0; k < per; ++k) s += r.values[i * per + k] * r.values[i * per + k];
        if (s > bestNorm) {
            bestNorm = s;
            best = i;
        }
    }
    const std::string csvPath = (fs::path(a.outDir) / "sources.csv").string();
    writeSourcesCsv(r, csvPath);
    const std::string svgPath = (fs::path(a.outDir) / "map.svg").string();
    PlotGeometry geo{r.sensorPositions, r.sensorNames};
    const std::string title = writeMap(r.shape, r.values, &r.meta, geo, static_cast<long long>(best), "", svgPath,
                                       "leadfield.npy");
    // One line per file, the descriptions aligned after the longest path.
    const std::pair<std::string, std::string> files[] = {
        {output.npyPath, "the leadfield, " + shapeText(r.shape) + " (sources x sensors x components), float64"},
        {output.jsonPath, "how it was made: sensors, sources, settings, units"},
        {csvPath, "the source positions (mm)"},
        {svgPath, title + " (open it in a browser)"}};
    std::size_t width = 0;
    for (const auto& f : files) width = std::max(width, f.first.size());
    out << "wrote:\n";
    for (const auto& f : files) out << "  " << f.first << std::string(width - f.first.size() + 2, ' ') << f.second << "\n";
    out << "try:\n";
    out << "  /usr/bin/python3 -c \"import numpy; a = numpy.load('" << output.npyPath << "'); print(a.shape)\"\n";
    out << "  " << a.program << " plot " << output.npyPath << " --source 0 --out source0.svg\n";
    return kExitOk;
}

namespace {

// The library's messages as the command line shows them. The library may
// send one message for every source (a source on a coil centre, inside the
// preparation's loops), so each text is shown once, and how often it came
// again is told at the end; past kMaxShownMessages different texts the rest
// are only counted. The handler may run on worker threads.
constexpr std::size_t kMaxShownMessages = 20;

struct MessageLog {
    std::mutex lock;
    bool answerYes = false;
    std::map<std::string, long long> counts;
    std::vector<std::string> order;  // texts in the order first seen
    long long unshown = 0;           // messages past kMaxShownMessages texts
};

MessageLog& messageLog() {
    static MessageLog log;
    return log;
}

}  // namespace

void reportRepeatedMessages() {
    MessageLog& log = messageLog();
    std::lock_guard<std::mutex> g(log.lock);
    for (const std::string& text : log.order) {
        const long long again = log.counts[text] - 1;
        if (again < 1) continue;
        const std::string shortText = text.size() > 60 ? text.substr(0, 57) + "..." : text;
        std::fprintf(stderr, "megfwd: (the message \"%s\" came %lld more time%s)\n", shortText.c_str(), again,
                     again == 1 ? "" : "s");
        log.counts[text] = 1;
    }
    if (log.unshown > 0)
        std::fprintf(stderr, "megfwd: (%lld more messages of other texts were not shown)\n", log.unshown);
    log.unshown = 0;
}

int runGuarded(const std::function<int()>& command) {
    auto fail = [](int code, const char* text) {
        reportRepeatedMessages();
        std::fprintf(stderr, "megfwd: %s\n", text);
        return code;
    };
    try {
        const int code = command();
        reportRepeatedMessages();
        return code;
    } catch (const InputError& e) {
        return fail(kExitBadInput, e.what());
    } catch (const ComputeError& e) {
        return fail(kExitFailure, e.what());
    } catch (const std::bad_alloc&) {
        return fail(kExitFailure, "out of memory");
    } catch (const std::exception& e) {
        return fail(kExitFailure, (std::string("internal error: ") + e.what()).c_str());
    }
}

void endProcess(int code) {
#if !defined(__SANITIZE_ADDRESS__)
    reportRepeatedMessages();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::_Exit(code);
#else
    (void)code;
#endif
}

void installMessageHandler(bool answerYes) {
    messageLog().answerYes = answerYes;
    setMessageBoxHandler([](const std::string& text, unsigned type) {
        MessageLog& log = messageLog();
        const bool yesNo = (type & 0xF) == MB_YESNO;
        std::lock_guard<std::mutex> g(log.lock);
        auto found = log.counts.find(text);
        if (found != log.counts.end()) {
            ++found->second;
        } else if (log.order.size() >= kMaxShownMessages) {
            ++log.unshown;
        } else {
            log.counts.emplace(text, 1);
            log.order.push_back(text);
            std::fprintf(stderr, "megfwd: %s\n", text.c_str());
            if (yesNo)
                std::fprintf(stderr, "megfwd: answered %s\n", log.answerYes ? "Yes (--yes)" : "No (--yes answers Yes)");
        }
        if (yesNo) return log.answerYes ? IDYES : IDNO;
        return IDOK;
    });
}

}  // namespace megfwd::io

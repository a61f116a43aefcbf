// The extension module megfwd._megfwd: a thin layer over the library's
// whole-computation API (forward_api/). Every check, default and unit change
// lives in the Python package (megfwd/forward.py) or in the library; this
// file converts arguments, releases the GIL around the computation and hands
// the result over without copying it.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "forward_api/Compute.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/ArrayMemory.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/PointSensors.h"
#include "forward_api/SensorArrayFile.h"
#include "forward_api/SensorPlan.h"
#include "dipole_fit/DipoleFit.h"
#include "dipole_fit/SourceForward.h"
#include "forward_api/SettingTable.h"
#include "forward_api/Settings.h"
#include "forward_api/Sources.h"
#include "host_interfaces/SourceSpace.h"
#include "tools/formats/SourceFile.h"
#include "forward_engine/FormulaTable.h"
#include "head_model/SingleShell.h"
#include "head_model/SourceSelection.h"
#include "host_interfaces/Afx.h"

namespace py = pybind11;
using namespace megfwd;

namespace {

// Library messages. The message-box handler is process-wide and runs on the
// scan's worker threads without the GIL, so messages are only collected
// here; the Python layer takes them after each call and turns them into
// warnings. Calls that run at the same time share the list.
std::mutex gMessageLock;
std::vector<std::string> gMessages;

void installMessageCollector() {
    setMessageBoxHandler([](const std::string& text, unsigned type) {
        std::lock_guard<std::mutex> lock(gMessageLock);
        gMessages.push_back(text);
        // The one Yes/No question (the anatomical stencil's coregistration
        // check) is answered No: nothing in the Python layer sets up an
        // anatomical volume, and No is the careful answer.
        return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
    });
}

std::vector<std::string> takeMessages() {
    std::lock_guard<std::mutex> lock(gMessageLock);
    std::vector<std::string> out;
    out.swap(gMessages);
    return out;
}

// A loaded sensor array: the recording the library computes on, which
// nothing changes once it is made, and the sensor plans kept for its
// leadfield calls (a call with the settings of a recent one skips the
// sensors' preparation).
struct Sensors {
    std::unique_ptr<SensorArray> array;
    std::shared_ptr<SensorPlanCache> plans = std::make_shared<SensorPlanCache>();
    SystemRef system() const { return {&array->recording, array->trial(), array->path, plans.get()}; }
};

// A system from arrays (megfwd/sensors.py builds and checks them): each
// array is converted to the library's type, copied only if it is not
// already a C-ordered array of that type.
template <typename T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
std::span<const T> spanOf(const Column<T>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

Sensors sensorsFromArrays(const std::string& name, const std::vector<std::string>& names, const Column<int>& kinds,
                          const Column<std::uint8_t>& good, const Column<double>& gains,
                          const Column<std::int64_t>& coilCounts, const Column<double>& positions,
                          const Column<double>& normals, const Column<double>& radii, const Column<int>& turns,
                          const Column<double>& weights, const Column<std::int64_t>& referenceCounts,
                          const Column<std::int64_t>& referenceChannels, const Column<double>& referenceWeights,
                          const std::string& unit) {
    SensorArrayColumns c;
    c.names = names;
    c.kinds = spanOf(kinds);
    c.good = spanOf(good);
    c.gains = spanOf(gains);
    c.coilCounts = spanOf(coilCounts);
    c.positions = spanOf(positions);
    c.normals = spanOf(normals);
    c.radii = spanOf(radii);
    c.turns = spanOf(turns);
    c.weights = spanOf(weights);
    c.referenceCounts = spanOf(referenceCounts);
    c.referenceChannels = spanOf(referenceChannels);
    c.referenceWeights = spanOf(referenceWeights);
    c.unit = unit;
    return Sensors{sensorArrayFromColumns(c, name)};
}

// Sensors made of weighted points (megfwd/mne.py, from MNE's coil
// definitions): one entry per sensor, per point (points in sensor order) and
// per reference weight, the library's type built from them and turned into
// its sensors by the library.
Sensors sensorsFromPoints(const std::string& name, const std::vector<std::string>& names, const Column<int>& kinds,
                          const Column<std::uint8_t>& reference, const Column<std::uint8_t>& good,
                          const Column<std::int64_t>& pointCounts, const Column<double>& positions,
                          const Column<double>& normals, const Column<double>& weights,
                          const Column<std::int64_t>& referenceCounts, const Column<std::int64_t>& referenceChannels,
                          const Column<double>& referenceWeights, const std::string& unit) {
    const std::size_t n = names.size();
    for (const auto* a : {&pointCounts, &referenceCounts})
        if (static_cast<std::size_t>(a->size()) != n) throw InputError(name + ": one count per sensor is needed");
    if (static_cast<std::size_t>(kinds.size()) != n || static_cast<std::size_t>(reference.size()) != n ||
        static_cast<std::size_t>(good.size()) != n)
        throw InputError(name + ": one kind, reference flag and good flag per sensor is needed");
    std::int64_t points = 0, refs = 0;
    for (std::size_t i = 0; i < n; ++i) points += pointCounts.data()[i], refs += referenceCounts.data()[i];
    if (positions.size() != 3 * points || normals.size() != 3 * points || weights.size() != points ||
        referenceChannels.size() != refs || referenceWeights.size() != refs)
        throw InputError(name + ": the point and reference arrays do not match the counts");
    std::vector<PointSensor> sensors(n);
    std::int64_t p = 0, r = 0;
    for (std::size_t i = 0; i < n; ++i) {
        PointSensor& s = sensors[i];
        s.name = names[i];
        s.kind = kinds.data()[i];
        s.reference = reference.data()[i] != 0;
        s.good = good.data()[i] != 0;
        const std::int64_t np = pointCounts.data()[i], nr = referenceCounts.data()[i];
        if (np < 0 || nr < 0) throw InputError(name + ": a negative count");
        s.positions.assign(positions.data() + 3 * p, positions.data() + 3 * (p + np));
        s.normals.assign(normals.data() + 3 * p, normals.data() + 3 * (p + np));
        s.weights.assign(weights.data() + p, weights.data() + p + np);
        for (std::int64_t k = r; k < r + nr; ++k)
            s.references.emplace_back(referenceChannels.data()[k], referenceWeights.data()[k]);
        p += np, r += nr;
    }
    return Sensors{pointSensorArray(sensors, name, unit)};
}

// The library's settings from their member names (forward.py maps the
// Python keywords to them through setting_keywords); an unknown name is a
// ValueError.
SettingOverrides overridesFrom(const py::dict& settings) {
    SettingOverrides o;
    for (const auto& item : settings) {
        const std::string key = py::cast<std::string>(item.first);
        const py::handle v = item.second;
        if (key == "si") o.si = py::cast<bool>(v);
        else if (key == "goodChannelsOnly") o.goodChannelsOnly = py::cast<bool>(v);
        else if (key == "localSpheres") {
            // A local-sphere table as the file's JSON text (mm), checked by
            // the library's reader.
            const std::string text = py::cast<std::string>(v);
            o.localSpheres = std::make_shared<const head::LocalSpheres>(
                localSpheresFromJson(parseJsonText(text, "local_spheres"), "local_spheres"));
        } else if (const SettingRow* row = findSetting(key); row && row->overrideWhole) {
            o.*row->overrideWhole = py::cast<int>(v);
        } else if (row && row->overrideNumber) {
            o.*row->overrideNumber = py::cast<double>(v);
        } else if (row && row->overrideSphere) {
            o.*row->overrideSphere = Sphere::fromArray(py::cast<std::array<double, 4>>(v));
        } else {
            throw InputError("unknown setting '" + key + "'");
        }
    }
    return o;
}

// The caller's progress function, called with the GIL from the scan's
// threads. False (or an exception, kept to be raised after the call)
// cancels the computation.
struct PythonProgress {
    py::object fn;
    std::optional<py::error_already_set> error;

    ProgressFn callback() {
        if (fn.is_none()) return {};
        return [this](std::int64_t done, std::int64_t total) {
            py::gil_scoped_acquire gil;
            if (error) return false;
            try {
                const py::object r = fn(done, total);
                return !(py::isinstance<py::bool_>(r) && !py::cast<bool>(r));
            } catch (py::error_already_set& e) {
                error = std::move(e);
                return false;
            }
        };
    }
    // Raises what the callback raised; called with the GIL.
    void rethrow() {
        if (error) {
            py::error_already_set e = std::move(*error);
            error.reset();
            throw e;
        }
    }
};

// The values as a NumPy array that owns them: the vector moves into a
// capsule, so a leadfield is never copied and outlives every C++ object.
py::array_t<double> ownedArray(std::vector<double>&& values, const std::vector<std::int64_t>& shape) {
    auto* owned = new std::vector<double>(std::move(values));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    std::vector<py::ssize_t> dims(shape.begin(), shape.end());
    return py::array_t<double>(dims, owned->data(), owner);
}

// Memory from takeArrayMemory, which Python's array gives back when freed.
struct GiveBackArrayMemory {
    void operator()(double* p) const { giveBackArrayMemory(p); }
};
using ArrayMemory = std::unique_ptr<double[], GiveBackArrayMemory>;

// The same for a buffer the fast route wrote into.
py::array_t<double> ownedArray(ArrayMemory&& values, const std::vector<std::int64_t>& shape) {
    double* owned = values.release();
    py::capsule owner(owned, [](void* p) { giveBackArrayMemory(p); });
    std::vector<py::ssize_t> dims(shape.begin(), shape.end());
    return py::array_t<double>(dims, owned, owner);
}

py::array_t<bool> maskArray(const std::vector<int>& inScan) {
    py::array_t<bool> mask(static_cast<py::ssize_t>(inScan.size()));
    auto m = mask.mutable_unchecked<1>();
    for (std::size_t i = 0; i < inScan.size(); ++i) m(static_cast<py::ssize_t>(i)) = inScan[i] == 1;
    return mask;
}

// Rows of a C-contiguous float64 array (checked by the Python layer).
std::vector<double> rowsOf(const py::array_t<double, py::array::c_style | py::array::forcecast>& a, py::ssize_t cols) {
    if (a.ndim() != 2 || a.shape(1) != cols)
        throw InputError("expected an array of shape (n, " + std::to_string(cols) + ")");
    return std::vector<double>(a.data(), a.data() + a.size());
}

// (values, in-scan mask, library messages and warnings, notes, metadata or
// None)
// A checked single-shell model (surface in mm, options).
struct Shell {
    std::shared_ptr<const head::SingleShell> model;
};

// A surface from the Python layer's arrays (vertices in mm, triangles
// 0-based or none), checked by the library's one surface check.
head::Surface surfaceOf(const py::array_t<double, py::array::c_style | py::array::forcecast>& vertices,
                        const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>* triangles,
                        const std::string& label) {
    head::Surface surface;
    surface.label = label;
    surface.vertices = rowsOf(vertices, 3);
    if (triangles) {
        if (triangles->ndim() != 2 || triangles->shape(1) != 3) throw InputError("triangles must have shape (m, 3)");
        surface.triangles.resize(static_cast<std::size_t>(triangles->size()));
        for (std::size_t k = 0; k < surface.triangles.size(); ++k)
            surface.triangles[k] = head::vertexIndex(static_cast<double>(triangles->data()[k]),
                                                     static_cast<std::int64_t>(k / 3), surface.numVertices(), label);
    }
    head::checkSurface(surface);
    return surface;
}

Shell makeShell(const py::array_t<double, py::array::c_style | py::array::forcecast>& verticesMm,
                const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& triangles, int order,
                const std::string& fit, const std::optional<std::array<double, 3>>& centreMm, const std::string& label) {
    head::Surface surface = surfaceOf(verticesMm, &triangles, label);
    head::ShellOptions o;
    o.order = order;
    o.fit = head::parseShellFit(fit, "fit");
    o.centre = centreMm;
    return Shell{std::make_shared<const head::SingleShell>(head::SingleShell::make(std::move(surface), o))};
}

// A closed surface, checked, ready to select sources against (positions
// and distances in any one unit).
struct Selection {
    std::shared_ptr<const head::SurfaceQueries> queries;
};

Selection makeSelection(const py::array_t<double, py::array::c_style | py::array::forcecast>& vertices,
                        const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& triangles,
                        const std::string& label) {
    const head::Surface surface = head::checkClosedSurface(surfaceOf(vertices, &triangles, label));
    return Selection{std::make_shared<const head::SurfaceQueries>(surface)};
}

// The status of each point (0 kept, 1 outside, 2 closer than min_distance
// to a vertex).
py::array_t<std::uint8_t> selectPoints(const Selection& s,
                                       const py::array_t<double, py::array::c_style | py::array::forcecast>& points,
                                       double minDistance) {
    const std::vector<double> p = rowsOf(points, 3);
    head::SourceSelection selection;
    {
        py::gil_scoped_release release;  // the points are copied, the queries read-only
        selection = s.queries->select(p.data(), static_cast<std::int64_t>(p.size() / 3), minDistance);
    }
    py::array_t<std::uint8_t> out(static_cast<py::ssize_t>(selection.status.size()));
    std::transform(selection.status.begin(), selection.status.end(), out.mutable_data(),
                   [](head::SourceStatus v) { return static_cast<std::uint8_t>(v); });
    return out;
}

std::shared_ptr<const head::SingleShell> shellOf(const py::object& shell) {
    return shell.is_none() ? nullptr : shell.cast<const Shell&>().model;
}

py::tuple resultTuple(ForwardResult& r, bool withMeta, ArrayMemory&& written = nullptr) {
    std::vector<std::string> warnings = takeMessages();
    warnings.insert(warnings.end(), r.warnings.begin(), r.warnings.end());
    py::object meta = py::none();
    if (withMeta) meta = py::str(r.meta.dump());
    py::array_t<double> values = r.valuesInSink ? ownedArray(std::move(written), r.shape)
                                                : ownedArray(std::move(r.values), r.shape);
    return py::make_tuple(values, maskArray(r.inScan), warnings, r.notes, meta);
}

// The request of one Python call: settings, threads (0: every core), the
// single shell if any, and progress through p, which must outlive it.
LeadfieldRequest requestOf(const py::dict& settings, const char* command, int threads, const py::object& shell,
                           PythonProgress& p) {
    LeadfieldRequest req;
    req.settings = overridesFrom(settings);
    req.threads = threads;
    req.command = command;
    req.singleShell = shellOf(shell);
    req.progress = p.callback();
    return req;
}

SourceSpec sourcesOf(const py::array_t<double, py::array::c_style | py::array::forcecast>& positionsMm,
                     const std::string& label) {
    SourceSpec src;
    src.positions = rowsOf(positionsMm, 3);
    src.label = label;
    return src;
}

// Runs a computation without the GIL (its inputs are copied and it touches
// no Python object); an exception the progress callback raised wins.
template <class Compute>
ForwardResult withoutGil(PythonProgress& p, Compute&& compute) {
    try {
        py::gil_scoped_release release;
        return compute();
    } catch (...) {
        p.rethrow();
        throw;
    }
}

py::tuple leadfield(const Sensors& s, const py::array_t<double, py::array::c_style | py::array::forcecast>& sourcesMm,
                    const py::dict& settings, int threads, const py::object& progress, bool withMeta,
                    const std::string& label, bool sensorMajor, const py::object& shell) {
    const SourceSpec src = sourcesOf(sourcesMm, label);
    PythonProgress p{progress, std::nullopt};
    LeadfieldRequest req = requestOf(settings, "python leadfield", threads, shell, p);
    req.layout = sensorMajor ? LeadfieldLayout::SensorMajor : LeadfieldLayout::SourceMajor;
    req.metadata = withMeta;
    // The fast route writes every value, so its array is taken without
    // filling it first (a vector would write each value twice, the first
    // time in one pass under the scan's lock), from memory that an earlier
    // result freed where there is some (ArrayMemory.h).
    ArrayMemory written;
    req.output.allocate = [&written](const std::vector<std::int64_t>& shape) -> double* {
        std::size_t n = 1;
        for (auto d : shape) n *= static_cast<std::size_t>(d);
        written.reset(static_cast<double*>(takeArrayMemory(n * sizeof(double))));
        if (!written) throw ComputeError("not enough memory for the leadfield array");
        return written.get();
    };
    req.output.description = "the returned NumPy array, written in place";
    req.output.inMemory = true;
    ForwardResult r = withoutGil(p, [&] { return computeLeadfield(s.system(), src, req); });
    return resultTuple(r, withMeta, std::move(written));
}

py::tuple field(const Sensors& s, const py::array_t<double, py::array::c_style | py::array::forcecast>& dipolesMm,
                const py::dict& settings, const py::object& progress, bool withMeta, const std::string& label,
                const py::object& shell) {
    const std::vector<double> dipoles = rowsOf(dipolesMm, 6);
    PythonProgress p{progress, std::nullopt};
    const LeadfieldRequest req = requestOf(settings, "python field", 0, shell, p);
    ForwardResult r = withoutGil(p, [&] { return computeField(s.system(), dipoles, label, req); });
    return resultTuple(r, withMeta);
}

// Leadfield gradients, (sources, sensors, 3, 3) per mm of source position.
py::tuple leadfieldGradient(const Sensors& s,
                            const py::array_t<double, py::array::c_style | py::array::forcecast>& sourcesMm,
                            const py::dict& settings, int threads, const py::object& progress, bool withMeta,
                            const std::string& label, const py::object& shell) {
    const SourceSpec src = sourcesOf(sourcesMm, label);
    PythonProgress p{progress, std::nullopt};
    LeadfieldRequest req = requestOf(settings, "python leadfield_gradient", threads, shell, p);
    req.metadata = withMeta;
    ForwardResult r = withoutGil(p, [&] { return dipole::computeLeadfieldGradient(s.system(), src, req); });
    return resultTuple(r, withMeta);
}

// One dipole per time point. data: (channels, times) in T; whitener:
// (k, channels); guesses: (n, 3) mm or empty for the region's grid. Returns
// positions (mm), moments, GOF, khi2, nfree, confidence limits, the fitted
// field (channels, times), iterations and the guesses used.
py::tuple fitDipole(const Sensors& s, const py::array_t<double, py::array::c_style | py::array::forcecast>& data,
                    const py::array_t<double, py::array::c_style | py::array::forcecast>& whitener,
                    const py::dict& settings, const py::object& shell, const std::array<double, 3>& centreMm,
                    double radiusMm, double minDistMm,
                    const py::array_t<double, py::array::c_style | py::array::forcecast>& guessesMm,
                    double guessGridMm, double guessMinDistMm, double guessExcludeMm, int rank, int threads,
                    const py::object& progress) {
    if (data.ndim() != 2 || whitener.ndim() != 2 || whitener.shape(1) != data.shape(0))
        throw InputError("data must be (channels, times) and the whitener (k, channels)");
    const std::int64_t nch = data.shape(0), T = data.shape(1), k = whitener.shape(0);
    const std::vector<double> d(data.data(), data.data() + data.size());
    const std::vector<double> w(whitener.data(), whitener.data() + whitener.size());
    std::vector<double> guesses = guessesMm.size() ? rowsOf(guessesMm, 3) : std::vector<double>{};
    const auto model = shellOf(shell);
    const SettingOverrides o = overridesFrom(settings);
    PythonProgress p{progress, std::nullopt};
    dipole::FitOptions opt;
    opt.guessGrid = guessGridMm, opt.guessMinDist = guessMinDistMm, opt.guessExclude = guessExcludeMm;
    opt.rank = rank, opt.threads = std::max(1, threads);
    // Ctrl-C: Python's signal handlers run on the main thread, which fits
    // time points too; after each one it looks for a pending signal.
    const ProgressFn user = p.callback();
    bool interrupted = false;
    opt.progress = [&](std::int64_t done, std::int64_t total) {
        {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) {
                interrupted = true;
                return false;
            }
        }
        return user ? user(done, total) : true;
    };
    std::vector<dipole::DipoleFitResult> res;
    std::vector<double> predicted(static_cast<std::size_t>(nch * T));
    try {
        py::gil_scoped_release release;
        dipole::SourceForward fwd(s.system(), o, model, opt.threads);
        if (fwd.numSensors() != nch)
            throw InputError("data has " + std::to_string(nch) + " channels but the sensors have " +
                             std::to_string(fwd.numSensors()) + " measurement channels");
        dipole::FitRegion region;
        region.centre = centreMm, region.radius = radiusMm, region.minDist = minDistMm;
        if (model) region.surface = &model->surface;
        if (guesses.empty()) guesses = dipole::guessGrid(region, opt);
        res = dipole::fitDipoles(fwd, w.data(), k, d.data(), T, guesses, region, opt, predicted.data());
    } catch (...) {
        if (interrupted) throw py::error_already_set();  // the KeyboardInterrupt
        p.rethrow();
        throw;
    }
    std::vector<double> pos, mom, gof, khi2, conf;
    std::vector<std::int64_t> nfree, iters;
    for (const auto& r : res) {
        pos.insert(pos.end(), r.position.begin(), r.position.end());
        mom.insert(mom.end(), r.moment.begin(), r.moment.end());
        conf.insert(conf.end(), r.confidence.begin(), r.confidence.end());
        gof.push_back(r.gof), khi2.push_back(r.khi2), nfree.push_back(r.nfree), iters.push_back(r.iterations);
    }
    return py::make_tuple(ownedArray(std::move(pos), {T, 3}), ownedArray(std::move(mom), {T, 3}),
                          ownedArray(std::move(gof), {T}), ownedArray(std::move(khi2), {T}), py::cast(nfree),
                          ownedArray(std::move(conf), {T, 6}), ownedArray(std::move(predicted), {nch, T}),
                          py::cast(iters), ownedArray(std::move(guesses), {static_cast<std::int64_t>(guesses.size() / 3), 3}),
                          takeMessages());
}

std::vector<head::Point3> pointsOf(const py::array_t<double, py::array::c_style | py::array::forcecast>& a) {
    const std::vector<double> flat = rowsOf(a, 3);
    std::vector<head::Point3> out(flat.size() / 3);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = {flat[3 * i], flat[3 * i + 1], flat[3 * i + 2]};
    return out;
}

// One sphere per measurement sensor, as the local-sphere file's JSON text
// (mm): the Python class reads it back, so the file and the class cannot
// disagree.
std::string fitLocalSpheres(const Sensors& s, const py::array_t<double, py::array::c_style | py::array::forcecast>& pointsMm,
                            const std::optional<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>& triangles,
                            const std::string& method, double radiusMm, int minPoints, double maxRadiusMm,
                            const std::string& label, bool goodOnly) {
    const head::Surface surface = surfaceOf(pointsMm, triangles ? &*triangles : nullptr, label);
    head::LocalSphereOptions o;
    o.method = head::parseMethod(method);
    o.radius = radiusMm, o.minPoints = minPoints, o.maxRadius = maxRadiusMm;
    const std::vector<head::SensorSite> sites = sensorSites(*s.array->trial(), goodOnly);
    head::LocalSpheres table;
    {
        py::gil_scoped_release release;
        table = head::fitLocalSpheres(surface, sites, o);
    }
    return localSpheresToJson(table).dump();
}


// Source rows and grids by the command line's own rules, so that
// megfwd.dask reads a file or a --grid as the megfwd program does.
void bindReaders(py::module_& m) {
    m.def("read_rows", [](const std::string& path, int columns) {
        std::vector<double> rows = io::readRows(path, columns);
        const std::int64_t n = static_cast<std::int64_t>(rows.size()) / columns;
        return ownedArray(std::move(rows), {n, columns});
    }, py::arg("path"), py::arg("columns"));
    m.def("grid_points", [](const std::string& text) {
        const GridSpec box = parseGridSpec(text);
        const double count = gridPointCount(box);
        checkMemory(count * 3 * sizeof(double), "--grid \"" + text + "\": " + exactNumber(count) + " points");
        CGrid3D grid(box.minCorner, box.maxCorner, box.step);
        std::vector<double> points(static_cast<std::size_t>(grid.numPoints) * 3);
        for (std::int64_t i = 0; i < grid.numPoints; ++i) grid.getPoint(i, points.data() + 3 * i);
        return ownedArray(std::move(points), {grid.numPoints, 3});
    }, py::arg("text"));
}

// The names of settings and formulas, from the library's tables.
void bindTables(py::module_& m) {
    m.def("parse_formula", &parseFormula, py::arg("text"), py::arg("magnetic"));
    m.def("parse_sensor_model", &parseSensorModel);
    m.attr("INTEGRATION_ORDERS") = py::tuple(py::cast(std::vector<int>(kIntegrationOrders.begin(), kIntegrationOrders.end())));
    // Python keyword -> the library's member name, from the setting table.
    m.def("setting_keywords", [] {
        py::dict out;
        for (const SettingRow& row : settingRows())
            if (row.pythonKeyword) out[row.pythonKeyword] = row.member;
        return out;
    });
    // The formula table: per code, its name and the descriptive names that
    // select it, for current dipoles and for magnetic sources.
    m.def("formula_names", [](bool magnetic) {
        py::list out;
        for (const FormulaRow& row : magnetic ? magneticFormulas() : currentDipoleFormulas()) {
            py::list aliases;
            for (const char* alias : row.aliases)
                if (alias) aliases.append(alias);
            out.append(py::make_tuple(row.code, row.name, aliases));
        }
        return out;
    });
}

}  // namespace

PYBIND11_MODULE(_megfwd, m) {
    m.doc() = "megfwd's C++ library: sensor arrays and whole forward computations (use the megfwd package)";
    m.attr("__version__") = MEGFWD_VERSION;
    installMessageCollector();

    py::register_exception<InputError>(m, "InputError", PyExc_ValueError);
    py::register_exception<ComputeError>(m, "ComputeError", PyExc_RuntimeError);
    py::register_exception<Cancelled>(m, "Cancelled", PyExc_RuntimeError);

    py::class_<Sensors>(m, "Sensors")
        .def_static("from_file", [](const std::string& path) { return Sensors{loadSensorArray(path)}; })
        .def_static("from_text", [](const std::string& text, const std::string& name) {
            return Sensors{parseSensorArray(text, name)};
        })
        .def_static("from_arrays", &sensorsFromArrays, py::arg("name"), py::arg("names"), py::arg("kinds"),
                    py::arg("good"), py::arg("gains"), py::arg("coil_counts"), py::arg("positions"),
                    py::arg("normals"), py::arg("radii"), py::arg("turns"), py::arg("weights"),
                    py::arg("reference_counts"), py::arg("reference_channels"), py::arg("reference_weights"),
                    py::arg("unit"))
        .def_static("from_point_sensors", &sensorsFromPoints, py::arg("name"), py::arg("names"), py::arg("kinds"),
                    py::arg("reference"), py::arg("good"), py::arg("point_counts"), py::arg("positions"),
                    py::arg("normals"), py::arg("weights"), py::arg("reference_counts"), py::arg("reference_channels"),
                    py::arg("reference_weights"), py::arg("unit"))
        .def("text", [](const Sensors& s) { return sensorArrayText(*s.array->trial()); })
        .def("write", [](const Sensors& s, const std::string& path) { writeSensorArray(*s.array->trial(), path); })
        .def_property_readonly("label", [](const Sensors& s) { return s.array->path; })
        .def_property_readonly("notes", [](const Sensors& s) { return s.array->notes; })
        .def("channels", [](const Sensors& s) {
            // (name, kind, good, first-coil position in mm or None) per channel
            py::list out;
            CMDTrialkw* t = s.array->trial();
            for (int i = 0; i < t->getTotalChannel(); ++i) {
                CMDChannelkw* ch = t->getChannel(i);
                py::object pos = py::none();
                if (ch->pMEGSns && ch->isMEGChannel() && ch->pMEGSns->getCoil(0)) {
                    const double* p = ch->pMEGSns->getCoil(0)->coilPos;
                    pos = py::make_tuple(p[0], p[1], p[2]);
                }
                out.append(py::make_tuple(ch->chnlName, ch->snsKind, ch->isGood != 0, pos));
            }
            return out;
        })
        .def("leadfield_shape", [](const Sensors& s, py::ssize_t numSources, const py::dict& settings) {
            SourceSpec src;
            src.positions.assign(static_cast<std::size_t>(numSources) * 3, 0.0);
            LeadfieldRequest req;
            req.settings = overridesFrom(settings);
            return leadfieldShape(s.system(), src, req);
        });

    // The single shell's order: the library's default and largest.
    m.attr("SHELL_DEFAULT_ORDER") = head::kDefaultShellOrder;
    m.attr("SHELL_AUTO_ORDER") = head::kAutoShellOrder;
    m.attr("SHELL_MAX_ORDER") = head::kMaxHarmonicOrder;
    py::class_<Shell>(m, "SingleShell")
        .def(py::init(&makeShell), py::arg("vertices_mm"), py::arg("triangles"), py::arg("order"), py::arg("fit"),
             py::arg("centre_mm"), py::arg("label"))
        .def_property_readonly("was_turned", [](const Shell& s) { return s.model->wasTurned; })
        .def_property_readonly("order", [](const Shell& s) { return s.model->options.order; })
        .def_property_readonly("centre_mm", [](const Shell& s) { return s.model->centre(); })
        .def_property_readonly("triangles", [](const Shell& s) {
            // As checked: wound outward.
            const auto& t = s.model->surface.triangles;
            py::array_t<std::int64_t> a({static_cast<py::ssize_t>(t.size() / 3), py::ssize_t{3}});
            std::copy(t.begin(), t.end(), a.mutable_data());
            return a;
        });

    m.def("leadfield", &leadfield, py::arg("sensors"), py::arg("sources_mm"), py::arg("settings"),
          py::arg("threads"), py::arg("progress"), py::arg("with_meta"), py::arg("label"),
          py::arg("sensor_major") = false, py::arg("shell") = py::none());
    m.def("field", &field, py::arg("sensors"), py::arg("dipoles_mm"), py::arg("settings"), py::arg("progress"),
          py::arg("with_meta"), py::arg("label"), py::arg("shell") = py::none());
    m.def("leadfield_gradient", &leadfieldGradient, py::arg("sensors"), py::arg("sources_mm"), py::arg("settings"),
          py::arg("threads"), py::arg("progress"), py::arg("with_meta"), py::arg("label"),
          py::arg("shell") = py::none());
    m.def("fit_dipole", &fitDipole, py::arg("sensors"), py::arg("data"), py::arg("whitener"), py::arg("settings"),
          py::arg("shell"), py::arg("centre_mm"), py::arg("radius_mm"), py::arg("min_dist_mm"), py::arg("guesses_mm"),
          py::arg("guess_grid_mm"), py::arg("guess_min_dist_mm"), py::arg("guess_exclude_mm"), py::arg("rank"),
          py::arg("threads"), py::arg("progress"));
    py::class_<Selection>(m, "SurfaceSelection")
        .def(py::init(&makeSelection), py::arg("vertices"), py::arg("triangles"), py::arg("label"))
        .def("select", &selectPoints, py::arg("points"), py::arg("min_distance"));
    m.def("take_messages", &takeMessages);
    m.def("fit_sphere", [](const py::array_t<double, py::array::c_style | py::array::forcecast>& pointsMm) {
        const head::SphereFit f = head::fitSphere(pointsOf(pointsMm));
        return py::make_tuple(py::make_tuple(f.centre[0], f.centre[1], f.centre[2]), f.radius, f.rms);
    });
    m.def("fit_local_spheres", &fitLocalSpheres, py::arg("sensors"), py::arg("points_mm"), py::arg("triangles"),
          py::arg("method"), py::arg("radius_mm"), py::arg("min_points"), py::arg("max_radius_mm"),
          py::arg("label"), py::arg("good_only"));
    // A local-sphere file's JSON text, checked and in the library's form (mm).
    m.def("local_spheres_text", [](const std::string& text, const std::string& name) {
        return localSpheresToJson(localSpheresFromJson(parseJsonText(text, name), name)).dump();
    });
    m.def("read_local_spheres", [](const std::string& path) { return localSpheresToJson(loadLocalSpheres(path)).dump(); });
    m.def("write_local_spheres", [](const std::string& text, const std::string& path) {
        writeLocalSpheres(localSpheresFromJson(parseJsonText(text, path), path), path);
    });
    bindReaders(m);
    bindTables(m);
}

#include "Gateway.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <future>
#include <memory>
#include <new>
#include <set>

#include "PointGain.h"
#include "SensorTables.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "head_model/LocalSpheres.h"
#include "head_model/SingleShell.h"
#include "head_model/SphereFit.h"

// The build passes the version as a bare token (-DMEGFWD_VERSION_TOKEN=0.1.0):
// quotes do not survive the shells that mkoctfile and mex run.
#define MEGFWD_STRINGIFY2(x) #x
#define MEGFWD_STRINGIFY(x) MEGFWD_STRINGIFY2(x)
#if defined(MEGFWD_VERSION_TOKEN)
#define MEGFWD_TOOLBOX_VERSION MEGFWD_STRINGIFY(MEGFWD_VERSION_TOKEN)
#else
#define MEGFWD_TOOLBOX_VERSION "unknown"
#endif

namespace megfwd::toolbox {
namespace {

// How often the caller's thread asks whether the user pressed Ctrl-C while
// a computation runs.
constexpr std::chrono::milliseconds kInterruptPoll{20};

// A call that does not fit its command: a fault of the .m code, not of the
// user's data.
struct Usage {
    std::string text;
};

const Arg& arg(const std::vector<Arg>& args, std::size_t i, const char* name) {
    if (i >= args.size()) throw Usage{std::string("argument '") + name + "' is missing"};
    return args[i];
}

const double* doubles(const Arg& a, const char* name) {
    if (a.kind != Arg::Kind::Doubles)
        throw Usage{std::string(name) + " must be a full real double array, not " +
                    (a.kind == Arg::Kind::Text ? std::string("text") : a.what)};
    return a.data;
}

// A rows x cols array (-1: any number).
const double* shaped(const Arg& a, const char* name, std::int64_t rows, std::int64_t cols) {
    const double* p = doubles(a, name);
    if ((rows >= 0 && a.rows != rows) || (cols >= 0 && a.cols != cols))
        throw Usage{std::string(name) + " is " + std::to_string(a.rows) + " x " + std::to_string(a.cols) +
                    ", expected " + (rows >= 0 ? std::to_string(rows) : std::string("n")) + " x " +
                    (cols >= 0 ? std::to_string(cols) : std::string("n"))};
    return p;
}

double scalar(const Arg& a, const char* name) { return shaped(a, name, 1, 1)[0]; }

std::int64_t whole(const Arg& a, const char* name, double low, double high) {
    const double v = scalar(a, name);
    if (!(v >= low && v <= high && v == std::floor(v)))
        throw Usage{std::string(name) + " is " + exactNumber(v) + "; a whole number from " + exactNumber(low) +
                    " to " + exactNumber(high) + " is needed"};
    return static_cast<std::int64_t>(v);
}

const std::string& text(const Arg& a, const char* name) {
    if (a.kind != Arg::Kind::Text) throw Usage{std::string(name) + " must be a character row"};
    return a.text;
}

std::vector<std::string> lines(const std::string& joined) {
    std::vector<std::string> out;
    for (std::size_t b = 0;;) {
        const std::size_t e = joined.find('\n', b);
        out.push_back(joined.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (e == std::string::npos) break;
        b = e + 1;
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) {
        if (p.find('\n') != std::string::npos)
            throw InputError("'" + p + "': a name with a line break cannot be passed to Octave or MATLAB here");
        out += (out.empty() ? "" : "\n") + p;
    }
    return out;
}

// The name-value options after a command's fixed arguments.
struct Options {
    std::vector<std::pair<std::string, const Arg*>> given;
    const Arg* find(const char* name) const {
        for (const auto& [n, a] : given)
            if (n == name) return a;
        return nullptr;
    }
};

Options options(const std::vector<Arg>& args, std::size_t first, std::initializer_list<const char*> known) {
    Options o;
    if ((args.size() - first) % 2 != 0) throw Usage{"options come in name, value pairs"};
    for (std::size_t i = first; i < args.size(); i += 2) {
        const std::string& name = text(args[i], "an option's name");
        if (std::find_if(known.begin(), known.end(), [&](const char* k) { return name == k; }) == known.end())
            throw Usage{"unknown option '" + name + "'"};
        o.given.emplace_back(name, &args[i + 1]);
    }
    return o;
}

// Runs fn on its own thread while this thread asks interruptPending every
// kInterruptPoll; when it says yes, `cancel` asks the computation to stop.
template <class Fn>
void runInterruptible(Fn fn, std::atomic<bool>& cancel, const std::function<bool()>& interruptPending) {
    std::future<void> done = std::async(std::launch::async, fn);
    while (done.wait_for(kInterruptPoll) != std::future_status::ready)
        if (!cancel.load() && interruptPending && interruptPending()) cancel.store(true);
    done.get();
}

// --- the single shell

// No order given: the library chooses it from the surface's triangles.
int shellOrder(const Arg* a) {
    if (!a || a->numel() == 0) return head::kAutoShellOrder;
    const double v = scalar(*a, "order");
    if (!(v >= 0 && v <= head::kMaxHarmonicOrder && v == std::floor(v)))
        throw GatewayError{"megfwd:order", "the single shell's order is " + exactNumber(v) + "; 0 to " +
                                               std::to_string(head::kMaxHarmonicOrder) + " is taken"};
    return static_cast<int>(v);
}

head::ShellFit shellFit(const Arg* a) {
    if (!a) return head::ShellFit::Galerkin;
    try {
        return head::parseShellFit(text(*a, "fit"), "the single shell's fit");
    } catch (const InputError& e) {
        throw GatewayError{"megfwd:option", e.what()};
    }
}

// A surface from MATLAB's arrays: vertices n x 3 and triangles m x 3 of
// 1-based vertex numbers (or none), column-major, checked by the library's
// one surface check with MATLAB's numbering in its messages.
head::Surface surfaceOf(const Arg& vertices, const Arg* triangles, const std::string& label) {
    head::Surface s;
    s.label = label;
    const double* v = shaped(vertices, "surface vertices", -1, 3);
    for (std::int64_t i = 0; i < vertices.rows; ++i)
        for (int k = 0; k < 3; ++k) s.vertices.push_back(v[i + vertices.rows * k]);
    if (triangles) {
        const double* t = shaped(*triangles, "triangles", -1, 3);
        for (std::int64_t i = 0; i < triangles->rows; ++i)
            for (int k = 0; k < 3; ++k)
                s.triangles.push_back(head::vertexIndex(t[i + triangles->rows * k], i, vertices.rows, label, 1));
    }
    head::checkSurface(s, 1);
    return s;
}

// The checked surface: an order its triangles cannot carry is
// "megfwd:order", anything else wrong with the surface "megfwd:surface".
head::SingleShell makeShell(const Arg& vertices, const Arg& triangles, int order, head::ShellFit fit) {
    head::Surface s;
    try {
        s = surfaceOf(vertices, &triangles, "the inner-skull surface");
    } catch (const InputError& e) {
        throw GatewayError{"megfwd:surface", e.what()};
    }
    if (order != head::kAutoShellOrder && triangles.rows < head::minTrianglesForOrder(order))
        throw GatewayError{"megfwd:order", "the single shell's order " + std::to_string(order) + " needs " +
                                               std::to_string(head::minTrianglesForOrder(order)) +
                                               " triangles or more; the surface has " + std::to_string(triangles.rows)};
    head::ShellOptions o;
    o.order = order;
    o.fit = fit;
    try {
        return head::SingleShell::make(std::move(s), o);
    } catch (const InputError& e) {
        throw GatewayError{"megfwd:surface", e.what()};
    }
}

// --- gain and leadfield

// Sources where the field formula has no value and gives 0, named by the
// caller's numbers (`number`): at a sphere's centre (for that sphere's
// coils) or on a coil point.
void reportDegenerate(const PointGainInput& in, const std::vector<std::int64_t>& number,
                      std::vector<GatewayWarning>& warnings) {
    using Key = std::array<double, 3>;
    auto rowOf = [](const double* a, std::int64_t rows, std::int64_t i) { return Key{a[i], a[i + rows], a[i + 2 * rows]}; };
    std::set<Key> centres, points;
    for (std::int64_t i = 0; i < in.numSpheres; ++i) centres.insert(rowOf(in.spheres, in.numSpheres, i));
    for (std::int64_t i = 0; i < in.numPoints; ++i) points.insert(rowOf(in.points, in.numPoints, i));
    std::int64_t atCentre = 0, onCoil = 0, firstCentre = 0, firstCoil = 0;
    for (std::int64_t s = 0; s < in.numSources; ++s) {
        const Key k = rowOf(in.sources, in.numSources, s);
        if (centres.count(k) && atCentre++ == 0) firstCentre = number[static_cast<std::size_t>(s)];
        if (points.count(k) && onCoil++ == 0) firstCoil = number[static_cast<std::size_t>(s)];
    }
    if (atCentre)
        warnings.push_back({"megfwd:sourceAtCentre",
                            std::to_string(atCentre) + " source(s) at a sphere centre (the first is source " +
                                std::to_string(firstCentre) + "): the field of the coils of that sphere is 0 there"});
    if (onCoil)
        warnings.push_back({"megfwd:sourceOnCoil", std::to_string(onCoil) +
                                                       " source(s) on a coil point (the first is source " +
                                                       std::to_string(firstCoil) +
                                                       "): the formula has no value there and gives 0"});
}

void gain(const std::vector<Arg>& args, Results& out, bool cells, const std::function<bool()>& interruptPending,
          std::vector<GatewayWarning>& warnings) {
    if (args.size() < 11) throw Usage{"'gain' and 'leadfield' take 10 arguments and options"};
    PointGainInput in;
    in.points = shaped(args[1], "points", -1, 3);
    in.numPoints = args[1].rows;
    in.normals = shaped(args[2], "normals", in.numPoints, 3);
    in.spheres = shaped(args[3], "spheres", -1, 4);
    in.numSpheres = args[3].rows;
    in.numWeights = args[4].numel();
    in.weightRows = doubles(args[4], "rows");
    in.weightCols = doubles(args[5], "cols");
    in.weights = doubles(args[6], "weights");
    if (args[5].numel() != in.numWeights || args[6].numel() != in.numWeights)
        throw Usage{"rows, cols and weights must have as many elements"};
    in.numChannels = whole(args[7], "numChannels", 1, 1e9);
    in.outputRows = doubles(args[8], "outputRows");
    in.numOutputs = args[8].numel();
    in.sources = shaped(args[9], "sources", -1, 3);
    in.numSources = args[9].rows;
    in.threads = static_cast<int>(whole(args[10], "threads", 0, 4096));
    const Options o = options(args, 11, {"surface", "triangles", "order", "fit", "names", "inside", "positions"});
    if (const Arg* names = o.find("names")) in.channelNames = lines(text(*names, "names"));
    const Arg* surface = o.find("surface");
    const Arg* triangles = o.find("triangles");
    if ((surface == nullptr) != (triangles == nullptr)) throw Usage{"'surface' and 'triangles' go together"};
    if (surface)
        in.shell = std::make_shared<const head::SingleShell>(
            makeShell(*surface, *triangles, shellOrder(o.find("order")), shellFit(o.find("fit"))));

    std::vector<double*> blocks(static_cast<std::size_t>(in.numSources));
    std::vector<std::int64_t> number(static_cast<std::size_t>(in.numSources));  // the caller's, 1-based
    const std::int64_t per = 3 * in.numOutputs;
    if (!cells) {
        double* g = out.matrix(0, in.numOutputs, 3 * in.numSources);
        for (std::int64_t s = 0; s < in.numSources; ++s)
            blocks[static_cast<std::size_t>(s)] = g + per * s, number[static_cast<std::size_t>(s)] = s + 1;
    } else {
        const Arg* inside = o.find("inside");
        const Arg* positions = o.find("positions");
        if (!inside || !positions) throw Usage{"'leadfield' needs the options 'inside' and 'positions'"};
        const std::int64_t count = whole(*positions, "positions", 0, 1e12);
        const double* idx = doubles(*inside, "inside");
        if (inside->numel() != in.numSources) throw Usage{"'inside' needs one index per source"};
        std::vector<char> filled(static_cast<std::size_t>(count), 0);
        std::vector<std::int64_t> where(static_cast<std::size_t>(in.numSources));
        for (std::int64_t s = 0; s < in.numSources; ++s) {
            const double v = idx[s];
            if (!(v >= 1 && v <= static_cast<double>(count) && v == std::floor(v)) ||
                filled[static_cast<std::size_t>(v) - 1])
                throw Usage{"inside(" + std::to_string(s + 1) + ") is " + exactNumber(v) +
                            "; distinct positions from 1 to " + std::to_string(count) + " are needed"};
            where[static_cast<std::size_t>(s)] = static_cast<std::int64_t>(v) - 1;
            number[static_cast<std::size_t>(s)] = static_cast<std::int64_t>(v);
            filled[static_cast<std::size_t>(v) - 1] = 1;
        }
        const std::vector<double*> matrices = out.cells(0, count, in.numOutputs, 3, filled);
        for (std::int64_t s = 0; s < in.numSources; ++s)
            blocks[static_cast<std::size_t>(s)] = matrices[static_cast<std::size_t>(where[static_cast<std::size_t>(s)])];
    }
    reportDegenerate(in, number, warnings);
    std::atomic<bool> cancel{false};
    in.cancel = &cancel;
    std::vector<std::string> messages;
    try {
        runInterruptible([&] { pointGain(in, blocks.data(), messages); }, cancel, interruptPending);
    } catch (...) {
        for (std::string& m : messages) warnings.push_back({"megfwd:library", std::move(m)});
        throw;
    }
    for (std::string& m : messages) warnings.push_back({"megfwd:library", std::move(m)});
}

// --- head models fitted to a head

void checkSurface(const std::vector<Arg>& args, Results& out) {
    if (args.size() != 5) throw Usage{"'check_surface' takes the vertices, the triangles, the order and the fit"};
    const head::SingleShell shell = makeShell(args[1], args[2], shellOrder(&args[3]), shellFit(&args[4]));
    const std::int64_t n = shell.surface.numTriangles();
    double* t = out.matrix(0, n, 3);
    for (std::int64_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) t[i + n * k] = shell.surface.triangles[static_cast<std::size_t>(3 * i + k)] + 1.0;
    if (out.wanted > 1) {
        double* f = out.matrix(1, 1, 8);
        f[0] = shell.wasTurned ? 1.0 : 0.0;
        const std::array<double, 3> c = shell.centre();
        const std::array<double, 4> s = shell.fittedSphere().toArray();
        std::copy(c.begin(), c.end(), f + 1);
        std::copy(s.begin(), s.end(), f + 4);
    }
}

std::vector<head::Point3> pointRows(const Arg& a, const char* name) {
    const double* p = shaped(a, name, -1, 3);
    std::vector<head::Point3> out(static_cast<std::size_t>(a.rows));
    for (std::int64_t i = 0; i < a.rows; ++i) out[static_cast<std::size_t>(i)] = {p[i], p[i + a.rows], p[i + 2 * a.rows]};
    return out;
}

void fitSphere(const std::vector<Arg>& args, Results& out) {
    if (args.size() != 2) throw Usage{"'fit_sphere' takes the points"};
    const head::SphereFit f = head::fitSphere(pointRows(args[1], "points"));
    double* s = out.matrix(0, 1, 5);
    s[0] = f.centre[0], s[1] = f.centre[1], s[2] = f.centre[2], s[3] = f.radius, s[4] = f.rms;
}

void fitLocalSpheres(const std::vector<Arg>& args, Results& out) {
    if (args.size() != 10) throw Usage{"'fit_local_spheres' takes 9 arguments"};
    const head::Surface surface = surfaceOf(args[1], args[2].numel() > 0 ? &args[2] : nullptr, "the head shape");
    std::vector<head::SensorSite> sites;
    for (const std::string& n : lines(text(args[3], "names"))) sites.push_back({n, {}, false});
    const std::vector<head::Point3> coils = pointRows(args[4], "coils");
    const double* owner = shaped(args[5], "coilSensor", static_cast<std::int64_t>(coils.size()), 1);
    for (std::size_t i = 0; i < coils.size(); ++i) {
        const double v = owner[i];
        if (!(v >= 1 && v <= static_cast<double>(sites.size()) && v == std::floor(v)))
            throw Usage{"coilSensor(" + std::to_string(i + 1) + ") is " + exactNumber(v) + "; 1 to " +
                        std::to_string(sites.size()) + " is needed"};
        sites[static_cast<std::size_t>(v) - 1].coils.push_back(coils[i]);
    }
    head::LocalSphereOptions o;
    o.radius = scalar(args[6], "radius");
    o.minPoints = static_cast<int>(whole(args[7], "minPoints", 1, 1e9));
    o.maxRadius = scalar(args[8], "maxRadius");
    o.method = head::parseMethod(text(args[9], "method"));
    const head::LocalSpheres table = head::fitLocalSpheres(surface, sites, o);
    const std::int64_t n = static_cast<std::int64_t>(table.spheres.size());
    double* s = out.matrix(0, n, 4);
    std::vector<std::string> reasons;
    for (std::int64_t i = 0; i < n; ++i) {
        const head::LocalSphere& e = table.spheres[static_cast<std::size_t>(i)];
        const std::array<double, 4> xyzr = e.sphere.toArray();
        for (int k = 0; k < 4; ++k) s[i + n * k] = xyzr[static_cast<std::size_t>(k)];
        reasons.push_back(e.reason);
    }
    if (out.wanted > 1) {
        double* f = out.matrix(1, n, 1);
        for (std::int64_t i = 0; i < n; ++i)
            f[i] = table.spheres[static_cast<std::size_t>(i)].fallback == head::Fallback::None ? 0.0 : 1.0;
    }
    if (out.wanted > 2) out.text(2, joined(reasons));
    if (out.wanted > 3) {
        double* g = out.matrix(3, 1, 5);
        const std::array<double, 4> xyzr = table.globalSphere.toArray();
        std::copy(xyzr.begin(), xyzr.end(), g);
        g[4] = table.globalRms;
    }
}

// --- the sensor-array file

void tableResult(Results& out, int index, const std::vector<double>& values, std::int64_t cols) {
    const std::int64_t rows = cols > 0 ? static_cast<std::int64_t>(values.size()) / cols : 0;
    std::copy(values.begin(), values.end(), out.matrix(index, rows, cols));
}

std::vector<double> table(const Arg& a, const char* name, int cols) {
    const double* p = doubles(a, name);
    if (a.numel() > 0 && a.cols != cols)
        throw Usage{std::string(name) + " must have " + std::to_string(cols) + " columns"};
    return std::vector<double>(p, p + a.numel());
}

void readSensors(const std::vector<Arg>& args, Results& out) {
    if (args.size() != 2) throw Usage{"'read_sensors' takes a file name"};
    const SensorTables t = readSensorTables(text(args[1], "file"));
    out.text(0, joined(t.names));
    if (out.wanted > 1) tableResult(out, 1, t.channels, kChannelColumns);
    if (out.wanted > 2) tableResult(out, 2, t.coils, kCoilColumns);
    if (out.wanted > 3) tableResult(out, 3, t.references, kReferenceColumns);
}

void writeSensors(const std::vector<Arg>& args) {
    if (args.size() != 6) throw Usage{"'write_sensors' takes 5 arguments"};
    SensorTables t;
    const std::string& path = text(args[1], "file");
    t.names = lines(text(args[2], "names"));
    t.channels = table(args[3], "channels", kChannelColumns);
    t.coils = table(args[4], "coils", kCoilColumns);
    t.references = table(args[5], "refs", kReferenceColumns);
    writeSensorTables(t, path);
}

void dispatch(const std::vector<Arg>& args, Results& out, const std::function<bool()>& interruptPending,
              std::vector<GatewayWarning>& warnings) {
    const std::string& command = text(arg(args, 0, "command"), "the command");
    if (command == "gain" || command == "leadfield") return gain(args, out, command == "leadfield", interruptPending, warnings);
    if (command == "check_surface") return checkSurface(args, out);
    if (command == "fit_sphere") return fitSphere(args, out);
    if (command == "fit_local_spheres") return fitLocalSpheres(args, out);
    if (command == "shell_limits") {
        double* l = out.matrix(0, 1, 2);
        l[0] = head::kDefaultShellOrder, l[1] = head::kMaxHarmonicOrder;
        return;
    }
    if (command == "read_sensors") return readSensors(args, out);
    if (command == "write_sensors") return writeSensors(args);
    if (command == "version") return out.text(0, MEGFWD_TOOLBOX_VERSION);
    throw Usage{"unknown command '" + command + "'"};
}

}  // namespace

void runCommand(const std::vector<Arg>& args, Results& out, const std::function<bool()>& interruptPending,
                std::vector<GatewayWarning>& warnings) {
    try {
        dispatch(args, out, interruptPending, warnings);
    } catch (const Interrupted&) {
        throw;
    } catch (const GatewayError&) {
        throw;
    } catch (const Usage& e) {
        throw GatewayError{"megfwd:mexUsage", "megfwd_mex: " + e.text};
    } catch (const SensorInside& e) {
        throw GatewayError{"megfwd:sensorInside", e.text};
    } catch (const InputError& e) {
        throw GatewayError{"megfwd:input", e.what()};
    } catch (const ComputeError& e) {
        throw GatewayError{"megfwd:compute", e.what()};
    } catch (const std::bad_alloc&) {
        throw GatewayError{"megfwd:memory", "not enough memory for the computation"};
    } catch (const std::exception& e) {
        throw GatewayError{"megfwd:internal", std::string("unexpected error: ") + e.what()};
    } catch (...) {
        throw GatewayError{"megfwd:internal", "unexpected error of an unknown kind"};
    }
}

}  // namespace megfwd::toolbox

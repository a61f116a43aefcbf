// megfwd: the command-line program over the forward-modelling library. The
// options are defined here; the commands themselves live in the tools
// library (tools/commands) so that the tests can call them.
#include <CLI/CLI.hpp>

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/CommandHeap.h"
#include "tools/cli/ForwardOptions.h"
#include "tools/cli/ShellOptions.h"
#include "tools/cli/HelpFormatter.h"
#include "forward_api/AtomicFile.h"
#include "tools/commands/Commands.h"
#include "base/Errors.h"
#include "head_model/DenseAlgebra.h"
#include "tools/commands/DipoleCommand.h"

namespace {

const char* kLeadfieldExamples = R"HELP(
Sources:
  --grid xmin,ymin,zmin,xmax,ymax,zmax,step
      a box in mm (host axes), x slowest, z fastest
  --sources FILE
      a text file of x,y,z rows in mm (commas or blanks; '#' comments; an
      optional header line) or a NumPy .npy array of shape (n, 3)
Output: OUT.npy, float64 of shape (sources, sensors, components), and OUT.json
beside it with the sensor names, source positions, in-scan flags, every
setting, the units of the values and any warnings. No output may be one of
the run's input files. Both appear whole or not at all; --sync (an option of
megfwd itself, see megfwd --help) also waits until the disk holds them.
Units: the values are in T/(A*m) (SI). --library-scale gives the library's
own scale instead (mm and mu0/4pi = 1: values times 0.1 give T/(A*m)).

Examples:
  megfwd leadfield --sensors helmet.json --grid -60,-20,-60,60,80,60,10 \
                   --out lf.npy
  megfwd leadfield --sensors helmet.json --sources points.csv \
                   --library-scale --out lf_mm.npy
  megfwd leadfield --sensors helmet.json --sources points.npy \
                   --formula cuffin --order 3 --sphere 0,40,0,80 \
                   --tangential --no-ref --out lf2.npy
  python3 -c "import numpy; print(numpy.load('lf.npy').shape)"
)HELP";

const char* kFieldExamples = R"HELP(
Dipoles: a text file of rows x,y,z,qx,qy,qz (position in mm, host axes, and
moment) or a .npy array of shape (n, 6). Output: OUT.npy of shape (dipoles,
sensors) and OUT.json. With moments in A*m the values are in tesla (SI);
with --library-scale they are in 0.1 T.
The default formula here is ST01 (scalar Sarvas), whose field scales with the
moment; SV_NT04 would give the field of a unit moment along Q x r0 whatever
the size of Q.

Example:
  megfwd field --sensors helmet.json --dipoles dipoles.csv --out field.npy
)HELP";

const char* kInfoExamples = R"HELP(
Example:
  megfwd info --sensors helmet.json
)HELP";

const char* kPlotExamples = R"HELP(
A leadfield map: the sensor positions come from OUT.json beside the array
(written by leadfield, field and demo), or from --sensors FILE. Without
--component the component with the largest value is shown.
Local spheres: --spheres FILE --sensors FILE [--surface FILE] draws the
sensors, each one's sphere centre and the head points, from the front, the
left and above.

Examples:
  megfwd plot lf.npy --source 120 --out map.svg
  megfwd plot lf.npy --source 120 --component norm --out map_norm.svg
  megfwd plot --spheres spheres.json --sensors helmet.json --out spheres.svg
)HELP";

const char* kDemoExamples = R"HELP(
Builds the embedded demonstration system (275 axial gradiometers, 29
reference sensors), computes the leadfield of a 7 mm grid inside a 75 mm
sphere and writes leadfield.npy, leadfield.json, sources.csv and map.svg into
the output directory.

Examples:
  megfwd demo
  megfwd demo --out-dir /tmp/demo --quiet
  megfwd demo --write-sensors default-system.json   # a file to start from
)HELP";

const char* kSpheresExamples = R"HELP(
Surface (in the sensor-array file's frame):
  a FreeSurfer binary triangle surface (always mm), a NumPy .npy of vertices
  (n, 3) with an optional .npy of triangles (m, 3), or a text file of x,y,z
  head-shape points (commas or blanks, '#' comments)
Each measurement sensor gets a sphere fitted to the surface points within
--radius of its coil nearest the head ('nearby'), or a fit of all points
weighted by area / distance^4 to that coil, started from the nearby sphere
('weighted'). A sensor with fewer than --min-points
points, a fit larger than --max-radius or a sphere that reaches its coil
takes the global sphere (the fit to all points), as reference sensors do.
Output: a local-sphere file (JSON) for leadfield/field --local-spheres.

Examples:
  megfwd spheres --sensors helmet.json --surface inner_skull.surf \
                 --out spheres.json
  megfwd spheres --sensors helmet.json --surface headshape.csv \
                 --method weighted --radius 90 --out spheres.json
  megfwd leadfield --sensors helmet.json --grid -60,-20,-60,60,80,60,10 \
                   --local-spheres spheres.json --out lf.npy
  megfwd plot --spheres spheres.json --sensors helmet.json --out spheres.svg
)HELP";

const char* kDipoleExamples = R"HELP(
Data: DATA.npy, float64 (channels, times) in tesla, rows in the order of the
sensor-array file's good measurement channels. --noise-cov C.npy (channels,
channels) in T^2 whitens data and leadfields; without it every channel
counts alike. The dipoles stay inside the sphere (--sphere, or the scan
sphere of the sphere model), or inside the inner skull with --inner-skull,
--min-dist mm from its surface (nearest vertex); the fit starts from the
best node of a 20 mm guess grid.
Output: OUT.csv, one row per time point: time, position (mm, host axes),
moment (nA m), amplitude, GOF (%, on whitened data), khi2, degrees of
freedom, and 95 % confidence limits (volume mm^3; depth, long, trans mm;
qlong, qtrans nA m), as MNE-Python's Dipole defines them. The table is
printed as well. Ctrl-C stops the fit and writes nothing.

Examples:
  megfwd dipole --sensors helmet.json --data evoked.npy --sphere 0,40,0,90 \
                --noise-cov noise.npy --sfreq 1000 --tmin -0.1 --out dipoles.csv
  megfwd dipole --sensors helmet.json --data evoked.npy \
                --inner-skull inner_skull.surf --out dipoles.csv
)HELP";

const char* kCommands = "leadfield, field, dipole, spheres, info, plot and demo";

// A parse error as one line naming the option, the value and what is
// accepted; CLI11's own wording ("A subcommand is required", "The following
// argument was not expected") does not say what to do.
std::string parseErrorText(const CLI::ParseError& e, const CLI::App& app, int argc, char** argv) {
    const std::string what = e.what();
    std::vector<CLI::App*> parsed = app.get_subcommands();
    if (parsed.empty()) {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg.empty() || arg[0] != '-')
                return "unknown command '" + arg + "': the commands are " + kCommands;
        }
        if (dynamic_cast<const CLI::RequiredError*>(&e)) return std::string("no command given: the commands are ") + kCommands;
    }
    const std::string where = parsed.empty() ? std::string() : parsed.front()->get_name() + ": ";
    const CLI::App* cmd = parsed.empty() ? &app : parsed.front();
    // "--sensors FILE" and its description, to say what is expected.
    auto named = [&](const std::string& name, std::string& description) {
        try {
            const CLI::Option* o = cmd->get_option(name);
            description = o->get_description();
            if (!description.empty()) description[0] = static_cast<char>(std::tolower(description[0]));
            return o->get_type_name().empty() ? name : name + " " + o->get_type_name();
        } catch (const CLI::Error&) {
            return name;
        }
    };
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        const std::string args = what.substr(what.find(": ") + 2);
        const std::string first = args.substr(0, args.find(' '));
        if (!first.empty() && first[0] == '-') return where + "unknown option " + first;
        return where + "unexpected argument '" + first + "'";
    }
    std::string description;
    if (dynamic_cast<const CLI::RequiredError*>(&e)) {
        const auto at = what.find(" is required");
        if (at != std::string::npos) {
            const std::string option = named(what.substr(0, at), description);
            return where + option + " is required" + (description.empty() ? "" : ": " + description);
        }
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
        const std::string name = what.substr(0, what.find(':'));
        if (what.find("required") != std::string::npos && what.find("missing") != std::string::npos) {
            const std::string option = named(name, description);
            return where + name + " needs a value: " + option + (description.empty() ? "" : ", " + description);
        }
        if (what.find("flag override") != std::string::npos) return where + name + " takes no value";
    }
    return where + what;
}

const char* const kQuietHelp = "Print errors and warnings only: no progress, notes or report";

// Each command: its arguments as parsed, the options that are read when it
// runs, and its subcommand (set when it is added).
struct LeadfieldCommand {
    megfwd::io::LeadfieldArgs args;
    megfwd::cli::ForwardOptions forward;
    megfwd::cli::ShellOptions shell;
    std::string threads, dask;
    CLI::App* app = nullptr;
};

struct FieldCommand {
    megfwd::io::FieldArgs args;
    megfwd::cli::ForwardOptions forward;
    megfwd::cli::ShellOptions shell;
    CLI::App* app = nullptr;
};

struct DipoleCommand {
    megfwd::io::DipoleArgs args;
    megfwd::cli::ForwardOptions forward;
    megfwd::cli::ShellOptions shell;
    std::string minDist, sfreq, tmin, threads;
    CLI::App* app = nullptr;
};

struct PlotCommand {
    megfwd::io::PlotArgs map;
    megfwd::io::PlotSpheresArgs spheres;
    std::string source;
    CLI::App* app = nullptr;
};

struct SpheresCommand {
    megfwd::io::SpheresArgs args;
    std::string method, radius, minPoints, maxRadius;
    CLI::App* app = nullptr;
};

struct DemoCommand {
    megfwd::io::DemoArgs args;
    std::string order;
    CLI::App* app = nullptr;
};

CLI::App* addCommand(CLI::App& app, const char* name, const char* what) {
    CLI::App* cmd = app.add_subcommand(name, what);
    cmd->group("Commands");
    cmd->set_help_flag("-h,--help", "This help");
    return cmd;
}

void addLeadfield(CLI::App& app, LeadfieldCommand& c) {
    CLI::App* cmd = c.app = addCommand(app, "leadfield", "Leadfields of a source space for the sensors of a sensor-array file");
    megfwd::io::LeadfieldArgs& lf = c.args;
    cmd->add_option("--sensors", lf.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required()->group("Input and output");
    cmd->add_option("--grid", lf.grid, "Source grid xmin,ymin,zmin,xmax,ymax,zmax,step in mm")
        ->type_name("BOX")
        ->group("Input and output");
    cmd->add_option("--sources", lf.sources, "Source positions: text x,y,z rows in mm, or .npy (n, 3)")
        ->type_name("FILE")
        ->group("Input and output");
    cmd->add_option("--out", lf.out, "Output array OUT.npy (metadata in OUT.json)")
        ->type_name("OUT.npy")
        ->required()
        ->group("Input and output");
    cmd->add_flag("--quiet,-q", lf.quiet, kQuietHelp)->group("Input and output");
    cmd->add_flag("--lfx", lf.request.unitMomentScan,
                  "Compute the leadfield as field values of unit moments (gridDewarLfx)")->group("Forward model");
    c.forward.addTo(*cmd, true);
    c.shell.addTo(*cmd);
    cmd->add_flag("--rms", lf.request.rmsNormalise, "Divide all values by their root mean square (after the above)")
        ->group("Post-processing");
    cmd->add_option("--threads", c.threads, "Threads of the scan, 1 to 1024 (default: all cores)")
        ->type_name("N")
        ->group("Computation");
    cmd->add_flag("--out-of-core", lf.outOfCore,
                  "With --unit-lf or --rms, hand the pages of OUT.npy back to the system as they are written "
                  "instead of holding them until the end (chosen by itself when the array would take more than "
                  "half of the memory); without them values never stay in memory")
        ->group("Computation");
    cmd->add_flag("--record-scan", lf.request.recordScan,
                  "Scan record by record through the library's grid-scan chain instead of the fast path "
                  "(same numbers to rounding, single thread, more memory)")
        ->group("Computation");
    // Scans on a Dask cluster run from the Python package, which speaks
    // Dask's own protocol; this program does not embed Python, so it names
    // that command instead of failing with "unknown option".
    cmd->add_option("--dask", c.dask,
                    "Not run by this program: a scan on a Dask scheduler is '/usr/bin/python3 -m megfwd.dask "
                    "leadfield ... --scheduler ADDR'")
        ->type_name("ADDR")
        ->group("Computation");
    cmd->add_flag("--gradient", lf.gradient,
                  "Write the leadfields' derivatives in the source position instead: (sources, sensors, 3, 3), "
                  "component then d/dx, d/dy, d/dz, per metre (analytic)")
        ->group("Forward model");
    cmd->footer(kLeadfieldExamples);
}

int runLeadfield(LeadfieldCommand& c) {
    if (!c.dask.empty())
        throw megfwd::InputError("--dask " + c.dask +
                                 ": this program does not run scans on Dask; run /usr/bin/python3 -m "
                                 "megfwd.dask leadfield with the same options and --scheduler " + c.dask);
    if (!c.threads.empty())
        c.args.request.threads = static_cast<int>(megfwd::cli::wholeNumberOption("--threads", c.threads, 1, 1024, "of threads"));
    c.args.request.settings = c.forward.toOverrides();
    c.args.request.singleShell = c.shell.make();
    c.args.endProcess = true;
    return megfwd::io::runLeadfield(c.args, std::cout);
}

void addField(CLI::App& app, FieldCommand& c) {
    CLI::App* cmd = c.app = addCommand(app, "field", "Field values of given dipoles in the sensors of a sensor-array file");
    megfwd::io::FieldArgs& fd = c.args;
    cmd->add_option("--sensors", fd.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required()->group("Input and output");
    cmd->add_option("--dipoles", fd.dipoles, "Dipoles: text rows x,y,z,qx,qy,qz (mm, moment), or .npy (n, 6)")
        ->type_name("FILE")
        ->required()
        ->group("Input and output");
    cmd->add_option("--out", fd.out, "Output array OUT.npy (metadata in OUT.json)")
        ->type_name("OUT.npy")
        ->required()
        ->group("Input and output");
    cmd->add_flag("--quiet,-q", fd.quiet, kQuietHelp)->group("Input and output");
    c.forward.addTo(*cmd, false);
    c.shell.addTo(*cmd);
    cmd->footer(kFieldExamples);
}

int runField(FieldCommand& c) {
    c.args.request.settings = c.forward.toOverrides();
    c.args.request.singleShell = c.shell.make();
    c.args.endProcess = true;
    return megfwd::io::runField(c.args, std::cout);
}

void addDipole(CLI::App& app, DipoleCommand& c) {
    CLI::App* cmd = c.app = addCommand(app, "dipole", "One current dipole per time point of recorded data, fitted on "
                                                      "the leadfields of a sensor-array file");
    megfwd::io::DipoleArgs& dp = c.args;
    cmd->add_option("--sensors", dp.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required()
        ->group("Input and output");
    cmd->add_option("--data", dp.data, "Data (channels, times) in tesla (.npy)")->type_name("DATA.npy")->required()
        ->group("Input and output");
    cmd->add_option("--noise-cov", dp.noiseCov, "Noise covariance (channels, channels) in T^2 (.npy)")
        ->type_name("C.npy")
        ->group("Input and output");
    cmd->add_option("--out", dp.out, "Output table (CSV)")->type_name("OUT.csv")->required()->group("Input and output");
    cmd->add_option("--sfreq", c.sfreq, "Sampling frequency of the data in Hz, for the times (default 1)")
        ->type_name("HZ")
        ->group("Input and output");
    cmd->add_option("--tmin", c.tmin, "Time of the first sample in s (default 0)")->type_name("S")->group("Input and output");
    cmd->add_flag("--quiet,-q", dp.quiet, kQuietHelp)->group("Input and output");
    cmd->add_option("--min-dist", c.minDist, "Least distance of a dipole from the head model's surface, mm (default 5)")
        ->type_name("MM")
        ->group("Fit");
    cmd->add_option("--threads", c.threads, "Threads over time points, 1 to 1024 (default: all cores)")
        ->type_name("N")
        ->group("Fit");
    c.forward.addTo(*cmd, false);
    c.shell.addTo(*cmd);
    cmd->footer(kDipoleExamples);
}

int runDipole(DipoleCommand& c) {
    using megfwd::cli::numberOption;
    megfwd::io::DipoleArgs& dp = c.args;
    dp.request.settings = c.forward.toOverrides();
    dp.request.singleShell = c.shell.make();
    if (!c.minDist.empty()) dp.minDist = numberOption("--min-dist", c.minDist, 0.0, 1e3, "of millimetres");
    if (!c.sfreq.empty()) dp.sfreq = numberOption("--sfreq", c.sfreq, 1e-9, 1e12, "of Hz");
    if (!c.tmin.empty()) dp.tmin = numberOption("--tmin", c.tmin, -1e9, 1e9, "of seconds");
    if (!c.threads.empty())
        dp.threads = static_cast<int>(megfwd::cli::wholeNumberOption("--threads", c.threads, 1, 1024, "of threads"));
    return megfwd::io::runDipole(dp, std::cout);
}

CLI::App* addInfo(CLI::App& app, megfwd::io::InfoArgs& in) {
    CLI::App* cmd = addCommand(app, "info", "What a sensor-array file holds, and the problems found in it");
    cmd->add_option("--sensors", in.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required();
    cmd->footer(kInfoExamples);
    return cmd;
}

void addPlot(CLI::App& app, PlotCommand& c) {
    CLI::App* cmd = c.app = addCommand(app, "plot", "A topographic map (SVG) of one source's leadfield over the helmet");
    megfwd::io::PlotArgs& pl = c.map;
    cmd->add_option("array", pl.input, "Array written by leadfield, field or demo (.npy)")->type_name("ARRAY.npy");
    cmd->add_option("--source", c.source, "Source (or dipole) index, from 0")->type_name("INDEX");
    cmd->add_option("--component", pl.component, "Component index from 0, or 'norm' (default: the strongest)")
        ->type_name("INDEX");
    cmd->add_option("--out", pl.out, "Output map (.svg)")->type_name("MAP.svg")->required();
    cmd->add_option("--sensors", pl.sensors, "Sensor-array file for the positions (instead of the .json metadata)")
        ->type_name("FILE");
    cmd->add_flag("--all-channels", pl.allChannels, "With --sensors: the array was made with --all-channels");
    cmd->add_flag("--quiet,-q", pl.quiet, kQuietHelp);
    cmd->add_option("--spheres", c.spheres.spheres, "Draw a local-sphere file instead of a leadfield (needs --sensors)")
        ->type_name("FILE")
        ->group("Local spheres");
    cmd->add_option("--surface", c.spheres.surface, "With --spheres: head points to draw (as for 'spheres --surface')")
        ->type_name("FILE")
        ->group("Local spheres");
    cmd->add_option("--triangles", c.spheres.triangles, "With --surface .npy vertices: their triangles (.npy)")
        ->type_name("FILE")
        ->group("Local spheres");
    cmd->add_option("--surface-unit", c.spheres.surfaceUnit, "Unit of --surface: mm (default) or m")
        ->type_name("UNIT")
        ->group("Local spheres");
    cmd->footer(kPlotExamples);
}

// A leadfield map needs its array and source; a picture of local spheres
// needs neither.
void checkPlotArguments(const PlotCommand& c) {
    if (!*c.app || !c.spheres.spheres.empty()) return;
    if (c.map.input.empty()) throw CLI::RequiredError("array");
    if (c.source.empty()) throw CLI::RequiredError("--source");
}

int runPlot(PlotCommand& c) {
    if (!c.spheres.spheres.empty()) {
        c.spheres.sensors = c.map.sensors;
        c.spheres.out = c.map.out;
        c.spheres.quiet = c.map.quiet;
        return megfwd::io::runPlotSpheres(c.spheres, std::cout);
    }
    c.map.source = megfwd::cli::wholeNumberOption("--source", c.source, 0, LLONG_MAX, "(a source index)");
    return megfwd::io::runPlot(c.map, std::cout);
}

void addSpheres(CLI::App& app, SpheresCommand& c) {
    CLI::App* cmd = c.app =
        addCommand(app, "spheres", "Local spheres, one per sensor, fitted to a head surface or head-shape points");
    megfwd::io::SpheresArgs& sp = c.args;
    cmd->add_option("--sensors", sp.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required();
    cmd->add_option("--surface", sp.surface, "Head surface: FreeSurfer surface, .npy vertices (n, 3) or x,y,z text rows")
        ->type_name("FILE")
        ->required();
    cmd->add_option("--triangles", sp.triangles, "Triangles (m, 3) of .npy vertices, 0-based (.npy)")->type_name("FILE");
    cmd->add_option("--surface-unit", sp.surfaceUnit, "Unit of the surface: mm (default) or m; FreeSurfer surfaces are mm")
        ->type_name("UNIT");
    cmd->add_option("--method", c.method, "nearby (default) or weighted")->type_name("NAME");
    cmd->add_option("--radius", c.radius, "Points within this distance of a sensor are fitted (default 85 mm)")
        ->type_name("MM");
    cmd->add_option("--min-points", c.minPoints, "Fewer points: the global sphere (default 11)")->type_name("N");
    cmd->add_option("--max-radius", c.maxRadius, "A larger fitted sphere: the global sphere (default 200 mm)")
        ->type_name("MM");
    cmd->add_flag("--all-channels", sp.allChannels, "Fit spheres for bad channels too");
    cmd->add_option("--out", sp.out, "Local-sphere file to write (.json)")->type_name("OUT.json")->required();
    cmd->add_flag("--quiet,-q", sp.quiet, kQuietHelp);
    cmd->footer(kSpheresExamples);
}

int runSpheres(SpheresCommand& c) {
    using megfwd::cli::numberOption;
    using megfwd::cli::wholeNumberOption;
    megfwd::head::LocalSphereOptions& o = c.args.options;
    if (!c.method.empty()) o.method = megfwd::head::parseMethod(c.method);
    if (!c.radius.empty()) o.radius = numberOption("--radius", c.radius, 1e-3, 1e4, "of millimetres");
    if (!c.minPoints.empty())
        o.minPoints = static_cast<int>(wholeNumberOption("--min-points", c.minPoints, 4, 1000000000, "of points"));
    if (!c.maxRadius.empty()) o.maxRadius = numberOption("--max-radius", c.maxRadius, 1e-3, 1e6, "of millimetres");
    return megfwd::io::runSpheres(c.args, std::cout);
}

void addDemo(CLI::App& app, DemoCommand& c) {
    CLI::App* cmd = c.app =
        addCommand(app, "demo", "Build the embedded demonstration system, compute its leadfield and draw a map");
    cmd->add_option("--out-dir", c.args.outDir, "Output directory (default ./megfwd-demo-output)")->type_name("DIR");
    cmd->add_option("--write-sensors", c.args.writeSensors, "Only write the default system as a sensor-array file")
        ->type_name("FILE");
    cmd->add_option("--order", c.order, "Coil integration order 1, 2, 3, 4, 5 or 7 (default 2)")->type_name("N");
    cmd->add_flag("--quiet,-q", c.args.quiet, kQuietHelp);
    cmd->footer(kDemoExamples);
}

int runDemo(DemoCommand& c, const char* program) {
    if (!c.order.empty()) c.args.order = megfwd::cli::orderOption(c.order);
    c.args.program = megfwd::io::programForHints(program ? program : "");
    return megfwd::io::runDemo(c.args, std::cout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace megfwd;
    cli::prepareCommandHeap();
    // The scans run their own threads; OpenBLAS's idle pool would spin on
    // the second core for the length of a short command.
    head::endBlasThreadPool();
    CLI::App app{"megfwd: MEG forward models (leadfields) for spherical head models.\n"
                 "Exit codes: 0 success, 1 the computation failed, 2 bad input (nothing is written).",
                 "megfwd"};
    app.formatter(std::make_shared<cli::HelpFormatter>());
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("megfwd ") + MEGFWD_VERSION, "The program's version");
    app.set_help_flag("-h,--help", "This help; COMMAND --help for a command's options");
    bool yes = false;
    app.add_flag("--yes", yes,
                 "Answer Yes to the library's Yes/No question (whether to go on although MEG and MRI are not "
                 "coregistered); the default answer is No, which stops the computation");
    bool sync = false;
    app.add_flag("--sync", sync,
                 "Wait until the disk holds every output before the command ends (fsync), so that a power cut "
                 "right after it cannot take them; without it outputs are still written whole or not at all");

    LeadfieldCommand leadfield;
    FieldCommand field;
    DipoleCommand dipole;
    io::InfoArgs infoArgs;
    PlotCommand plot;
    SpheresCommand spheres;
    DemoCommand demo;
    addLeadfield(app, leadfield);
    addField(app, field);
    addDipole(app, dipole);
    CLI::App* info = addInfo(app, infoArgs);
    addPlot(app, plot);
    addSpheres(app, spheres);
    addDemo(app, demo);

    try {
        app.parse(argc, argv);
        checkPlotArguments(plot);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "megfwd: %s\n", parseErrorText(e, app, argc, argv).c_str());
        const std::vector<CLI::App*> parsed = app.get_subcommands();
        std::fprintf(stderr, "Run 'megfwd%s --help' for the options.\n",
                     parsed.empty() ? "" : (" " + parsed.front()->get_name()).c_str());
        return megfwd::io::kExitBadInput;
    }

    io::installMessageHandler(yes);
    setOutputsSynced(sync);
    megfwd::installInterruptCleanup();
    // A write past the file-size limit (ulimit -f) then fails with its error
    // instead of ending the process, so that it is reported and the
    // temporary file removed.
    std::signal(SIGXFSZ, SIG_IGN);
    return io::runGuarded([&]() -> int {
        if (*leadfield.app) return runLeadfield(leadfield);
        if (*field.app) return runField(field);
        if (*dipole.app) return runDipole(dipole);
        if (*info) return io::runInfo(infoArgs, std::cout);
        if (*spheres.app) return runSpheres(spheres);
        if (*plot.app) return runPlot(plot);
        return runDemo(demo, argc > 0 ? argv[0] : nullptr);
    });
}

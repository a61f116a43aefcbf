// megfwd: the command-line program over the forward-modelling library. The
// options are defined here; the commands themselves live in the tools
// library (tools/commands) so that the tests can call them.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "tools/cli/ForwardOptions.h"
#include "forward_api/AtomicFile.h"
#include "tools/commands/Commands.h"
#include "forward_api/Errors.h"

namespace {

const char* kLeadfieldExamples = R"HELP(
Sources:
  --grid xmin,ymin,zmin,xmax,ymax,zmax,step   a box in mm (host axes), x slowest, z fastest
  --sources FILE   a text file of x,y,z rows in mm (commas or blanks; '#' comments; an optional
                   header line) or a NumPy .npy array of shape (n, 3)
Output: OUT.npy, float64 of shape (sources, sensors, components), and OUT.json beside it with the
sensor names, source positions, in-scan flags, every setting and the units of the values.

Examples:
  megfwd leadfield --sensors helmet.json --grid -60,-20,-60,60,80,60,10 --out lf.npy
  megfwd leadfield --sensors helmet.json --sources points.csv --si --out lf_si.npy
  megfwd leadfield --sensors helmet.json --sources points.npy --formula cuffin --order 3 \
                   --sphere 0,40,0,80 --tangential --no-ref --out lf2.npy
  python3 -c "import numpy; print(numpy.load('lf.npy').shape)"
)HELP";

const char* kFieldExamples = R"HELP(
Dipoles: a text file of rows x,y,z,qx,qy,qz (position in mm, host axes, and moment) or a .npy array
of shape (n, 6). Output: OUT.npy of shape (dipoles, sensors) and OUT.json. With --si and moments in
A*m the values are in tesla. The default formula here is ST01 (scalar Sarvas), whose field scales
with the moment; SV_NT04 would give the field of a unit moment along Q x r0 whatever the size of Q.

Example:
  megfwd field --sensors helmet.json --dipoles dipoles.csv --si --out field.npy
)HELP";

const char* kInfoExamples = R"HELP(
Example:
  megfwd info --sensors helmet.json
)HELP";

const char* kPlotExamples = R"HELP(
The sensor positions come from OUT.json beside the array (written by leadfield, field and demo),
or from --sensors FILE. Without --component the component with the largest value is shown.

Examples:
  megfwd plot lf.npy --source 120 --out map.svg
  megfwd plot lf.npy --source 120 --component norm --out map_norm.svg
)HELP";

const char* kDemoExamples = R"HELP(
Builds the embedded demonstration system (275 axial gradiometers, 29 reference sensors), computes
the leadfield of a 7 mm grid inside a 75 mm sphere and writes leadfield.npy, leadfield.json,
sources.csv and map.svg into the output directory.

Examples:
  megfwd demo
  megfwd demo --out-dir /tmp/demo --quiet
  megfwd demo --write-sensors default-system.json     # a sensor-array file to start from
)HELP";

}  // namespace

int main(int argc, char** argv) {
    using namespace megfwd;
    CLI::App app{"megfwd: MEG forward models (leadfields) for spherical head models.\n"
                 "Exit codes: 0 success, 1 the computation failed, 2 bad input (nothing is written)."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("megfwd ") + MEGFWD_VERSION);
    bool yes = false;
    app.add_flag("--yes", yes,
                 "Answer Yes to the library's Yes/No question (whether to go on although MEG and MRI are not "
                 "coregistered); the default answer is No, which stops the computation");

    io::LeadfieldArgs lf;
    cli::ForwardOptions lfOpts;
    bool lfQuiet = false;
    auto* leadfield = app.add_subcommand("leadfield", "Leadfields of a source space for the sensors of a sensor-array file");
    leadfield->add_option("--sensors", lf.sensors, "Sensor-array file (JSON)")
        ->type_name("FILE")
        ->required()
        ->group("Input and output");
    leadfield->add_option("--grid", lf.grid, "Source grid xmin,ymin,zmin,xmax,ymax,zmax,step in mm")
        ->type_name("BOX")
        ->group("Input and output");
    leadfield->add_option("--sources", lf.sources, "Source positions: text x,y,z rows in mm, or .npy (n, 3)")
        ->type_name("FILE")
        ->group("Input and output");
    leadfield->add_option("--out", lf.out, "Output array OUT.npy (metadata in OUT.json)")
        ->type_name("OUT.npy")
        ->required()
        ->group("Input and output");
    leadfield->add_flag("--lfx", lf.request.unitMomentScan,
                        "Compute the leadfield as field values of unit moments (gridDewarLfx)")->group("Forward model");
    leadfield->add_flag("--quiet,-q", lfQuiet, "No progress display")->group("Input and output");
    lfOpts.addTo(*leadfield, true);
    leadfield->add_flag("--rms", lf.request.rmsNormalise, "Divide all values by their root mean square (after the above)")
        ->group("Post-processing");
    leadfield->add_option("--threads", lf.request.threads, "Threads of the scan (default: all cores)")
        ->check(CLI::PositiveNumber)
        ->group("Computation");
    leadfield->add_flag("--out-of-core", lf.outOfCore,
                        "Write the values into OUT.npy block by block as they are computed instead of holding them "
                        "in memory (chosen by itself when the array would take more than half of the memory)")
        ->group("Computation");
    leadfield->add_flag("--record-scan", lf.request.recordScan,
                        "Scan record by record through the library's grid-scan chain instead of the fast path "
                        "(same numbers to rounding, single thread, more memory)")
        ->group("Computation");
    leadfield->footer(kLeadfieldExamples);

    io::FieldArgs fd;
    cli::ForwardOptions fdOpts;
    bool fdQuiet = false;
    auto* field = app.add_subcommand("field", "Field values of given dipoles in the sensors of a sensor-array file");
    field->add_option("--sensors", fd.sensors, "Sensor-array file (JSON)")
        ->type_name("FILE")
        ->required()
        ->group("Input and output");
    field->add_option("--dipoles", fd.dipoles, "Dipoles: text rows x,y,z,qx,qy,qz (mm, moment), or .npy (n, 6)")
        ->type_name("FILE")
        ->required()->group("Input and output");
    field->add_option("--out", fd.out, "Output array OUT.npy (metadata in OUT.json)")
        ->type_name("OUT.npy")
        ->required()
        ->group("Input and output");
    field->add_flag("--quiet,-q", fdQuiet, "No progress display")->group("Input and output");
    fdOpts.addTo(*field, false);
    field->footer(kFieldExamples);

    io::InfoArgs in;
    auto* info = app.add_subcommand("info", "What a sensor-array file holds, and the problems found in it");
    info->add_option("--sensors", in.sensors, "Sensor-array file (JSON)")->type_name("FILE")->required();
    info->footer(kInfoExamples);

    io::PlotArgs pl;
    auto* plot = app.add_subcommand("plot", "A topographic map (SVG) of one source's leadfield over the helmet");
    plot->add_option("input", pl.input, "Array written by leadfield, field or demo (.npy)")->required();
    plot->add_option("--source", pl.source, "Source (or dipole) index, from 0")->required();
    plot->add_option("--component", pl.component, "Component index from 0, or 'norm' (default: the strongest)");
    plot->add_option("--out", pl.out, "Output map (.svg)")->required();
    plot->add_option("--sensors", pl.sensors, "Sensor-array file for the positions (instead of the .json metadata)");
    plot->add_flag("--all-channels", pl.allChannels, "With --sensors: the array was made with --all-channels");
    plot->footer(kPlotExamples);

    io::DemoArgs dm;
    auto* demo = app.add_subcommand("demo", "Build the embedded demonstration system, compute its leadfield and draw a map");
    demo->add_option("--out-dir", dm.outDir, "Output directory (default ./megfwd-demo-output)");
    demo->add_option("--write-sensors", dm.writeSensors, "Only write the default system as a sensor-array file");
    demo->add_option("--order", dm.order, "Coil integration order (default 2)");
    demo->add_flag("--quiet,-q", dm.quiet, "No progress display");
    demo->footer(kDemoExamples);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return megfwd::io::kExitBadInput;
    }

    io::installMessageHandler(yes);
    megfwd::installInterruptCleanup();
    return io::runGuarded([&]() -> int {
        if (*leadfield) {
            lf.request.settings = lfOpts.toOverrides();
            lf.quiet = lfQuiet;
            return io::runLeadfield(lf, std::cout);
        }
        if (*field) {
            fd.request.settings = fdOpts.toOverrides();
            fd.quiet = fdQuiet;
            return io::runField(fd, std::cout);
        }
        if (*info) return io::runInfo(in, std::cout);
        if (*plot) return io::runPlot(pl, std::cout);
        if (dm.order != 2) megfwd::parseOrder(dm.order);
        return io::runDemo(dm, std::cout);
    });
}

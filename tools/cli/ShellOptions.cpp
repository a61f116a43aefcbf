#include "tools/cli/ShellOptions.h"

#include "base/Errors.h"
#include "tools/cli/ForwardOptions.h"
#include "tools/formats/SurfaceFile.h"

namespace megfwd::cli {

void ShellOptions::addTo(CLI::App& app) {
    const std::string group = "Single-shell head model";
    app.add_option("--inner-skull", innerSkull,
                   "Inner-skull surface: a FreeSurfer surface (mm) or a .npy of vertices with "
                   "--inner-skull-triangles; the sphere's values are corrected for its shape")
        ->type_name("FILE")
        ->group(group);
    app.add_option("--inner-skull-triangles", triangles, "A .npy of the surface's triangles (0-based vertex indices)")
        ->type_name("FILE")
        ->group(group);
    app.add_option("--inner-skull-unit", unit, "Unit of a .npy surface: mm (default) or m")
        ->type_name("UNIT")
        ->group(group);
    app.add_option("--shell-order", order,
                   "Highest degree of the correction's expansion, 0 to " + std::to_string(head::kMaxHarmonicOrder) +
                       " (default " + std::to_string(head::kDefaultShellOrder) +
                       ", lowered to what the surface's triangles carry)")
        ->type_name("N")
        ->group(group);
    app.add_option("--shell-fit", fit, "galerkin (default: the energy fit) or lsq (the normal component)")
        ->type_name("NAME")
        ->group(group);
}

std::shared_ptr<const head::SingleShell> ShellOptions::make() const {
    if (innerSkull.empty()) {
        for (const auto& [value, name] : {std::pair{triangles, "--inner-skull-triangles"},
                                          std::pair{unit, "--inner-skull-unit"}, std::pair{order, "--shell-order"},
                                          std::pair{fit, "--shell-fit"}})
            if (!value.empty()) throw InputError(std::string(name) + " needs --inner-skull");
        return nullptr;
    }
    head::ShellOptions o;
    if (!order.empty())
        o.order = static_cast<int>(wholeNumberOption("--shell-order", order, 0, head::kMaxHarmonicOrder,
                                                     "from 0 to " + std::to_string(head::kMaxHarmonicOrder)));
    if (!fit.empty()) o.fit = head::parseShellFit(fit, "--shell-fit");
    io::SurfaceRead read = io::readSurface(innerSkull, triangles, unit);
    if (read.surface.triangles.empty())
        throw InputError("--inner-skull " + innerSkull + ": " + read.kind +
                         " without triangles; the single shell needs a closed triangulated surface");
    return std::make_shared<const head::SingleShell>(head::SingleShell::make(std::move(read.surface), o));
}

}  // namespace megfwd::cli

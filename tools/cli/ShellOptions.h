// The single-shell head model's command-line options, shared by the
// leadfield and field commands: the inner-skull surface and the fit.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

#include "head_model/SingleShell.h"

namespace megfwd::cli {

struct ShellOptions {
    std::string innerSkull, triangles, unit, order, fit;

    void addTo(CLI::App& app);
    // The checked model, or null without --inner-skull. InputErrors name the
    // option or the file: an unreadable or open surface, an order out of
    // range or too high for the surface, --shell-* without --inner-skull.
    std::shared_ptr<const head::SingleShell> make() const;
};

}  // namespace megfwd::cli

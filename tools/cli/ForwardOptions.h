// The forward settings as command-line options, shared by the leadfield and
// field commands.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "forward_api/Settings.h"

namespace megfwd::cli {

// Raw option values as the user typed them; converted (and checked) by
// toOverrides, whose errors are InputErrors.
struct ForwardOptions {
    std::string formula, sensorModel, tangentRule, sphereModel, sphere, coords, scanUnit;
    int order = 0;
    double mu4pi = 0, minCoilSphere = 0, minCoilSource = 0, minSourceSphere = 0;
    bool magnetic = false, si = false, tangential = false, unitLf = false, allChannels = false;
    bool ref = true, stencil = true, centre = true, restoreCoords = true, restoreUnit = true, gains = true;

    // The options that were given (CLI11 keeps the counts).
    CLI::Option *oOrder = nullptr, *oMu4pi = nullptr, *oMinCoilSphere = nullptr, *oMinCoilSource = nullptr,
                *oMinSourceSphere = nullptr, *oRef = nullptr, *oStencil = nullptr, *oCentre = nullptr,
                *oRestoreCoords = nullptr, *oRestoreUnit = nullptr, *oGains = nullptr;

    // `leadfield` adds the options that only make sense for leadfields
    // (tangential components, restores, unit leadfield).
    void addTo(CLI::App& app, bool leadfield);
    megfwd::SettingOverrides toOverrides() const;
};

}  // namespace megfwd::cli

// The forward settings as command-line options, shared by the leadfield and
// field commands, and the reading of numbers given on the command line.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "forward_api/Settings.h"

namespace megfwd::cli {

// Numbers given on the command line, read whole (no trailing characters)
// and checked against [min, max]. An InputError names the option, the value
// given and what is accepted ("--threads 0: expected a whole number of
// threads from 1 to 1024"); `what` completes "expected a whole number ..."
// or "expected a number ...".
long long wholeNumberOption(const std::string& option, const std::string& text, long long min, long long max,
                            const std::string& what);
double numberOption(const std::string& option, const std::string& text, double min, double max,
                    const std::string& what);
// --order: 1, 2, 3, 4, 5 or 7.
int orderOption(const std::string& text);

// Raw option values as the user typed them; converted (and checked) by
// toOverrides, whose errors are InputErrors.
struct ForwardOptions {
    std::string formula, sensorModel, tangentRule, sphereModel, sphere, coords, scanUnit;
    std::string order, mu4pi, minCoilSphere, minCoilSource, minSourceSphere;
    std::string localSpheres;  // --local-spheres FILE
    bool magnetic = false, si = false, libraryScale = false, tangential = false, unitLf = false, allChannels = false;
    bool ref = true, stencil = true, centre = true, restoreCoords = true, restoreUnit = true, gains = true;

    // The flags that were given (CLI11 keeps the counts).
    CLI::Option *oRef = nullptr, *oStencil = nullptr, *oCentre = nullptr, *oRestoreCoords = nullptr,
                *oRestoreUnit = nullptr, *oGains = nullptr;

    // Values are in SI units (the library's si setting) unless --library-scale,
    // --mu4pi or --scan-unit asks for a scale of the library's.
    // `leadfield` adds the options that only make sense for leadfields
    // (tangential components, restores, unit leadfield); its default formula
    // is the engine's (SV_NT04), the field command's is ST01.
    void addTo(CLI::App& app, bool leadfield);
    megfwd::SettingOverrides toOverrides() const;
};

}  // namespace megfwd::cli

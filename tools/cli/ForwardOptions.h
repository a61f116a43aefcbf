// The forward settings as command-line options, shared by the leadfield and
// field commands, and the reading of numbers given on the command line.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

#include "forward_api/SettingTable.h"
#include "forward_api/Settings.h"

namespace megfwd::cli {

// Numbers given on the command line (forward_api/SettingTable.h).
using megfwd::numberOption;
using megfwd::orderOption;
using megfwd::wholeNumberOption;

// The options of the library's settings come from the setting table (one
// per row with an option); the others choose units, head models and
// channels. Values are kept as the user typed them and converted (and
// checked) by toOverrides, whose errors are InputErrors.
struct ForwardOptions {
    std::string localSpheres;  // --local-spheres FILE
    bool si = false, libraryScale = false, allChannels = false;

    // Values are in SI units (the library's si setting) unless --library-scale,
    // --mu4pi or --scan-unit asks for a scale of the library's.
    // `leadfield` adds the options that only make sense for leadfields
    // (tangential components, restores, unit leadfield); its default formula
    // is the engine's (SV_NT04), the field command's is ST01.
    void addTo(CLI::App& app, bool leadfield);
    megfwd::SettingOverrides toOverrides() const;

private:
    // Per row of the setting table: the option (null when the command has
    // none), its text, and for a flag its value.
    std::vector<CLI::Option*> options;
    std::vector<std::string> texts;
    std::unique_ptr<bool[]> flags;

    bool given(const char* member) const;
    const std::string& text(const char* member) const;
};

}  // namespace megfwd::cli

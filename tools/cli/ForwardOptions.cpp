#include "tools/cli/ForwardOptions.h"

#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"

namespace megfwd::cli {
namespace {

constexpr int kStraightSarvasCode = 0;  // ST01, the field command's default

std::size_t rowIndex(const char* member) {
    const auto rows = settingRows();
    return static_cast<std::size_t>(findSetting(member) - rows.data());
}

}  // namespace

void ForwardOptions::addTo(CLI::App& app, bool leadfield) {
    const auto rows = settingRows();
    options.assign(rows.size(), nullptr);
    texts.assign(rows.size(), std::string());
    flags = std::make_unique<bool[]>(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SettingRow& row = rows[i];
        if (!row.cliOption || (row.leadfieldOnly && !leadfield)) continue;
        // A flag that can be turned off starts on, so that its "--no-" form
        // reads as false.
        flags[i] = std::string(row.cliOption).find('!') != std::string::npos;
        const std::string help =
            row.help ? row.help : formulaHelp(leadfield ? CMForwardkw().coilFwdModel : kStraightSarvasCode);
        if (row.cliValue)
            options[i] = app.add_option(row.cliOption, texts[i], help)->type_name(row.cliValue)->group(row.cliGroup);
        else
            options[i] = app.add_flag(row.cliOption, flags[i], help)->group(row.cliGroup);
    }
    app.add_flag("--si", si,
                 "SI values, the default: scan in metres with mu4pi 1e-7, so leadfields are in T/(A*m) (field values "
                 "in T for moments in A*m); not with --mu4pi, --scan-unit or --library-scale")
        ->group("Forward model");
    app.add_flag("--library-scale", libraryScale,
                 "Values in the library's own scale instead: scan in mm with mu4pi 1, so leadfields are in "
                 "0.1 T/(A*m) (field values in 0.1 T for moments in A*m)")
        ->group("Forward model");
    app.add_option("--local-spheres", localSpheres,
                   "One sphere per sensor from a local-sphere file (JSON, written by 'megfwd spheres'); the scan "
                   "sphere is their mean, three components per sensor")
        ->type_name("FILE")
        ->group("Head model");
    app.add_flag("--all-channels", allChannels, "Use the channels marked bad as well")->group("Preparation");
}

bool ForwardOptions::given(const char* member) const {
    const CLI::Option* o = options[rowIndex(member)];
    return o && o->count() > 0;
}

const std::string& ForwardOptions::text(const char* member) const { return texts[rowIndex(member)]; }

megfwd::SettingOverrides ForwardOptions::toOverrides() const {
    using namespace megfwd;
    SettingOverrides s;
    if (si && libraryScale) throw InputError("--si with --library-scale: give one of them");
    // SI unless the library's scale is asked for, by name or by a factor or
    // scan unit of the user's own.
    s.si = !libraryScale && !given("mu4PiRatio") && !given("spatUnit");
    if (si && given("mu4PiRatio"))
        throw InputError("--si with --mu4pi " + text("mu4PiRatio") +
                         ": --si sets mu4pi to 1e-7 itself; give one of them");
    if (si && given("spatUnit"))
        throw InputError("--si with --scan-unit " + text("spatUnit") + ": --si scans in metres itself; give one of them");
    s.goodChannelsOnly = !allChannels;
    const bool magnetic = given("isMagSrc");
    const auto rows = settingRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!options[i] || options[i]->count() == 0) continue;
        rows[i].parse(rows[i].cliValue ? texts[i] : std::string(flags[i] ? "1" : "0"), magnetic, s);
    }
    if (!localSpheres.empty()) {
        if (given("userSphere") || given("sphereModel"))
            throw InputError("--local-spheres with " + std::string(given("userSphere") ? "--sphere" : "--sphere-model") +
                             ": local spheres are the head model; give one of them");
        if (given("isTangLfd"))
            throw InputError("--local-spheres with --tangential: local spheres give x, y and z components");
        s.localSpheres = std::make_shared<const head::LocalSpheres>(loadLocalSpheres(localSpheres));
    }
    return s;
}

}  // namespace megfwd::cli

#include "forward_api/SettingTable.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/Sources.h"
#include "forward_engine/FormulaTable.h"
#include "base/DialogResources.h"

namespace megfwd {
namespace {

// The sphere-model codes whose names promise a head model that the library
// does not compute: it has spheres only.
constexpr int kBoundaryElementCode = 3;
constexpr int kFiniteElementCode = 4;
constexpr int kSingleSphereCode = 1;

int sphereModelOption(const std::string& text) {
    const int code = parseSphereModel(text);
    const std::string choose =
        "; choose default (the sphere about the dewar centre), single (the --sphere) or multiple (one local sphere "
        "per sensor)";
    if (code == kBoundaryElementCode)
        throw InputError("--sphere-model " + text +
                         ": no boundary-element model is computed (the library has spheres only: this code gives one "
                         "local sphere per sensor, as multiple does, with the --sphere sphere for the scan)" + choose);
    if (code == kFiniteElementCode)
        throw InputError("--sphere-model " + text +
                         ": no finite-element model is computed (the library has spheres only: this code computes "
                         "what default does)" + choose);
    return code;
}

Sphere sphereOption(const std::string& text) {
    const Sphere s = parseSphere(text);
    const std::string problem = positionProblem(s.centre.data());
    if (!problem.empty()) throw InputError("--sphere '" + text + "': the centre's " + problem);
    if (s.radius > kMaxRadiusMm)
        throw InputError("--sphere '" + text + "': the radius " + exactNumber(s.radius) + " mm is larger than " +
                         exactNumber(kMaxRadiusMm) + " mm (10 m)");
    return s;
}

double distanceOption(const char* option, const std::string& text) {
    return numberOption(option, text, 0.0, kMaxCoordinateMm, "of millimetres");
}

using O = SettingOverrides;
using T = SettingType;
using X = DialogExchange;

const char* const kModel = "Forward model";
const char* const kHead = "Head model";
const char* const kPrep = "Preparation";
const char* const kPost = "Post-processing";

// A flag's parse: "1" when given (or turned on), "0" when turned off.
template <std::optional<int> SettingOverrides::*slot>
void flag(const std::string& text, bool, O& o) {
    o.*slot = text == "1" ? 1 : 0;
}

// clang-format off
const SettingRow kRows[] = {
    {.member = "sphereModel", .type = T::Code, .managerWhole = &CMDataForward::sphereModel,
     .overrideWhole = &O::sphereModel, .nameKey = "sphere_model", .codeName = sphereModelName,
     .cliOption = "--sphere-model", .cliValue = "NAME", .cliGroup = kHead,
     .help = "default (the sphere about the dewar centre), single (the --sphere sphere) or multiple (one local "
             "sphere per sensor)",
     .parse = [](const std::string& t, bool, O& o) { o.sphereModel = sphereModelOption(t); },
     .dialogControl = IDC_RAD_SPHERE_DEFAULT, .exchange = X::Radio},
    {.member = "coordSystem", .type = T::Code, .managerWhole = &CMDataForward::coordSystem,
     .overrideWhole = &O::coordSystem, .nameKey = "coordinates", .codeName = coordSystemName,
     .cliOption = "--coords", .cliValue = "NAME", .cliGroup = kPrep,
     .help = "Axes of the scan: opengl (host axes, default), matlab, direct3d",
     .parse = [](const std::string& t, bool, O& o) { o.coordSystem = parseCoordSystem(t); },
     .dialogControl = IDC_RAD_COORD_OPENGL, .exchange = X::Radio},
    {.member = "coilFwdModel", .type = T::Code, .engineWhole = &CMForward::coilFwdModel,
     .overrideWhole = &O::coilFwdModel, .nameKey = "formula", .codeName = formulaCode,
     .cliOption = "--formula", .cliValue = "NAME", .cliGroup = kModel,
     .parse = [](const std::string& t, bool magnetic, O& o) { o.coilFwdModel = parseFormula(t, magnetic); },
     .pythonKeyword = "formula", .dialogControl = IDC_RAD_COIL_ST01, .exchange = X::Radio},
    {.member = "snsFwdModel", .type = T::Code, .engineWhole = &CMForward::snsFwdModel,
     .overrideWhole = &O::snsFwdModel, .nameKey = "sensor_model", .codeName = sensorModelName,
     .cliOption = "--sensor-model", .cliValue = "NAME", .cliGroup = kModel,
     .help = "Sensor forward model: ctf (default), standard, neuromag, bti, yokogawa",
     .parse = [](const std::string& t, bool, O& o) { o.snsFwdModel = parseSensorModel(t); },
     .pythonKeyword = "sensor_model", .dialogControl = IDC_RAD_SNS_STANDARD, .exchange = X::Radio},
    {.member = "isUseRefSns", .type = T::Flag, .engineWhole = &CMForward::isUseRefSns,
     .overrideWhole = &O::isUseRefSns, .cliOption = "--ref,!--no-ref", .cliGroup = kModel,
     .help = "Reference correction (synthetic gradiometers) on (default) or off; off also leaves the reference "
             "sensors out of the channel set",
     .parse = flag<&O::isUseRefSns>, .pythonKeyword = "refs", .dialogControl = IDC_CHK_USE_REF_SNS,
     .exchange = X::Check, .dialogStart = 1},
    {.member = "isTangLfd", .type = T::Flag, .managerWhole = &CMDataForward::isTangLfd,
     .overrideWhole = &O::isTangLfd, .cliOption = "--tangential", .cliGroup = kPrep,
     .help = "Two tangential components per sensor instead of x, y, z", .leadfieldOnly = true,
     .parse = flag<&O::isTangLfd>, .pythonKeyword = "tangential", .dialogControl = IDC_CHK_TANG_LFD,
     .exchange = X::Check},
    {.member = "orderCoilIntg", .type = T::Whole, .engineWhole = &CMForward::orderCoilIntg,
     .overrideWhole = &O::orderCoilIntg, .cliOption = "--order", .cliValue = "N", .cliGroup = kModel,
     .help = "Coil integration order 1, 2, 3, 4, 5 or 7 (default 2; CTF sensor model)",
     .parse = [](const std::string& t, bool, O& o) { o.orderCoilIntg = orderOption(t); },
     .pythonKeyword = "order", .dialogControl = IDC_EDT_INTG_ORDER, .exchange = X::WholeText,
     .dialogMin = 1, .dialogMax = 7},
    {.member = "isApplySnsGain", .type = T::Flag, .managerWhole = &CMDataForward::isApplySnsGain,
     .overrideWhole = &O::isApplySnsGain, .cliOption = "--gains,!--no-gains", .cliGroup = kPost,
     .help = "Change the sign of sensors whose gain is not positive (default on)",
     .parse = flag<&O::isApplySnsGain>, .dialogControl = IDC_CHK_SNS_GAIN, .exchange = X::Check},
    {.member = "minCoilSphDist", .type = T::Number, .managerNumber = &CMDataForward::minCoilSphDist,
     .overrideNumber = &O::minCoilSphDist, .cliOption = "--min-coil-sphere-dist", .cliValue = "MM",
     .cliGroup = kPrep, .help = "Distance of a local sphere's centre from its coil, mm (default 12)",
     .parse = [](const std::string& t, bool, O& o) { o.minCoilSphDist = distanceOption("--min-coil-sphere-dist", t); },
     .dialogControl = IDC_EDT_MIN_COIL_SPH, .exchange = X::NumberText},
    {.member = "minCoilSrcDist", .type = T::Number, .managerNumber = &CMDataForward::minCoilSrcDist,
     .overrideNumber = &O::minCoilSrcDist, .cliOption = "--min-coil-source-dist", .cliValue = "MM",
     .cliGroup = kPrep, .help = "Sources less deep than their nearest coil by this distance are left out, mm (default 16)",
     .parse = [](const std::string& t, bool, O& o) { o.minCoilSrcDist = distanceOption("--min-coil-source-dist", t); },
     .dialogControl = IDC_EDT_MIN_COIL_SRC, .exchange = X::NumberText},
    {.member = "userSphere", .type = T::Sphere, .managerSphere = &CMDataForward::userSphere,
     .overrideSphere = &O::userSphere, .cliOption = "--sphere", .cliValue = "X,Y,Z,R", .cliGroup = kHead,
     .help = "User sphere x,y,z,radius in mm (default 0,50,0,75); selects --sphere-model single unless another "
             "model is given",
     .parse = [](const std::string& t, bool, O& o) {
         o.userSphere = sphereOption(t);
         if (!o.sphereModel) o.sphereModel = kSingleSphereCode;
     },
     .pythonKeyword = "sphere", .dialogControl = IDC_EDT_SPHERE_X, .exchange = X::SphereText},
    {.member = "spatUnit", .type = T::Number, .managerNumber = &CMDataForward::spatUnit,
     .overrideNumber = &O::spatUnit, .cliOption = "--scan-unit", .cliValue = "UNIT", .cliGroup = kPrep,
     .help = "Spatial unit of the scan: mm, cm, dm, m, or a factor per millimetre; values are then in the "
             "library's scale with mu4pi 1 unless --mu4pi (default: SI values, a scan in metres)",
     .parse = [](const std::string& t, bool, O& o) {
         const double f = parseScanUnit(t);
         o.isUnit2Meter = f != 1.0 ? 1 : 0;
         o.spatUnit = f;
     },
     .dialogControl = IDC_EDT_SPAT_UNIT, .exchange = X::NumberText, .dialogStart = 1, .dialogPositive = true},
    {.member = "isFwdExpress", .type = T::Flag, .engineWhole = &CMForward::isFwdExpress,
     .dialogControl = IDC_CHK_FWD_EXPRESS, .exchange = X::Check},
    // Set by --scan-unit with the factor.
    {.member = "isUnit2Meter", .type = T::Flag, .managerWhole = &CMDataForward::isUnit2Meter,
     .overrideWhole = &O::isUnit2Meter, .dialogControl = IDC_CHK_UNIT2METER, .exchange = X::Check},
    {.member = "isCentralizedLf", .type = T::Flag, .managerWhole = &CMDataForward::isCentralizedLf,
     .overrideWhole = &O::isCentralizedLf, .cliOption = "--centre,!--no-centre", .cliGroup = kPrep,
     .help = "Shift everything to the sphere centre before the scan (default on)",
     .parse = flag<&O::isCentralizedLf>, .dialogControl = IDC_CHK_CENTRALIZED_LF, .exchange = X::Check},
    {.member = "minSrcSphDist", .type = T::Number, .managerNumber = &CMDataForward::minSrcSphDist,
     .overrideNumber = &O::minSrcSphDist, .cliOption = "--min-source-sphere-dist", .cliValue = "MM",
     .cliGroup = kPrep, .help = "Sources nearer than this to the sphere centre are left out, mm (default 2.2e-16)",
     .parse = [](const std::string& t, bool, O& o) { o.minSrcSphDist = distanceOption("--min-source-sphere-dist", t); },
     .dialogControl = IDC_EDT_MIN_SRC_SPH, .exchange = X::NumberText, .dialogStart = 1},
    {.member = "isSpatConstrained", .type = T::Flag, .managerWhole = &CMDataForward::isSpatConstrained,
     .overrideWhole = &O::isSpatConstrained, .cliOption = "--stencil,!--no-stencil", .cliGroup = kPrep,
     .help = "Leave out sources too near the sensors or at the sphere centre (default on)",
     .parse = flag<&O::isSpatConstrained>, .dialogControl = IDC_CHK_SPAT_CONSTRAINED, .exchange = X::Check},
    {.member = "isMagSrc", .type = T::Flag, .engineWhole = &CMForward::isMagSrc, .overrideWhole = &O::isMagSrc,
     .cliOption = "--magnetic", .cliGroup = kModel,
     .help = "Magnetic sources (magnetic dipoles or current elements) instead of current dipoles",
     .parse = flag<&O::isMagSrc>, .pythonKeyword = "magnetic", .dialogControl = IDC_CHK_MAG_SRC,
     .exchange = X::Check},
    {.member = "isUnitLf", .type = T::Flag, .managerWhole = &CMDataForward::isUnitLf, .overrideWhole = &O::isUnitLf,
     .cliOption = "--unit-lf", .cliGroup = kPost, .help = "Divide all values by the largest magnitude (unit leadfield)",
     .leadfieldOnly = true, .parse = flag<&O::isUnitLf>, .dialogControl = IDC_CHK_UNIT_LF, .exchange = X::Check},
    {.member = "mu4PiRatio", .type = T::Number, .engineNumber = &CMForward::mu4PiRatio,
     .overrideNumber = &O::mu4PiRatio, .cliOption = "--mu4pi", .cliValue = "FACTOR", .cliGroup = kModel,
     .help = "The factor mu0/4pi the formulas multiply by, a number other than 0; values are then in the "
             "library's scale, positions in mm unless --scan-unit (default: SI values, 1e-7 in metres)",
     .parse = [](const std::string& t, bool, O& o) {
         double v = 0;
         if (!parseNumber(t, v) || !std::isfinite(v) || v == 0.0)
             throw InputError("--mu4pi " + t + ": expected a finite number other than 0");
         o.mu4PiRatio = v;
     },
     .dialogControl = IDC_EDT_MU4PI, .exchange = X::NumberText, .dialogStart = 1},
    {.member = "isRestoreCoord", .type = T::Flag, .managerWhole = &CMDataForward::isRestoreCoord,
     .overrideWhole = &O::isRestoreCoord, .cliOption = "--restore-coords,!--no-restore-coords", .cliGroup = kPost,
     .help = "Bring the components back to the host axes after a Matlab-axes scan (default on)",
     .leadfieldOnly = true, .parse = flag<&O::isRestoreCoord>, .dialogControl = IDC_CHK_RESTORE_COORD,
     .exchange = X::Check},
    {.member = "isRestoreUnit", .type = T::Flag, .managerWhole = &CMDataForward::isRestoreUnit,
     .overrideWhole = &O::isRestoreUnit, .cliOption = "--restore-unit,!--no-restore-unit", .cliGroup = kPost,
     .help = "Bring the geometry back to millimetres after the scan (default on)", .leadfieldOnly = true,
     .parse = flag<&O::isRestoreUnit>, .dialogControl = IDC_CHK_RESTORE_UNIT, .exchange = X::Check},
    {.member = "isAnaScan", .type = T::Flag, .managerWhole = &CMDataForward::isAnaScan,
     .dialogControl = IDC_CHK_ANA_SCAN, .exchange = X::Check, .dialogActsAtOnce = true},
    {.member = "tangVectMethod", .type = T::Code, .engineWhole = &CMForward::tangVectMethod,
     .overrideWhole = &O::tangVectMethod, .nameKey = "tangent_rule", .codeName = tangentRuleName,
     .cliOption = "--tangent-rule", .cliValue = "NAME", .cliGroup = kModel,
     .help = "Tangential directions with --tangential: std (default), ctf, sam, nut", .leadfieldOnly = true,
     .parse = [](const std::string& t, bool, O& o) { o.tangVectMethod = parseTangentRule(t); }},
};
// clang-format on

}  // namespace

std::span<const SettingRow> settingRows() { return kRows; }

const SettingRow* findSetting(const std::string& member) {
    for (const SettingRow& row : kRows)
        if (member == row.member) return &row;
    return nullptr;
}

std::string formulaHelp(int defaultCode) {
    std::string codes, names;
    for (const FormulaRow& row : currentDipoleFormulas()) {
        codes += std::string(codes.empty() ? "" : ", ") + row.name;
        std::string aliases;
        for (const char* alias : row.aliases)
            if (alias) aliases += std::string(aliases.empty() ? "" : " or ") + alias;
        if (!aliases.empty()) names += (names.empty() ? "" : ", ") + aliases + " (" + row.name + ")";
    }
    std::string magnetic;
    for (const FormulaRow& row : magneticFormulas())
        for (const char* alias : row.aliases)
            if (alias) magnetic += std::string(magnetic.empty() ? "" : ", ") + alias;
    return "Coil forward model (default " + formulaCode(defaultCode) + "): " + codes + ", or by name: " + names +
           "; with --magnetic: " + magnetic;
}

int wholeSetting(const SettingRow& row, const CMForwardkw& engine, const CMDataForwardkw& data) {
    return row.engineWhole ? engine.*row.engineWhole : data.*row.managerWhole;
}

double numberSetting(const SettingRow& row, const CMForwardkw& engine, const CMDataForwardkw& data) {
    return row.engineNumber ? engine.*row.engineNumber : data.*row.managerNumber;
}

long long wholeNumberOption(const std::string& option, const std::string& text, long long min, long long max,
                            const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    const bool whole = end != text.c_str() && *end == '\0' && errno == 0;
    if (!whole || v < min || v > max) {
        std::string range = max == LLONG_MAX ? "from " + std::to_string(min)
                                             : "from " + std::to_string(min) + " to " + std::to_string(max);
        throw InputError(option + " " + text + ": expected a whole number " + what + (what.empty() ? "" : " ") + range);
    }
    return v;
}

int orderOption(const std::string& text) {
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() && *end == '\0')
        for (int known : kIntegrationOrders)
            if (v == known) return known;
    throw InputError("--order " + text + ": the coil integration order must be 1, 2, 3, 4, 5 or 7");
}

double numberOption(const std::string& option, const std::string& text, double min, double max,
                    const std::string& what) {
    double v = 0;
    if (!parseNumber(text, v) || !std::isfinite(v) || v < min || v > max)
        throw InputError(option + " " + text + ": expected a number " + what + (what.empty() ? "" : " ") + "from " +
                         exactNumber(min) + " to " + exactNumber(max));
    return v;
}

}  // namespace megfwd

#include "forward_api/Settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "forward_api/Errors.h"
#include "forward_api/FileText.h"

namespace megfwd {
namespace {

struct Name {
    const char* name;
    int code;
};

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool parseInt(const std::string& s, int& v) {
    char* end = nullptr;
    const long x = std::strtol(s.c_str(), &end, 10);
    if (!end || *end || end == s.c_str() || x < INT32_MIN || x > INT32_MAX) return false;
    v = static_cast<int>(x);
    return true;
}

int lookup(const std::string& option, const std::string& text, const std::vector<Name>& names, int maxCode) {
    const std::string t = lower(text);
    for (const auto& n : names)
        if (t == n.name) return n.code;
    int code;
    if (parseInt(t, code) && code >= 0 && code <= maxCode) return code;
    std::string choices;
    for (const auto& n : names) choices += (choices.empty() ? "" : ", ") + std::string(n.name);
    throw InputError(option + " '" + text + "': unknown value; choose one of " + choices + " (or the code 0.." +
                     std::to_string(maxCode) + ")");
}

const char* const kFormulaCodes[8] = {"ST01", "SX02", "SV_CF03", "SV_NT04", "SV_CFT05", "BiotSavart06", "GS07", "DX"};

const std::vector<Name> kCurrentFormulaAliases = {
    {"st01", 0}, {"sx02", 1}, {"sv_cf03", 2}, {"sv_nt04", 3}, {"sv_cft05", 4}, {"biotsavart06", 5}, {"gs07", 6}, {"dx", 7},
    {"sarvas-scalar", 0}, {"sarvas-scalar-si", 1}, {"sarvas-ctf", 2}, {"sarvas-nut", 3}, {"sarvas", 3},
    {"cuffin", 4}, {"biot-savart", 5}, {"infinite-medium", 5}, {"grynszpan", 6}};
const std::vector<Name> kMagneticAliases = {
    {"magnetic-dipole", 0}, {"magnetic-dipole-tensor", 1}, {"primary-current", 2}};

}  // namespace

int parseFormula(const std::string& text, bool magnetic) {
    const std::string t = lower(text);
    for (const auto& n : kMagneticAliases)
        if (t == n.name) {
            if (!magnetic) throw InputError("--formula '" + text + "' is a formula for magnetic sources; add --magnetic");
            return n.code;
        }
    for (const auto& n : kCurrentFormulaAliases)
        if (t == n.name) {
            // The codes themselves are valid in both modes; the descriptive
            // names of current-dipole formulas are not.
            if (magnetic && std::string(n.name).find_first_of("0123456789") == std::string::npos && t != "dx")
                throw InputError("--formula '" + text + "' is a current-dipole formula; with --magnetic choose "
                                 "magnetic-dipole, magnetic-dipole-tensor or primary-current");
            return n.code;
        }
    std::vector<Name> all = kCurrentFormulaAliases;
    all.insert(all.end(), kMagneticAliases.begin(), kMagneticAliases.end());
    return lookup("--formula", text, all, 7);
}

int parseSensorModel(const std::string& text) {
    return lookup("--sensor-model", text, {{"standard", 0}, {"ctf", 1}, {"neuromag", 2}, {"bti", 3}, {"yokogawa", 4}}, 4);
}

int parseSphereModel(const std::string& text) {
    return lookup("--sphere-model", text,
                  {{"default", 0}, {"single", 1}, {"multiple", 2}, {"bem", 3}, {"fem", 4}}, 4);
}

int parseCoordSystem(const std::string& text) {
    return lookup("--coords", text, {{"opengl", 0}, {"host", 0}, {"matlab", 1}, {"direct3d", 2}}, 2);
}

int parseTangentRule(const std::string& text) {
    return lookup("--tangent-rule", text, {{"std", 0}, {"ctf", 1}, {"sam", 2}, {"nut", 3}}, 3);
}

int parseOrder(int order) {
    if (order < 1 || order > 7 || order == 6)
        throw InputError("--order " + std::to_string(order) + ": the coil integration order must be 1, 2, 3, 4, 5 or 7");
    return order;
}

double parseScanUnit(const std::string& text) {
    const std::string t = lower(text);
    if (t == "mm") return 1.0;
    if (t == "cm") return 0.1;
    if (t == "dm") return 0.01;
    if (t == "m") return 0.001;
    char* end = nullptr;
    const double f = std::strtod(t.c_str(), &end);
    if (!end || *end || end == t.c_str() || !std::isfinite(f) || !(f > 0.0))
        throw InputError("--scan-unit '" + text + "': expected mm, cm, dm, m or a positive factor per millimetre");
    return f;
}

std::array<double, 4> parseSphere(const std::string& text) {
    std::string t = text;
    for (char& c : t)
        if (c == ',') c = ' ';
    std::array<double, 4> s{};
    const char* p = t.c_str();
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        s[static_cast<std::size_t>(i)] = std::strtod(p, &end);
        if (end == p || !std::isfinite(s[static_cast<std::size_t>(i)]))
            throw InputError("--sphere '" + text + "': expected 4 numbers x,y,z,radius (mm)");
        p = end;
    }
    while (*p == ' ') ++p;
    if (*p) throw InputError("--sphere '" + text + "': expected 4 numbers x,y,z,radius (mm)");
    if (!(s[3] > 0.0)) throw InputError("--sphere '" + text + "': the radius must be greater than 0");
    return s;
}

std::string formulaCode(int code) { return code >= 0 && code < 8 ? kFormulaCodes[code] : "code " + std::to_string(code); }

std::string formulaDescription(int code, bool magnetic) {
    if (magnetic) {
        switch (code) {
            case 1: return "magnetic dipole, tensor form";
            case 2: return "primary current (Biot-Savart field of a current element)";
            default: return "magnetic dipole";
        }
    }
    switch (code) {
        case 1: return "Sarvas, scalar form, with the fixed factor 1e-7";
        case 2: return "Sarvas, CTF form";
        case 3: return "Sarvas, Nut form";
        case 4: return "Cuffin, FieldTrip form";
        case 5: return "Biot-Savart in an unbounded medium (no volume currents)";
        case 6: return "Grynszpan";
        default: return "Sarvas, scalar form";
    }
}

std::string sensorModelName(int code) {
    static const char* names[5] = {"Standard", "CTF", "Neuromag", "BTI", "Yokogawa"};
    return code >= 0 && code < 5 ? names[code] : "code " + std::to_string(code);
}

std::string sphereModelName(int code) {
    static const char* names[5] = {"Default", "Single", "Multiple", "Boundary Element (BEM)", "Finite Element (FEM)"};
    return code >= 0 && code < 5 ? names[code] : "code " + std::to_string(code) + " (acts as Default)";
}

std::string coordSystemName(int code) {
    static const char* names[3] = {"OpenGL", "Matlab", "Direct3D"};
    return code >= 0 && code < 3 ? names[code] : "code " + std::to_string(code);
}

std::string tangentRuleName(int code) {
    static const char* names[4] = {"Std", "Ctf", "Sam", "Nut"};
    return code >= 0 && code < 4 ? names[code] : "code " + std::to_string(code) + " (acts as Std)";
}

std::string scanUnitName(double f) {
    if (f == 1.0) return "mm";
    if (f == 0.1) return "cm";
    if (f == 0.01) return "dm";
    if (f == 0.001) return "m";
    return exactNumber(1.0 / f) + " mm";
}

void SettingOverrides::applyTo(CMForwardkw& e, CMDataForwardkw& d) const {
    if (si) {
        d.isUnit2Meter = 1;
        d.spatUnit = 0.001;
        e.mu4PiRatio = 1e-7;
    }
    if (coilFwdModel) e.coilFwdModel = *coilFwdModel;
    if (snsFwdModel) e.snsFwdModel = *snsFwdModel;
    if (orderCoilIntg) e.orderCoilIntg = *orderCoilIntg;
    if (tangVectMethod) e.tangVectMethod = *tangVectMethod;
    if (isMagSrc) e.isMagSrc = *isMagSrc;
    if (isUseRefSns) e.isUseRefSns = *isUseRefSns;
    if (mu4PiRatio) e.mu4PiRatio = *mu4PiRatio;
    if (sphereModel) d.sphereModel = *sphereModel;
    if (userSphere) d.userSphere.setSphere((*userSphere)[0], (*userSphere)[1], (*userSphere)[2], (*userSphere)[3]);
    if (isCentralizedLf) d.isCentralizedLf = *isCentralizedLf;
    if (isTangLfd) d.isTangLfd = *isTangLfd;
    if (isSpatConstrained) d.isSpatConstrained = *isSpatConstrained;
    if (coordSystem) d.coordSystem = *coordSystem;
    if (isApplySnsGain) d.isApplySnsGain = *isApplySnsGain;
    if (isUnitLf) d.isUnitLf = *isUnitLf;
    if (isUnit2Meter) d.isUnit2Meter = *isUnit2Meter;
    if (spatUnit) d.spatUnit = *spatUnit;
    if (minCoilSphDist) d.minCoilSphDist = *minCoilSphDist;
    if (minCoilSrcDist) d.minCoilSrcDist = *minCoilSrcDist;
    if (minSrcSphDist) d.minSrcSphDist = *minSrcSphDist;
    if (isRestoreUnit) d.isRestoreUnit = *isRestoreUnit;
    if (isRestoreCoord) d.isRestoreCoord = *isRestoreCoord;
    if (localSpheres) {
        if (sphereModel && *sphereModel != 2)
            throw InputError("local spheres are one sphere per sensor (the \"Multiple\" model); sphere model " +
                             sphereModelName(*sphereModel) + " cannot be used with them");
        if (isTangLfd && *isTangLfd)
            throw InputError("local spheres give three components per sensor; two tangential components cannot be "
                             "used with them");
        d.sphereModel = 2;
        d.isTangLfd = 0;
        d.pLocalSpheres = localSpheres.get();
    }
}

nlohmann::json settingsJson(const CMForwardkw& e, const CMDataForwardkw& d) {
    using nlohmann::json;
    auto sphere = [](const CSpherekw& s) {
        return json{{"center_mm", {s.center[0], s.center[1], s.center[2]}}, {"radius_mm", s.radius}};
    };
    json engine = {
        {"coilFwdModel", e.coilFwdModel},
        {"formula", formulaCode(e.coilFwdModel)},
        {"formula_description", formulaDescription(e.coilFwdModel, e.isMagSrc != 0)},
        {"snsFwdModel", e.snsFwdModel},
        {"sensor_model", sensorModelName(e.snsFwdModel)},
        {"orderCoilIntg", e.orderCoilIntg},
        {"tangVectMethod", e.tangVectMethod},
        {"tangent_rule", tangentRuleName(e.tangVectMethod)},
        {"isMagSrc", e.isMagSrc},
        {"isUseRefSns", e.isUseRefSns},
        {"mu4PiRatio", e.mu4PiRatio},
        {"isFwdExpress", e.isFwdExpress},
    };
    json manager = {
        {"sphereModel", d.sphereModel},
        {"sphere_model", sphereModelName(d.sphereModel)},
        {"userSphere", sphere(d.userSphere)},
        {"isCentralizedLf", d.isCentralizedLf},
        {"isTangLfd", d.isTangLfd},
        {"isSpatConstrained", d.isSpatConstrained},
        {"isAnaScan", d.isAnaScan},
        {"coordSystem", d.coordSystem},
        {"coordinates", coordSystemName(d.coordSystem)},
        {"isApplySnsGain", d.isApplySnsGain},
        {"isUnitLf", d.isUnitLf},
        {"isUnit2Meter", d.isUnit2Meter},
        {"spatUnit", d.spatUnit},
        {"scan_unit", d.isUnit2Meter ? scanUnitName(d.spatUnit) : "mm"},
        {"minCoilSphDist", d.minCoilSphDist},
        {"minCoilSrcDist", d.minCoilSrcDist},
        {"minSrcSphDist", d.minSrcSphDist},
        {"isRestoreUnit", d.isRestoreUnit},
        {"isRestoreCoord", d.isRestoreCoord},
    };
    return {{"engine", engine}, {"manager", manager}};
}

// The factor in front of each formula's geometric result. The point formulas
// (field values, and leadfields from unit moments) use mu4PiRatio, except
// Grynszpan with its fixed 1e-9. The coil-level leadfield formulas use
// mu4PiRatio except: SX02 (fixed 1e-7), GS07 (1e-9), the magnetic dipole in
// tensor form (7.957747154594243e-11), and, for two components in the
// standard sensor models, the scalar Sarvas member that codes 0, 1 and 7 select
// (fixed 1e-7). The CTF sensor model makes two components from the
// three-component members, so only the standard models reach the
// two-component members.
double formulaFactor(const CMForwardkw& e, ScanKind kind, int numComponents) {
    const int code = e.coilFwdModel;
    const bool magnetic = e.isMagSrc != 0;
    if (kind != ScanKind::Lfd) return !magnetic && code == 6 ? 1e-9 : e.mu4PiRatio;
    if (magnetic) return code == 1 ? 7.957747154594243e-11 : e.mu4PiRatio;
    if (code == 6) return 1e-9;
    if (code == 1) return 1e-7;
    const bool twoCompStd = numComponents == 2 && e.snsFwdModel != 1;
    if (twoCompStd && !(code >= 2 && code <= 5)) return 1e-7;
    return e.mu4PiRatio;
}

ValueUnit valueUnit(const CMForwardkw& e, const CMDataForwardkw& d, ScanKind kind, int numComponents, double divisor) {
    ValueUnit u;
    // Metres per scan length unit: the scan multiplies millimetres by
    // spatUnit when the unit change is on.
    const double metresPerUnit = d.isUnit2Meter ? 1e-3 / d.spatUnit : 1e-3;
    const bool magneticDipole = e.isMagSrc != 0 && e.coilFwdModel != 2;
    const int power = magneticDipole ? 3 : 2;  // field ~ moment / distance^power
    const double k = formulaFactor(e, kind, numComponents);
    u.toSI = 1e-7 / (k * std::pow(metresPerUnit, power)) * divisor;
    u.siUnit = kind == ScanKind::Bcmp ? "T" : (magneticDipole ? "T/(A*m^2)" : "T/(A*m)");
    const std::string pretty = kind == ScanKind::Bcmp ? "T" : (magneticDipole ? "T/(A·m²)" : "T/(A·m)");
    const bool exact = std::fabs(u.toSI - 1.0) < 1e-12;
    char factor[64];
    std::snprintf(factor, sizeof factor, "%.6g", u.toSI);
    if (exact) {
        u.label = pretty;
        u.explanation = "values are in " + u.siUnit;
    } else {
        // "0.1 T/(A·m)": one unit of the values is 0.1 tesla per ampere-metre.
        u.label = std::string(factor) + " " + pretty;
        u.explanation = std::string("values times ") + factor + " give " + u.siUnit;
    }
    if (kind == ScanKind::Bcmp)
        u.explanation += magneticDipole ? " for moments in A*m^2" : " for moments in A*m";
    if (divisor != 1.0) u.explanation += " (the values were divided by " + exactNumber(divisor) + " after the scan)";
    return u;
}

}  // namespace megfwd

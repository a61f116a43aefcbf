#include "forward_api/Settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/SettingTable.h"
#include "forward_engine/FormulaTable.h"

namespace megfwd {
namespace {

struct Name {
    std::string name;  // lower case
    int code;
};

// "a, b or c"
std::string choiceList(const std::vector<Name>& names, const char* last) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i].name;
    return out;
}

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
    for (const auto& n : names) choices += (choices.empty() ? "" : ", ") + n.name;
    throw InputError(option + " '" + text + "': unknown value; choose one of " + choices + " (or the code 0.." +
                     std::to_string(maxCode) + ")");
}

}  // namespace

int parseFormula(const std::string& text, bool magnetic) {
    const std::string t = lower(text);
    // The codes' own names are valid in both modes; the descriptive names
    // of current-dipole formulas are not, and those of magnetic ones only
    // with magnetic sources.
    std::vector<Name> codes, currentNames, magneticNames;
    for (const FormulaRow& row : currentDipoleFormulas()) {
        codes.push_back({lower(row.name), row.code});
        for (const char* alias : row.aliases)
            if (alias) currentNames.push_back({alias, row.code});
    }
    for (const FormulaRow& row : magneticFormulas())
        for (const char* alias : row.aliases)
            if (alias) magneticNames.push_back({alias, row.code});
    for (const auto& n : magneticNames)
        if (t == n.name) {
            if (!magnetic) throw InputError("--formula '" + text + "' is a formula for magnetic sources; add --magnetic");
            return n.code;
        }
    for (const auto& n : currentNames)
        if (t == n.name) {
            if (magnetic)
                throw InputError("--formula '" + text + "' is a current-dipole formula; with --magnetic choose " +
                                 choiceList(magneticNames, " or "));
            return n.code;
        }
    std::vector<Name> all = codes;
    for (const auto* list : {&currentNames, &magneticNames}) all.insert(all.end(), list->begin(), list->end());
    return lookup("--formula", text, all, static_cast<int>(currentDipoleFormulas().size()) - 1);
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
    for (int known : kIntegrationOrders)
        if (order == known) return order;
    throw InputError("--order " + std::to_string(order) + ": the coil integration order must be 1, 2, 3, 4, 5 or 7");
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

Sphere parseSphere(const std::string& text) {
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
    return Sphere::fromArray(s);
}

std::string formulaCode(int code) {
    const auto rows = currentDipoleFormulas();
    return code >= 0 && code < static_cast<int>(rows.size()) ? rows[static_cast<std::size_t>(code)].name
                                                              : "code " + std::to_string(code);
}

std::string formulaDescription(int code, bool magnetic) { return formulaRow(code, magnetic).description; }

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
    for (const SettingRow& row : settingRows()) {
        if (row.overrideWhole && this->*row.overrideWhole) {
            const int v = *(this->*row.overrideWhole);
            (row.engineWhole ? e.*row.engineWhole : d.*row.managerWhole) = v;
        } else if (row.overrideNumber && this->*row.overrideNumber) {
            const double v = *(this->*row.overrideNumber);
            (row.engineNumber ? e.*row.engineNumber : d.*row.managerNumber) = v;
        } else if (row.overrideSphere && this->*row.overrideSphere) {
            (d.*row.managerSphere).set(*(this->*row.overrideSphere));
        }
    }
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
    json engine = json::object(), manager = json::object();
    for (const SettingRow& row : settingRows()) {
        const bool ofEngine = row.engineWhole || row.engineNumber;
        json& out = ofEngine ? engine : manager;
        if (row.managerSphere) {
            const Sphere s = (d.*row.managerSphere).value();
            out[row.member] = {{"center_mm", s.centre}, {"radius_mm", s.radius}};
        } else if (row.type == SettingType::Number) {
            out[row.member] = numberSetting(row, e, d);
        } else {
            const int v = wholeSetting(row, e, d);
            out[row.member] = v;
            if (row.codeName) out[row.nameKey] = row.codeName(v);
        }
    }
    engine["formula_description"] = formulaDescription(e.coilFwdModel, e.isMagSrc != 0);
    manager["scan_unit"] = d.isUnit2Meter ? scanUnitName(d.spatUnit) : "mm";
    return {{"engine", engine}, {"manager", manager}};
}

// The factor in front of each formula's geometric result, from the formula
// table. The CTF sensor model makes two components from the
// three-component members, so only the standard models reach the
// two-component members and their factors.
double formulaFactor(const CMForwardkw& e, ScanKind kind, int numComponents) {
    const FormulaRow& row = formulaRow(e.coilFwdModel, e.isMagSrc != 0);
    if (kind != ScanKind::Lfd) return formulaFactorOr(row.pointFactor, e.mu4PiRatio);
    const bool twoCompStd = numComponents == 2 && e.snsFwdModel != 1;
    return formulaFactorOr(twoCompStd ? row.coilFactor2Standard : row.coilFactor3, e.mu4PiRatio);
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

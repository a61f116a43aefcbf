// The forward settings that the tools expose: names for the codes of the
// engine and the manager, the overrides a user gives on the command line,
// and their record in the output metadata.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "head_model/LocalSpheres.h"
#include "host_interfaces/Sphere.h"

namespace megfwd {

// A local-sphere table shared by the settings that use it (the manager
// points at it during a computation); equal to another table with the same
// entries, wherever each was read from.
struct LocalSphereTable : std::shared_ptr<const head::LocalSpheres> {
    using std::shared_ptr<const head::LocalSpheres>::shared_ptr;
    LocalSphereTable(std::shared_ptr<const head::LocalSpheres> table)
        : std::shared_ptr<const head::LocalSpheres>(std::move(table)) {}
    bool operator==(const LocalSphereTable& o) const {
        return get() == o.get() || (get() && o.get() && *get() == *o.get());
    }
};

// Settings given by the user; anything not given keeps the default of a
// freshly constructed engine or manager.
struct SettingOverrides {
    // engine
    std::optional<int> coilFwdModel, snsFwdModel, orderCoilIntg, tangVectMethod, isMagSrc, isUseRefSns;
    std::optional<double> mu4PiRatio;
    // manager
    std::optional<int> sphereModel;
    std::optional<Sphere> userSphere;  // mm
    std::optional<int> isCentralizedLf, isTangLfd, isSpatConstrained, coordSystem, isApplySnsGain, isUnitLf;
    std::optional<int> isUnit2Meter, isRestoreUnit, isRestoreCoord;
    std::optional<double> spatUnit, minCoilSphDist, minCoilSrcDist, minSrcSphDist;
    // One sphere per sensor from a table (sensor name -> sphere, mm, host
    // axes): the "Multiple" model with these spheres, three components.
    // Another sphere model or two components with it are refused.
    LocalSphereTable localSpheres;
    // SI values: scan in metres and mu4PiRatio 1e-7, so that leadfields come
    // out in tesla per ampere-metre. Explicit overrides win over it.
    bool si = false;
    // Channel selection: only channels marked good (the default).
    bool goodChannelsOnly = true;

    // Throws InputError for local spheres with another sphere model or
    // with two components.
    void applyTo(CMForwardkw& engine, CMDataForwardkw& data) const;

    // Every override the same (local-sphere tables by their entries).
    bool operator==(const SettingOverrides&) const = default;
};

// Name tables. Each parse function accepts the listed names (case does not
// matter) and the numeric code, and throws an InputError naming the option
// and the choices for anything else.
int parseFormula(const std::string& text, bool magnetic);
int parseSensorModel(const std::string& text);
int parseSphereModel(const std::string& text);
int parseCoordSystem(const std::string& text);
int parseTangentRule(const std::string& text);
int parseOrder(int order);
// The coil integration orders with a rule (6 has none).
inline constexpr std::array<int, 6> kIntegrationOrders = {1, 2, 3, 4, 5, 7};
// A scan unit: "mm", "cm", "dm", "m" or a factor by which millimetres are
// multiplied (0.001 for metres).
double parseScanUnit(const std::string& text);
Sphere parseSphere(const std::string& text);

std::string formulaCode(int code);                      // "SV_NT04"
std::string formulaDescription(int code, bool magnetic);
std::string sensorModelName(int code);
std::string sphereModelName(int code);
std::string coordSystemName(int code);
std::string tangentRuleName(int code);
std::string scanUnitName(double factor);

// Every setting of the engine and the manager that shapes a computation,
// with the member names of the library as keys.
nlohmann::json settingsJson(const CMForwardkw& engine, const CMDataForwardkw& data);

// How the values of a scan are made: leadfields from the leadfield formulas
// (gridDewarLfd), leadfields from field values of unit moments
// (gridDewarLfx), or field values of given moments (gridDewarBcmp).
enum class ScanKind { Lfd, Lfx, Bcmp };

// The factor that the formulas in use multiply their geometric result by:
// mu4PiRatio for most, a fixed factor for some (see the .cpp).
double formulaFactor(const CMForwardkw& engine, ScanKind kind, int numComponents);

// What one value of the output means physically: the factor that turns a
// value into SI (tesla per ampere-metre for current dipoles and current
// elements, tesla per ampere-square-metre for magnetic dipoles) and a label.
struct ValueUnit {
    double toSI = 1.0;          // SI value = stored value * toSI
    std::string siUnit;         // "T/(A*m)" or "T/(A*m^2)"
    std::string label;          // for plots and summaries
    std::string explanation;    // one sentence for the metadata
};
// `divisor`: the common scale the values were divided by after the scan
// (unit leadfield, RMS normalisation), 1 when none.
ValueUnit valueUnit(const CMForwardkw& engine, const CMDataForwardkw& data, ScanKind kind, int numComponents,
                    double divisor = 1.0);

}  // namespace megfwd

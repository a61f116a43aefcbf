// The forward settings of the engine and the manager, one row each: where
// the library keeps the value, its type, the command-line option and the
// Python keyword that set it, the help text, and the settings dialog's
// control. The command line's options, the Python module's keyword checks,
// the metadata and the dialog's transfer all walk these rows, so a setting
// is declared here once and its default is the member's own initialiser.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "forward_api/Settings.h"

namespace megfwd {

enum class SettingType {
    Code,    // an integer chosen by name (formula, sensor model, ...)
    Flag,    // 0 or 1
    Whole,   // an integer (the integration order)
    Number,  // a double
    Sphere,  // centre x, y, z and radius (mm)
};

// How the dialog shows a setting.
enum class DialogExchange { None, Radio, Check, WholeText, NumberText, SphereText };

struct SettingRow {
    const char* member;  // the library's member name: also the metadata's key and the Python module's
    SettingType type;
    // Where the library keeps the value: exactly one of these.
    int CMForward::*engineWhole = nullptr;
    double CMForward::*engineNumber = nullptr;
    int CMDataForward::*managerWhole = nullptr;
    double CMDataForward::*managerNumber = nullptr;
    CSpherekw CMDataForward::*managerSphere = nullptr;
    // Its slot among a user's overrides; none for the settings only the
    // dialog edits.
    std::optional<int> SettingOverrides::*overrideWhole = nullptr;
    std::optional<double> SettingOverrides::*overrideNumber = nullptr;
    std::optional<Sphere> SettingOverrides::*overrideSphere = nullptr;
    // The metadata's name of a code beside the code ("formula": "SV_NT04").
    const char* nameKey = nullptr;
    std::string (*codeName)(int) = nullptr;
    // The command line: the option (CLI11 spelling, "--ref,!--no-ref" for a
    // flag that can be turned off), the placeholder of its value (none for a
    // flag), its group in --help, and whether only `leadfield` has it.
    const char* cliOption = nullptr;
    const char* cliValue = nullptr;
    const char* cliGroup = nullptr;
    const char* help = nullptr;
    bool leadfieldOnly = false;
    // Reads the option's text into `out`; an InputError names the option.
    // `magnetic`: whether --magnetic was given (formula names depend on it).
    void (*parse)(const std::string& text, bool magnetic, SettingOverrides& out) = nullptr;
    // The Python keyword (megfwd.leadfield and megfwd.field), if any.
    const char* pythonKeyword = nullptr;
    // The dialog: its control (the first of a radio group or of the four
    // sphere edits), how it is exchanged, the value it shows before the
    // dialog is first filled, the range it checks after all other text
    // fields are read (whole texts; min > max: none), whether it must be
    // above 0, and whether the dialog writes it at once when clicked.
    int dialogControl = 0;
    DialogExchange exchange = DialogExchange::None;
    double dialogStart = 0.0;
    int dialogMin = 1, dialogMax = 0;
    bool dialogPositive = false;
    bool dialogActsAtOnce = false;
};

// Every row, in the order the dialog exchanges its controls.
std::span<const SettingRow> settingRows();
// The row of a member name, or null.
const SettingRow* findSetting(const std::string& member);

// The help text of --formula with the default of the command.
std::string formulaHelp(int defaultCode);

// The value of a Code, Flag or Whole row in an engine and manager, as an int;
// of a Number row as a double.
int wholeSetting(const SettingRow& row, const CMForwardkw& engine, const CMDataForwardkw& data);
double numberSetting(const SettingRow& row, const CMForwardkw& engine, const CMDataForwardkw& data);

// Numbers given as text, read whole (no trailing characters) and checked
// against [min, max]. An InputError names the option, the value given and
// what is accepted ("--threads 0: expected a whole number of threads from 1
// to 1024"); `what` completes "expected a whole number ..." or "expected a
// number ...".
long long wholeNumberOption(const std::string& option, const std::string& text, long long min, long long max,
                            const std::string& what);
double numberOption(const std::string& option, const std::string& text, double min, double max,
                    const std::string& what);
// --order: 1, 2, 3, 4, 5 or 7.
int orderOption(const std::string& text);

}  // namespace megfwd

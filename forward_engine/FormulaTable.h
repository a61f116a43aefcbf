// The point formulas a computation can select, one row per formula code:
// the names a user gives it, what it computes, which vectorised point loop
// of the fast path computes the same values, and the fixed factors of the
// engine's members. A code means one formula for current dipoles and
// another for magnetic sources (isMagSrc), so there are two lists; a code
// without a row acts as code 0, as the engine's dispatch does.
//
// Everything that turns a formula code into a name, a factor or a loop
// reads these rows, so a new formula is one row here plus its members.
#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace megfwd {

// The arithmetic families with a vectorised loop (forward_fast). Generic has
// none: its points go through the engine's own members.
enum class FormulaFamily : int {
    Sarvas = 0,          // the scalar, CTF and Nut Sarvas forms: one arithmetic
    Cuffin = 1,          // Cuffin, FieldTrip form
    BiotSavart = 2,      // an unbounded medium: current dipole, or primary current of a magnetic source
    MagneticDipole = 3,  // magnetic dipole
    MagneticTensor = 4,  // magnetic dipole, tensor form
    Generic = 5,
};

struct FormulaRow {
    int code;
    const char* name;           // the code's name ("SV_NT04"); magnetic rows share the current rows' names
    const char* aliases[3];     // descriptive names a user may give instead, lower case; null ends the list
    const char* description;    // one phrase for reports and metadata
    FormulaFamily family;
    // The factor each member kind multiplies by; 0 means the engine's
    // mu4PiRatio. Point formulas (field values, leadfields of unit
    // moments); the three-component coil members (and the CTF sensor
    // model's two components, which it makes from them); the standard
    // sensor model's two-component coil members.
    double pointFactor;
    double coilFactor3;
    double coilFactor2Standard;
    // The standard model's two-component member fails a source where the
    // formula has no value (instead of giving zeros), and with `always` so
    // do the three-component and CTF ones.
    bool failsOnNoValue2Standard;
    bool failsOnNoValueAlways;
    // The standard model's two-component member normalises the tangential
    // directions itself (the Nut form).
    bool unitDirections2Standard;
};

// Codes 0..7 for current dipoles, 0..2 for magnetic sources.
std::span<const FormulaRow> currentDipoleFormulas();
std::span<const FormulaRow> magneticFormulas();

// The row the engine uses for `code`: codes without a row act as code 0.
const FormulaRow& formulaRow(int code, bool magnetic);

// A row's factor for one kind of member: `fixed`, or mu4PiRatio where it is 0.
inline double formulaFactorOr(double fixed, double mu4PiRatio) { return fixed != 0.0 ? fixed : mu4PiRatio; }

// The engine's member for `code` from a list of members indexed by code,
// the first for codes without one (the engine's fallback to code 0).
template <typename Member, std::size_t N>
Member memberForCode(const Member (&members)[N], int code) {
    return code >= 0 && static_cast<std::size_t>(code) < N ? members[code] : members[0];
}

}  // namespace megfwd

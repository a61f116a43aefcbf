#include "forward_engine/FormulaTable.h"

#include <array>

namespace megfwd {
namespace {

using F = FormulaFamily;

// The fixed factors of some members, whatever mu4PiRatio is: SI's 1e-7 of
// the scalar Sarvas member, Grynszpan's 1e-9, and the constant of the
// magnetic dipole's tensor form (1e-9 / 4 pi).
constexpr double kSarvasSI = 1e-7;
constexpr double kGrynszpan = 1e-9;
constexpr double kMagneticTensor = 7.957747154594243e-11;

// clang-format off
constexpr std::array<FormulaRow, 8> kCurrent = {{
    // code, name, aliases, description, family, point, coil 3, coil 2 std, fails 2 std, fails always, unit dirs
    {0, "ST01", {"sarvas-scalar"}, "Sarvas, scalar form", F::Sarvas, 0, 0, kSarvasSI, false, false, false},
    {1, "SX02", {"sarvas-scalar-si"}, "Sarvas, scalar form, with the fixed factor 1e-7", F::Sarvas,
     0, kSarvasSI, kSarvasSI, false, false, false},
    {2, "SV_CF03", {"sarvas-ctf"}, "Sarvas, CTF form", F::Sarvas, 0, 0, 0, true, false, false},
    {3, "SV_NT04", {"sarvas-nut", "sarvas"}, "Sarvas, Nut form", F::Sarvas, 0, 0, 0, true, true, true},
    {4, "SV_CFT05", {"cuffin"}, "Cuffin, FieldTrip form", F::Cuffin, 0, 0, 0, false, false, false},
    {5, "BiotSavart06", {"biot-savart", "infinite-medium"}, "Biot-Savart in an unbounded medium (no volume currents)",
     F::BiotSavart, 0, 0, 0, false, false, false},
    {6, "GS07", {"grynszpan"}, "Grynszpan", F::Generic, kGrynszpan, kGrynszpan, kGrynszpan, false, false, false},
    // DX has no member of its own: the engine computes code 0 for it.
    {7, "DX", {}, "Sarvas, scalar form", F::Sarvas, 0, 0, kSarvasSI, false, false, false},
}};

constexpr std::array<FormulaRow, 3> kMagnetic = {{
    {0, "ST01", {"magnetic-dipole"}, "magnetic dipole", F::MagneticDipole, 0, 0, 0, false, false, false},
    {1, "SX02", {"magnetic-dipole-tensor"}, "magnetic dipole, tensor form", F::MagneticTensor,
     0, kMagneticTensor, kMagneticTensor, false, false, false},
    {2, "SV_CF03", {"primary-current"}, "primary current (Biot-Savart field of a current element)", F::BiotSavart,
     0, 0, 0, false, false, false},
}};
// clang-format on

}  // namespace

std::span<const FormulaRow> currentDipoleFormulas() { return kCurrent; }
std::span<const FormulaRow> magneticFormulas() { return kMagnetic; }

const FormulaRow& formulaRow(int code, bool magnetic) {
    const std::span<const FormulaRow> rows = magnetic ? magneticFormulas() : currentDipoleFormulas();
    for (const FormulaRow& row : rows)
        if (row.code == code) return row;
    return rows[0];
}

}  // namespace megfwd

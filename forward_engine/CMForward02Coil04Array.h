// Multi-coil point leadfields: for one source, the three-component leadfield
// of a whole array of field points (coils taken at their centres), each along
// its own direction (the coil normal). No integration points, no coil
// weights. Serves the host directly; the library's scans do not call it.
//
// Arguments: n points; ptPos[i] the position and ptDir[i] the direction of
// point i (3 doubles each), relative to the sphere centre; r0 the source
// position relative to the same centre; ptLf[i] receives the three values for
// unit sources along x, y and z. Every function returns 1 and writes nothing
// for n < 1. The caller provides n valid pointers in each array; null arrays
// are tolerated (nothing is written) and a point with a null entry is skipped.
// A point where the formula has no finite value (at the source, or at the
// sphere centre for the sphere formulas) gets three zeros.
#pragma once

#include <cstdint>

#include "forward_engine/CMForward02Coil03xyz.h"

class CMForward02Coil04Array : public CMForward02Coil03xyz {
public:
    // Current dipoles (isMagSrc = 0): Cuffin for coilFwdModel 4, Sarvas
    // otherwise. Magnetic sources: the magnetic dipole for coilFwdModel 4, the
    // primary current otherwise.
    std::int64_t point2LfMutiCoils(std::int64_t n, const double* const* ptPos, const double* const* ptDir,
                                   const double* r0, double* const* ptLf) const;

protected:
    // Sarvas, with the fixed factor 1e-10 for mu0/4pi.
    std::int64_t point2LfMultiCoils03Sarvas(std::int64_t n, const double* const* ptPos, const double* const* ptDir,
                                            const double* r0, double* const* ptLf) const;
    // Cuffin (FieldTrip form), with the fixed factor 1e-9.
    std::int64_t point2LfMultiCoils02Cuffin(std::int64_t n, const double* const* ptPos, const double* const* ptDir,
                                            const double* r0, double* const* ptLf) const;
    // Primary current alone, with the fixed factor 7.957747154594243e-12.
    std::int64_t point2LfMultiCoils01PrmCrnt(std::int64_t n, const double* const* ptPos, const double* const* ptDir,
                                             const double* r0, double* const* ptLf) const;
    // Magnetic dipole, with mu4PiRatio.
    std::int64_t point2LfMultiCoils00MagSrc(std::int64_t n, const double* const* ptPos, const double* const* ptDir,
                                            const double* r0, double* const* ptLf) const;

    static constexpr double kMultiSarvasFactor = 1e-10;
    static constexpr double kMultiCuffinFactor = 1e-9;
    static constexpr double kMultiPrimaryFactor = 7.957747154594243e-12;
};

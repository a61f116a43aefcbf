// Plain records shared by the engine and the forward data model.
#pragma once

#include <cstdint>

// The field point of one source: its position and dipole moment, with the
// dimension tags of the values stored for it.
struct MAGFIELD {
    double pos[3] = {0.0, 0.0, 0.0};
    double mom[3] = {0.0, 0.0, 0.0};
    std::int32_t posDim = 0;  // 3 once a position is set
    std::int32_t momDim = 0;  // dimension tag of the values last stored
};

// The moment directions at one source: r the position relative to the sphere
// centre, q[0], q[1] the tangential directions of a two-component leadfield,
// all three the axes of a three-component one; nq the number in use.
struct R3Q3x3 {
    double r[3] = {0.0, 0.0, 0.0};
    double q[3][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    int nq = 0;
};

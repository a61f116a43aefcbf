// First stage of point formulas: the Grynszpan field of a tangential current
// dipole in a conducting sphere, in the source's spherical coordinates.
#pragma once

#include "forward_engine/CMForward.h"

class CMForward01Point02Spheric : public CMForward {
public:
    // B (Cartesian) at field point r (Cartesian, relative to the sphere centre;
    // R must be |r|) of a current dipole at spherical position s = (r0, phi,
    // theta) (radians; phi the azimuth from +x, theta the polar angle from +z)
    // with tangential moment q = (q_theta, q_phi); a radial part q[2] is not
    // read and has no field outside the sphere. The factor is 1e-9, fixed.
    // Fails with B = 0 for r0 = 0 or a null argument. A field point at the
    // sphere centre or at the source has no finite field: B = 0, success.
    int point01Q5SphLf3D_grynszpan(const double* r, const double* s, const double* q, double R, double* B) const;
};

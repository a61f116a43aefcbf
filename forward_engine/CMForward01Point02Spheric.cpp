#include "forward_engine/CMForward01Point02Spheric.h"

#include "forward_engine/PointFormulas.h"

namespace phys = megfwd::phys;

int CMForward01Point02Spheric::point01Q5SphLf3D_grynszpan(const double* r, const double* s, const double* q, double R,
                                                          double* B) const {
    if (!B) return 0;
    phys::zero(B);
    if (!r || !s || !q) return 0;
    phys::GrynszpanGeom g;
    if (!phys::grynszpanGeom(r, s[0], s[1], s[2], R, g)) return 0;
    phys::grynszpanField(g, q[0], q[1], B);
    return 1;
}

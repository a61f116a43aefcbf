#include "forward_engine/CMForward.h"

#include <cmath>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/PointFormulas.h"
#include "host_interfaces/Afx.h"

namespace phys = megfwd::phys;

namespace {

constexpr double kPi = 3.141592653589793;

// Index of the component with the largest absolute value; a later component
// wins only when strictly larger, so ties (and the zero vector) go to the
// lower index.
int largestComponent(const double* v) {
    int k = 0;
    for (int i = 1; i < 3; ++i)
        if (std::fabs(v[i]) > std::fabs(v[k])) k = i;
    return k;
}

bool isIntegrationOrder(int order) { return order >= 1 && order <= 7 && order != 6; }

}  // namespace

int CMForward::coordSystemOrHost() const {
    // The grid scans always set the manager first; a host that asks for tangent
    // bases without one gets the host's own axes, where the engine's inputs are
    // before any preparation has converted them.
    return pDataFwd ? static_cast<int>(pDataFwd->coordSystem) : 0;
}

// ------------------------------------------------------------ source bases

int CMForward::set2DVect4SrcAll(const double* src, const CSpherekw* sphere, R3Q3x3* basis) const {
    if (!src || !sphere || !basis) return 0;
    phys::sub(src, sphere->center, basis->r);
    switch (tangVectMethod) {
        case 1:
        case 2: {
            const bool isCtf = tangVectMethod == 1;
            if (coordSystemOrHost() != 0) {
                if (!(isCtf ? findTangVect01Ctf(basis) : findTangVect02Sam(basis))) return 0;
                break;
            }
            // These rules are written for the Matlab frame (vertical z): work on
            // a converted copy and bring the directions back to host axes.
            R3Q3x3 work = *basis;
            CVector02Mas::xyzIOpenGL2Matlab(work.r);
            if (!(isCtf ? findTangVect01Ctf(&work) : findTangVect02Sam(&work))) return 0;
            CVector02Mas::xyzIMatlab2OpenGL(work.q[0]);
            CVector02Mas::xyzIMatlab2OpenGL(work.q[1]);
            phys::copy(work.q[0], basis->q[0]);
            phys::copy(work.q[1], basis->q[1]);
            break;
        }
        case 3:
            if (!findTangVect04Nut(basis)) return 0;
            break;
        default:
            if (!findTangVect00Std(basis)) return 0;
            break;
    }
    basis->nq = 2;
    return 1;
}

int CMForward::set3DVect4SrcAll(const double* src, const CSpherekw* sphere, R3Q3x3* basis) const {
    if (!src || !sphere || !basis) return 0;
    phys::sub(src, sphere->center, basis->r);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) basis->q[i][j] = i == j ? 1.0 : 0.0;
    basis->nq = 3;
    return 1;
}

int CMForward::findTangVect00Std(R3Q3x3* basis) const {
    if (!basis) return 0;
    const int cs = coordSystemOrHost();
    if (cs != 0 && cs != 1) return 0;
    CVector02Mas::setVector3v(basis->q[0], 1.0, 0.0, 0.0);
    if (cs == 0)
        CVector02Mas::setVector3v(basis->q[1], 0.0, 0.0, 1.0);
    else
        CVector02Mas::setVector3v(basis->q[1], 0.0, 1.0, 0.0);
    return 1;
}

int CMForward::findTangVect01Ctf(R3Q3x3* basis) const {
    if (!basis) return 0;
    const double x = basis->r[0], y = basis->r[1], z = basis->r[2];
    if (x == 0.0 && y == 0.0) {
        CVector02Mas::setVector3v(basis->q[0], 1.0, 0.0, 0.0);
        CVector02Mas::setVector3v(basis->q[1], 0.0, 1.0, 0.0);
        return 1;
    }
    const double rho = std::sqrt(x * x + y * y);
    // Negative azimuthal and negative polar unit vectors (the latter points
    // towards the top of the sphere).
    CVector02Mas::setVector3v(basis->q[0], y / rho, -x / rho, 0.0);
    CVector02Mas::setVector3v(basis->q[1], -x * z / rho, -y * z / rho, rho);
    phys::normalize(basis->q[1]);
    return 1;
}

int CMForward::findTangVect02Sam(R3Q3x3* basis) const {
    if (!basis) return 0;
    const double* r = basis->r;
    double t[3];
    switch (largestComponent(r)) {
        case 0: CVector02Mas::setVector3v(t, r[1], -r[0], 0.0); break;
        case 1: CVector02Mas::setVector3v(t, 0.0, r[2], -r[1]); break;
        default: CVector02Mas::setVector3v(t, -r[2], 0.0, r[0]); break;
    }
    if (!phys::normalize(t)) return 0;
    double w[3];
    phys::cross(r, t, w);
    if (!phys::normalize(w)) return 0;
    phys::copy(t, basis->q[0]);
    phys::copy(w, basis->q[1]);
    return 1;
}

int CMForward::findTangVect04Nut(R3Q3x3* basis) const {
    if (!basis) return 0;
    double e[3] = {0.0, 0.0, 1.0};
    if (coordSystemOrHost() == 0) CVector02Mas::setVector3v(e, 0.0, 1.0, 0.0);
    // Left unnormalised (lengths rho and rho |r|); the Nut coil formula
    // normalises them before use.
    phys::cross(e, basis->r, basis->q[0]);
    phys::cross(basis->q[0], basis->r, basis->q[1]);
    return 1;
}

// ------------------------------------------------------ coil integration

int CMForward::setOrder4SnsCoilIntegration(int& order) {
    if (order == -1) order = orderCoilIntg;
    if (!isIntegrationOrder(order)) {
        AfxMessageBox("The order for sensor coil integration in forward computer is out of range!", MB_OK, 0);
        return 0;
    }
    orderCoilIntg = order;
    return 1;
}

int CMForward::setSnsWt12Pts(CMEGSensorkw* sensor, int order) const {
    if (!sensor || !isIntegrationOrder(order)) return 0;
    // Weights of the disk quadratures, in point order (see setCoilB12Pts).
    // Each table sums to 1 up to the rounding of its decimals.
    int n = 0;
    double w[12] = {};
    switch (order) {
        case 1:
            n = 1;
            w[0] = 1.0;
            break;
        case 2:
            n = 3;
            for (int i = 0; i < 3; ++i) w[i] = 0.333333;
            break;
        case 3:
            n = 4;
            for (int i = 0; i < 4; ++i) w[i] = 0.25;
            break;
        case 4:
            n = 6;
            for (int i = 0; i < 5; ++i) w[i] = 0.15;
            w[5] = 0.25;
            break;
        case 5:
            n = 7;
            for (int i = 0; i < 6; ++i) w[i] = 0.125;
            w[6] = 0.25;
            break;
        default:  // 7
            n = 12;
            for (int i = 0; i < 4; ++i) {
                w[i] = 0.12321;
                w[4 + i] = 0.074074;
                w[8 + i] = 0.052715;
            }
            break;
    }
    sensor->w12Order = order;
    sensor->numW12Pts = n;
    for (int i = 0; i < 12; ++i) sensor->w12Wt[i] = w[i];
    sensor->isW12Set = 1;
    return 1;
}

int CMForward::setCoilB12Pts(CBscMagSnskw* coil, int order) const {
    if (!coil || !isIntegrationOrder(order)) return 0;
    double* n = coil->coilNormal;
    phys::normalize(n);  // a zero normal stays zero
    const double* c0 = coil->coilPos;
    if (order == 1) {
        phys::copy(c0, coil->b12Pts[0].pos);
        coil->isB12Set = 1;
        return 1;
    }

    // An orthonormal pair (u, w) in the coil plane.
    double u[3], w[3];
    const int k = largestComponent(n);
    if (n[k] == 1.0) {
        if (k == 0) {
            CVector02Mas::setVector3v(u, 0.0, 1.0, 0.0);
            CVector02Mas::setVector3v(w, 0.0, 0.0, 1.0);
        } else if (k == 1) {
            CVector02Mas::setVector3v(u, 1.0, 0.0, 0.0);
            CVector02Mas::setVector3v(w, 0.0, 0.0, 1.0);
        } else {
            CVector02Mas::setVector3v(u, 1.0, 0.0, 0.0);
            CVector02Mas::setVector3v(w, 0.0, 1.0, 0.0);
        }
    } else {
        if (k == 0)
            CVector02Mas::setVector3v(u, n[1], -n[0], 0.0);
        else if (k == 1)
            CVector02Mas::setVector3v(u, 0.0, n[2], -n[1]);
        else
            CVector02Mas::setVector3v(u, -n[2], 0.0, n[0]);
        if (!phys::normalize(u)) return 0;
        phys::cross(n, u, w);
        if (!phys::normalize(w)) return 0;
    }

    const double R = coil->coilRadius;
    auto put = [&](int rec, double rad, double angle) {
        const double cu = rad * std::cos(angle), sw = rad * std::sin(angle);
        for (int i = 0; i < 3; ++i) coil->b12Pts[rec].pos[i] = c0[i] + cu * u[i] + sw * w[i];
    };
    switch (order) {
        case 2:
            for (int i = 0; i < 3; ++i) put(i, 0.7071067811865476 * R, 2.0 * kPi * i / 3.0);
            break;
        case 3:
            for (int i = 0; i < 4; ++i) put(i, 0.7071067811865476 * R, i * kPi / 2.0);
            break;
        case 4:
            for (int i = 0; i < 5; ++i) put(i, 0.8165 * R, 2.0 * kPi * i / 5.0);
            phys::copy(c0, coil->b12Pts[5].pos);
            break;
        case 5:
            for (int i = 0; i < 6; ++i) put(i, 0.8165 * R, i * kPi / 3.0);
            phys::copy(c0, coil->b12Pts[6].pos);
            break;
        default:  // 7: three rings of four points
            for (int i = 0; i < 4; ++i) put(i, 0.45667 * R, (i - 0.5) * kPi / 2.0);
            for (int i = 4; i < 8; ++i) put(i, 0.86603 * R, i * kPi / 2.0);
            for (int i = 8; i < 12; ++i) put(i, 0.911 * R, (i - 0.5) * kPi / 2.0);
            break;
    }
    coil->isB12Set = 1;
    return 1;
}

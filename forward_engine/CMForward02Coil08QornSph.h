// Field component of one dipole at one point along one direction, for a
// source given by position, direction angles and moment: the Biot-Savart field
// in free space, the Grynszpan field of a conducting sphere and the magnetic
// dipole field. Serves the host for single-point evaluations.
//
// fieldPt is the point (x, y, z), orient the direction the field is taken
// along (the result is B . orient; orient is not normalised), src the source,
// laid out as each member says. Angles in src are in degrees; a direction
// (a, b) is the unit vector of azimuth a (from +x in the x-y plane) and polar
// angle b (from +z); a spherical position (r, a, b) uses the same angles. The
// coil28 members divide every length by 100 first (the Cartesian coordinates
// of fieldPt and of a Cartesian source, and the radius of a spherical source);
// coil26MQ5Bcmp uses lengths as given.
//
// A null argument gives 0. A field point at the source gives 0 (no field is
// defined there), as does a source at the sphere centre in the Grynszpan
// members (no tangent plane).
#pragma once

#include "forward_engine/CMForward02Coil04Array.h"

class CMForward02Coil08QornSph : public CMForward02Coil04Array {
public:
    // src: x, y, z; direction angles a, b; moment. mu4PiRatio (Q x d)/|d|^3.
    double coil28Q5Bcmp_BiotSavartEqn(const double* fieldPt, const double* orient, const double* src) const;
    // src: r, a, b (spherical position); direction angles; moment.
    double coil28Q5Bcmp_BiotSavartEqn_Qsph(const double* fieldPt, const double* orient, const double* src) const;
    // src: x, y, z; direction angles (global); moment. Only the tangential
    // part of the dipole has a field outside the sphere. Factor 1e-9.
    double coil28Q5Bcmp_GrynszpanEqn(const double* fieldPt, const double* orient, const double* src) const;
    // src: r, a, b; direction angles (global); moment.
    double coil28Q5Bcmp_GrynszpanEqn_Qsph(const double* fieldPt, const double* orient, const double* src) const;
    // src: x, y, z; angle alpha in the tangent plane (from the polar
    // direction e_theta towards the azimuthal direction e_phi); moment.
    double coil28Q5Bcmp_GrynszpanLocal(const double* fieldPt, const double* orient, const double* src) const;
    // src: r, a, b; tangent-plane angle alpha; moment.
    double coil28Q5Bcmp_GrynszpanLocal_Qsph(const double* fieldPt, const double* orient, const double* src) const;
    // Magnetic dipole. src: x, y, z; direction angles; moment. The result is
    // (B . orient) 1e-15, with B = mu4PiRatio/|d|^3 (3 (m . u) u - m) moment.
    double coil26MQ5Bcmp(const double* fieldPt, const double* orient, const double* src) const;

protected:
    // The tangential part of the dipole of src (six values as for
    // coil28Q5Bcmp_GrynszpanEqn) as the (alpha in degrees, amplitude) pair
    // that coil28Q5Bcmp_GrynszpanLocal takes. 1, or 0 for a null src.
    int _28getLocalAlpha(const double* src, double& alpha, double& amplitude) const;
    // The tangent-plane angle src[3] of a source at src[0..2], carried
    // through the source's local frame: the angles (alpha, beta) in degrees
    // of the resulting unit direction; amplitude is multiplied by its length.
    // 1, or 0 for a null src.
    int _28getRefAlpha(const double* src, double& alpha, double& beta, double& amplitude) const;
};

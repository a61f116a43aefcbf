// Root of the forward engine: the forward settings every later stage reads,
// the moment directions at a source and the coil-integration data.
//
// The engine is one chain of plain classes without virtual functions, each
// stage in its own header, named after its class:
//   CMForward -> CMForward01Point02Spheric -> CMForward01Point03Cartesian
//   -> CMForward02Coil02xz -> CMForward02Coil03xyz -> CMForward02Coil04Array
//   -> CMForward02Coil08QornSph -> CMForward03Snsr01Bpo -> CMForward03Snsr02LfAxl
//   -> CMForward03Snsr04LfOpt -> CMForward03Snsr06LfOpt -> CMForward06Dewar01MeaSns
//   -> CMForward06Dewar06MeaRefSns -> CMForward08Grid01Bcmp -> CMForward08Grid03Lfd
//   -> CMForward08Grid06Sam -> CMForwardkw.
// Only this class and the last declare data. The implicit default
// constructor, copy constructor, copy assignment and destructor of every stage
// do exactly what this class's do: set the defaults below, copy every field
// (the two pointers too, so a copy shares the data manager and the window) and
// release nothing (neither pointer is owned).
//
// All operations return 1 on success and 0 on failure.
#pragma once

#include "forward_data/FieldTypes.h"
#include "host_interfaces/HeadModel.h"
#include "host_interfaces/MagSensor.h"
#include "host_interfaces/VectorOps.h"

class CMDataForwardkw;
class CWnd;

class CMForward : public CVectorkw, public CMMathBasickw, public CSFFMatrikw {
public:
    CMDataForwardkw* pDataFwd = nullptr;  // not owned; its coordSystem steers the tangent rules
    int isMagSrc = 0;                     // 1: magnetic sources
    int isFwdExpress = 0;
    int isUseRefSns = 1;
    double mu4PiRatio = 1.0;              // the factor standing for mu0/4pi in most formulas
    // Formula code: 0 "ST01", 1 "SX02", 2 "SV_CF03", 3 "SV_NT04", 4 "SV_CFT05",
    // 5 "BiotSavart06", 6 "GS07", 7 "DX" (7 and unknown codes act as 0).
    // Magnetic sources: 0 dipole, 1 dipole (tensor form), 2 primary current.
    int coilFwdModel = 3;
    int snsFwdModel = 1;                  // 0 Standard, 1 CTF, 2 Neuromag, 3 BTI, 4 Yokogawa
    int orderCoilIntg = 2;                // 1, 2, 3, 4, 5 or 7
    int tangVectMethod = 0;               // 0 Std, 1 Ctf, 2 Sam, 3 Nut; other values act as 0
    CWnd* pParentWnd = nullptr;           // not owned

    // basis.r = src - sphere centre, and the two tangential directions at the
    // source by tangVectMethod into basis.q[0], q[1]; nq = 2 (q[2] untouched).
    // Without a data manager the host axes (coordSystem 0) are assumed. A
    // failing rule fails the call with basis.r already written.
    int set2DVect4SrcAll(const double* src, const CSpherekw* sphere, R3Q3x3* basis) const;
    // basis.r = src - sphere centre; q = the three coordinate axes; nq = 3.
    int set3DVect4SrcAll(const double* src, const CSpherekw* sphere, R3Q3x3* basis) const;

    // -1 hands back the current order; 1, 2, 3, 4, 5 and 7 are taken; any other
    // value shows a message and fails, leaving orderCoilIntg unchanged.
    int setOrder4SnsCoilIntegration(int& order);
    // The sensor's integration weights for `order` (1 to 5 or 7).
    int setSnsWt12Pts(CMEGSensorkw* sensor, int order) const;
    // The coil's integration points for `order` (1 to 5 or 7); normalises the
    // coil normal in place first.
    int setCoilB12Pts(CBscMagSnskw* coil, int order) const;
    int isFwdOptimized() const { return isFwdExpress; }

protected:
    // The data manager's coordinate system (0 OpenGL, 1 Matlab, 2 Direct3D),
    // or 0, the host axes, when no manager is set.
    int coordSystemOrHost() const;

private:
    // The tangent rules: read basis.r, write basis.q[0] and basis.q[1].
    int findTangVect00Std(R3Q3x3* basis) const;
    int findTangVect01Ctf(R3Q3x3* basis) const;
    int findTangVect02Sam(R3Q3x3* basis) const;
    int findTangVect04Nut(R3Q3x3* basis) const;
};

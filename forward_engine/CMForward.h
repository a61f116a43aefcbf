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
#pragma once

#include "forward_data/FieldTypes.h"
#include "host_interfaces/HeadModel.h"
#include "host_interfaces/MagSensor.h"
#include "host_interfaces/VectorOps.h"

class CMDataForwardkw;
class CWnd;

class CMForward : public CVectorkw, public CMMathBasickw, public CSFFMatrikw {
public:
    CMDataForwardkw* pDataFwd = nullptr;  // not owned
    int isMagSrc = 0;                     // 1: magnetic sources
    int isFwdExpress = 0;
    int isUseRefSns = 1;
    double mu4PiRatio = 1.0;
    int coilFwdModel = 3;                 // formula code
    int snsFwdModel = 1;                  // 0 Standard, 1 CTF, 2 Neuromag, 3 BTI, 4 Yokogawa
    int orderCoilIntg = 2;                // 1, 2, 3, 4, 5 or 7
    int tangVectMethod = 0;               // 0 Std, 1 Ctf, 2 Sam, 3 Nut
    CWnd* pParentWnd = nullptr;           // not owned
};

// The most-derived forward data manager: leadfield access (whole arrays, one
// source as a matrix), strengths, SVD projections and the readiness check.
//
// It adds member functions only; construction, copying, assignment and
// destruction are those of the base manager.
#pragma once

#include <cstdint>

#include "forward_process/CMDataForward03PostFwdProcess.h"
#include "host_interfaces/MatrixOps.h"

class CMDataForwardkw : public CMDataForward03PostFwdProcess {
public:
    // Rebuilds the records with nSrc x nSns x nLf values and loads them from
    // ppp[i][j][k]. 0 when the rebuild fails, ppp is null or -1 was given for
    // a count (the rebuilt, zeroed records then remain).
    int setPPPVoxSnsLfx(double*** ppp, std::int64_t nSrc, std::int64_t nSns, std::int64_t nLf);
    // A new numSrc x numSns x numLf array (release it with
    // CAryVctMtxBasic::deleteMatrix3D) with all leadfields; values that a
    // record does not hold stay 0. On failure ppp is null and the counts 0.
    int getPPPVoxSnsLfx(double***& ppp, std::int64_t& nSrc, std::int64_t& nSns, std::int64_t& nLf);
    // Copies source srcID into m: element (k, j) is component k of sensor j,
    // for the m's rows and numSns columns, and makes the source current. A
    // bad source index or a matrix with fewer than numSns columns gives 0
    // and copies nothing; rows beyond a sensor's values are set to 0.
    int getSrcSnsLf2LfSnM(std::int64_t srcID, CMMatrix2Dkw* m);
    // lfStrength (RMS) of every sensor record of every source.
    int computLfStrength();
    // lfVB of every sensor record: sum over k of |orientation[k] * value k|.
    // Stops with 0 at the first source without a current decomposition.
    int computVB2LfID3();
    // 1 when a leadfield scan with nLf components can run on this manager.
    int checkVoxSnsLfx4Lfd(std::int64_t nLf);
};

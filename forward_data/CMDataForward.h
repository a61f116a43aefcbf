// The forward data manager: the channel set, the source positions, one
// leadfield record per source, the head spheres and every setting of the
// preparation and post-processing of a forward computation.
//
// The manager is a plain class chain without virtual functions:
//   CMDataForward -> CMDataForward01BscPrcs -> CMDataForward02PreFwdProcess
//   -> CMDataForward03PostFwdProcess -> CMDataForwardkw.
// Only this first class declares data; all of it is public because the
// engine, the processing stages and the settings dialog read and write it.
#pragma once

#include <cstdint>

#include "forward_data/CFISrcSnsLf.h"
#include "forward_data/CForwardChnlkw.h"
#include "host_interfaces/AnaVolume.h"
#include "host_interfaces/HeadModel.h"
#include "host_interfaces/MatrixOps.h"
#include "host_interfaces/SourceSpace.h"
#include "host_interfaces/VectorOps.h"

namespace megfwd::head {
struct LocalSpheres;
}

class CMDataForward {
public:
    CForwardChnlkw* pFwdChnl = nullptr;     // owned channel set
    CForwardSrckw* pFwdPos = nullptr;       // owned source positions
    CFISrcSnsLf* pVoxSnsLfx = nullptr;      // owned, numSrc source records
    std::int64_t numSrc = 0;
    std::int64_t numSns = 0;                // MEG measurement sensors
    std::int64_t numLf = 0;                 // components per sensor record
    std::int64_t curVoxID = 0;
    std::int32_t sphereModel = 0;           // 0 Default, 1 Single, 2 Multiple, 3 BEM, 4 FEM
    CSpherekw userSphere;                   // centre (0, 50, 0), radius 75
    ANA_VOLMX* pAnaVlm = nullptr;           // owned once installed
    std::int32_t isAnaScan = 0;
    std::int32_t isCentralizedLf = 1;
    CSpherekw singleSphere;                 // the sphere of the scan
    CSpherekw meanLocSphere;
    // Local spheres by sensor name (head_model/LocalSpheres.h), not owned:
    // when set, the "Multiple" model takes each measurement sensor's sphere
    // from it and gives reference sensors its global sphere, instead of
    // the dewar-bound rule. Copies share it; the host keeps it alive while
    // a preparation may run.
    const megfwd::head::LocalSpheres* pLocalSpheres = nullptr;
    CGrid3D locSphBox;
    std::int32_t isTangLfd = 0;
    std::int32_t isSpatConstrained = 1;
    std::int32_t coordSystem = 0;           // 0 OpenGL, 1 Matlab, 2 Direct3D
    std::int32_t isApplySnsGain = 1;
    std::int32_t isUnitLf = 0;
    std::int32_t isUnit2Meter = 0;
    double spatUnit = 1.0;
    double minCoilSphDist = 12.0;           // mm
    double minCoilSrcDist = 16.0;           // mm
    double minSrcSphDist = 2.220446049250313e-16;
    std::int32_t isRestoreUnit = 1;
    std::int32_t isRestoreCoord = 1;
    std::int32_t isLfNormalized = 0;
    CMMatrix2Dkw refLfMtx;                  // work matrix of the reference-corrected scans
    CVectorkw vectOps;

    CMDataForward();
    // Copies are deep: every setting and member object, and private copies of
    // the channel set, the source positions, the source records and the
    // anatomical volume with its voxels, so a copy never releases what another
    // manager owns. A part that cannot be allocated is left absent, as if it
    // had never been built (records absent means numLf 0).
    CMDataForward(const CMDataForward& other);
    CMDataForward& operator=(const CMDataForward& other);
    // Releases the records, the positions, the channel set and an installed
    // anatomical volume (owned once installed), then the member objects.
    ~CMDataForward();

    int initFwdChn(CMEGDatakw* data, CMDTrialkw* trial, int dataKind, int goodChnlOnly, int withRefSns);
    int initFwdPosGrd(CGrid3D* grid);
    int initFwdPosVsp(CVirtSnsPOXlistkw* list);
    // A failure while the records are being filled releases the partly built
    // array at once: no records, numLf 0, numSrc and numSns unchanged.
    int initVoxSnsLfx(std::int64_t nSrc, std::int64_t nSns, std::int64_t nLf);
    std::int64_t getNumSrc() const { return numSrc; }
    std::int64_t getNumSns() const { return numSns; }
    std::int64_t getNumLf() const { return numLf; }
    std::int64_t getNumChnl() const;
    CForwardChnlkw* getFwChnl(bool create);
    CForwardC0SnsCoilskw* getFwChSC();
    CForwardSrckw* getFwPos(bool create);
    CGrid3D* getGrid3D();
    CFISrcSnsLf* getVoxSnsLfx() { return pVoxSnsLfx; }
    CFISrcSnsLf* getVoxSnsLfx4ID(std::int64_t id);
    std::int64_t getCurrentVoxID() const { return curVoxID; }
    int setCurrentVoxID(std::int64_t id);
    std::int64_t nextVoxID(int forward);
    // Walks the manager's counts, clipped to each record's own sensor and
    // value counts (and skipping records or sensors without arrays).
    int setVoxSnsLfx2v(double v);
    std::int64_t getMeanSphere4SnsLocalSpheres(CSpherekw* out, CGrid3D* box);
    int isVoxSnsLfdOk() const;
    int isTangentialLfd() const { return isTangLfd; }
    int cleanVoxSnsLfx();
    int cleanPos();
    int cleanChnl();
    // Releases the volume's voxel array (delete[]) and the volume (delete).
    int cleanAnaVlm();
};

// The forward channel set: one entry per channel of a trial, each in-use
// entry holding a private copy of the channel's MEG sensor and its reference
// weights; the dewar sphere and the nearest-coil search.
#pragma once

#include <cstdint>

#include "forward_data/FieldTypes.h"
#include "host_interfaces/HeadModel.h"
#include "host_interfaces/MagSensor.h"
#include "host_interfaces/Recording.h"
#include "host_interfaces/SourceSpace.h"

// One channel entry. Copies are deep: a copy holds its own sensor copy and
// its own reference weights, so it never releases what the original owns. A
// copy that cannot allocate its sensor is left not in use (snsKind -1), one
// that cannot allocate its weights is left without weights.
class CForwardC0SnsCoilskw {
public:
    std::int64_t snsKind = 0;         // 100..103 measurement, 10..13 reference, -1 not in use
    CMEGSensorkw* pMEGSns = nullptr;  // owned copy of the channel's sensor
    std::int64_t numRefCoef = 0;
    REFCOEF* pRefCoef = nullptr;      // owned, numRefCoef entries
    std::int64_t chnlID = 0;          // index of the channel in the trial

    CForwardC0SnsCoilskw() = default;
    CForwardC0SnsCoilskw(const CForwardC0SnsCoilskw& other);
    CForwardC0SnsCoilskw& operator=(const CForwardC0SnsCoilskw& other);
    ~CForwardC0SnsCoilskw();

    int setChnl2FwdSns(CMDChannelkw* ch, std::int64_t idx);
    int isMEGMeasureSns() const;
    int isMEGReferenceSns() const;
    int isMEGSns() const;
    int cleanCoils();
    int reset();
};

// The channel set. Copies are deep (every entry with its sensor copy and
// weights); the recording and the trial are shared, as they belong to the
// host. A copy that cannot allocate its entries is left empty.
class CForwardChnlkw {
public:
    CForwardC0SnsCoilskw* pSnsCoils = nullptr;  // owned, numChnl entries
    std::int64_t numChnl = 0;
    std::int64_t numMeaSns = 0;
    std::int64_t numRefSns = 0;
    CSpherekw dewarSphere;
    CGrid3D coilBox;
    CMEGDatakw* pMEGData = nullptr;   // not owned
    CMDTrialkw* pTrial = nullptr;     // not owned
    std::int32_t isGoodChnlOnly = 1;
    std::int32_t isWithRefSns = 0;
    std::int32_t coordMode = 0;       // 0 host axes, 1 Matlab axes
    std::int32_t unitMode = 0;        // 0 mm, 2 multiplied by the spatial-unit factor
    std::int32_t dataKind = 0;        // 0 time data, 1 spectrum, 2 cross-spectrum

    CForwardChnlkw() = default;
    CForwardChnlkw(const CForwardChnlkw& other);
    CForwardChnlkw& operator=(const CForwardChnlkw& other);
    ~CForwardChnlkw();

    int initChnl(CMEGDatakw* data, CMDTrialkw* trial, int dataKind, int goodChnlOnly, int withRefSns);
    int updateChnl();
    int updateChnl01Basic();
    int updateChnl02Spctm();
    int updateChnl03Cxc();
    int updateDewarCnt();
    CBscMagSnskw* findNearestCoil4Src(MAGFIELD* fld);
    CMEGSensorkw* getMEGSns4ChnlID(std::int64_t id);
    int resetModes();
    int cleanSnsCoils();

private:
    int buildEntries(int builder);  // the frame shared by the three builders
};

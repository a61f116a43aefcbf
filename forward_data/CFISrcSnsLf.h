// Leadfield records: one source record per source, holding one sensor record
// per MEG measurement sensor.
#pragma once

#include <cstdint>

#include "forward_data/FieldTypes.h"
#include "host_interfaces/Decomposition.h"
#include "host_interfaces/MatrixOps.h"

// Leadfield values of one sensor for one source.
class CFISnsLf {
public:
    std::int64_t chnlID = -1;   // index of the sensor's channel entry
    std::int64_t snsID = -1;    // running index among the measurement sensors
    std::int64_t numLf = 0;     // number of values in pLf
    double* pLf = nullptr;      // owned: one value per component
    double lfStrength = 1.0;    // RMS of the values
    double bcmp = 0.0;          // field value for the source's current moment
    double lfVB = 0.0;          // projection on the SVD orientation vector

    CFISnsLf() = default;
    CFISnsLf(const CFISnsLf& other);
    CFISnsLf& operator=(const CFISnsLf& other);
    ~CFISnsLf();

    int initLf(std::int64_t n);
    double getLf(std::int64_t k) const;
    int setLf(std::int64_t k, double v);
    int applyGain2Lf(double g);
    int computLfStength();
    int cleanGfs();
};

// Leadfields of one source over all sensors, with the source's basis, field
// point, scan flag, mode words and decomposition holders.
class CFISrcSnsLf {
public:
    R3Q3x3 srcBasis;
    MAGFIELD srcField;
    std::int64_t numSns = 0;
    std::int64_t numLf = 0;
    CFISnsLf* pSnsLf = nullptr;   // owned, numSns records
    std::int32_t isVoxIn = 1;     // 1: the source takes part in the scan
    std::int32_t coordMode = 0;   // 0 host axes, 1 Matlab axes
    std::int32_t unitMode = 0;    // 0 mm, 2 multiplied by the spatial-unit factor
    CMMatrix2Dkw* pInvLf = nullptr;
    CDataSvdkw* pSvd = nullptr;
    CDataLUkw* pLU = nullptr;
    CDataQRkw* pQR = nullptr;

    CFISrcSnsLf() = default;
    CFISrcSnsLf(const CFISrcSnsLf& other);
    CFISrcSnsLf& operator=(const CFISrcSnsLf& other);
    ~CFISrcSnsLf();

    // Rebuilds the sensor records: nSns records of nLf zeros. On failure no
    // sensor records are left and numSns, numLf keep their old values.
    int initSnsLfx(std::int64_t nSns, std::int64_t nLf);
    CDataSvdkw* initSrcSvdData(std::int64_t m, std::int64_t n);
    int setleadfield2SVDu();
    int resetAllSnsLf2V(double v);
    int resetAllSnsBcmp2V(double v);
    int computSrcLfStength();
    int copySrcInfo(CFISrcSnsLf* other);
    int resetFlagModes();
    int checkSnsLf(std::int64_t nSns, std::int64_t nLf) const;
    int isVoxOut() const { return isVoxIn == 0; }
    int cleanSnsLfx();
    int cleanSvdata();
    int cleanInvLfDat();
    int cleanLUDat();
    int cleanQRDat();
    int cleanAll();

private:
    friend class CMDataForwardkw;
    friend struct CFISrcSnsLfInspect;  // unit tests reach the projections through it
    double getVBcmpS(std::int64_t s);
    int getVBcmpAB(std::int64_t& n, double* out);
    double* getVBcmpAll();
};

// The recorded data: a recording of trials, a trial of channels, a channel
// with its sensor kind, MEG sensor, reference weights and spectrum, and a
// trial's coherence (cross-spectrum) data.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host_interfaces/Afx.h"
#include "host_interfaces/MagSensor.h"

// One reference weight of a channel: the coefficient with which reference
// channel `chnlIdx` (named `refName`) is subtracted from it.
struct REFCOEF {
    double coef = 0.0;
    int chnlIdx = 0;
    CString refName;
};

// Sensor kind codes of a channel.
namespace megfwd::kind {
constexpr int kMeasureFirst = 100;  // 100..103: MEG measurement sensors
constexpr int kMeasureLast = 103;
constexpr int kReferenceFirst = 10; // 10..13: MEG reference sensors
constexpr int kReferenceLast = 13;
constexpr int kMagnetometer = 100;
constexpr int kAxialGradiometer1 = 101;
constexpr int kAxialGradiometer2 = 102;
constexpr int kRefMagnetometer = 10;
constexpr int kRefGradiometer = 11;
constexpr int kEEG = 200;           // an example of a non-MEG channel
inline bool isMeasure(std::int64_t k) { return k >= kMeasureFirst && k <= kMeasureLast; }
inline bool isReference(std::int64_t k) { return k >= kReferenceFirst && k <= kReferenceLast; }
}  // namespace megfwd::kind

class CMDChannel0SensorInfo {
public:
    int snsKind = -1;                 // sensor kind code
    CMEGSensorkw* pMEGSns = nullptr;  // owned; null: no sensor
    int numRefCoef = 0;               // reference weights
    REFCOEF* pRefCoef = nullptr;      // owned, numRefCoef entries
    int isGood = 1;                   // good in this trial
    CString chnlName;

    int isMEGChannel() const { return isMEGMeasureChannel() || isMEGReferenceChannel(); }
    int isMEGMeasureChannel() const { return megfwd::kind::isMeasure(snsKind); }
    int isMEGReferenceChannel() const { return megfwd::kind::isReference(snsKind); }
};

// Spectrum data of a channel (only its presence matters to the library).
struct CSpctmChnlA {
    std::vector<double> values;
};

class CMDChannel1Spctm : public CMDChannel0SensorInfo {
public:
    std::unique_ptr<CSpctmChnlA> spectrum;
    // The channel's spectrum, null when it has none (or, with create, a new
    // empty one).
    CSpctmChnlA* getSpctmChnlA(bool create);
};

class CMDChannelkw : public CMDChannel1Spctm {
public:
    CMDChannelkw() = default;
    CMDChannelkw(const CMDChannelkw& other);
    CMDChannelkw& operator=(const CMDChannelkw& other);
    ~CMDChannelkw();

    // Gives the channel a copy of `sensor` (replacing any earlier one).
    void setSensor(const CMEGSensorkw& sensor);
    void clearSensor();
    // Replaces the reference weights.
    void setRefCoefs(const std::vector<REFCOEF>& coefs);
};

// Coherence data of a trial: the channels it lists.
struct CSnsCohChnlRec {
    std::int64_t chnlIdx = 0;
};

class CSnsCohDatakw {
public:
    std::int64_t numChnl = 0;
    CSnsCohChnlRec** ppChnl = nullptr;

    CSnsCohDatakw() = default;
    CSnsCohDatakw(const CSnsCohDatakw& other) { setChannels(other.indices()); }
    CSnsCohDatakw& operator=(const CSnsCohDatakw& other) {
        if (this != &other) setChannels(other.indices());
        return *this;
    }
    void setChannels(const std::vector<std::int64_t>& channelIndices);
    std::vector<std::int64_t> indices() const;

private:
    std::vector<CSnsCohChnlRec> recs;
    std::vector<CSnsCohChnlRec*> ptrs;
};

class CSnsCohFace {
public:
    CSnsCohDatakw data;
    int hasData = 0;
    // The coherence data (index 0 only); null when there is none.
    CSnsCohDatakw* getCoherenceData(int index) { return index == 0 && hasData ? &data : nullptr; }
};

class CSnsCohFacekw : public CSnsCohFace {};

class CMDTrial {
public:
    CMDTrial() = default;
    CMDTrial(const CMDTrial& other);
    CMDTrial& operator=(const CMDTrial& other);
    virtual ~CMDTrial() = default;

    int getTotalChannel() const { return static_cast<int>(channels.size()); }
    // Array of getTotalChannel() channel pointers, null when there is none.
    CMDChannelkw** getAllChannelPt() { return ptrs.empty() ? nullptr : ptrs.data(); }
    CMDChannelkw* getChannel(int i) { return i >= 0 && i < getTotalChannel() ? ptrs[static_cast<std::size_t>(i)] : nullptr; }
    // Appends a copy of `ch`; returns the trial's channel.
    CMDChannelkw* addChannel(const CMDChannelkw& ch);

private:
    std::vector<std::unique_ptr<CMDChannelkw>> channels;
    std::vector<CMDChannelkw*> ptrs;
};

class CMDTrial7Coh01TimeData : public CMDTrial {
public:
    std::unique_ptr<CSnsCohFacekw> cohFace;
    CMDTrial7Coh01TimeData() = default;
    CMDTrial7Coh01TimeData(const CMDTrial7Coh01TimeData& other);
    CMDTrial7Coh01TimeData& operator=(const CMDTrial7Coh01TimeData& other);
    // The trial's coherence face; null when it has none (with create, a new
    // empty one is made).
    CSnsCohFacekw* getCoherenceFacekwTime(bool create);
};

class CMDTrialkw : public CMDTrial7Coh01TimeData {};

class CMEGData2Process {
public:
    CMEGData2Process() = default;
    CMEGData2Process(const CMEGData2Process& other);
    CMEGData2Process& operator=(const CMEGData2Process& other);
    virtual ~CMEGData2Process() = default;

    // Non-zero when channel `channel` exists and is good in every trial; 0
    // for a recording without trials.
    int isGoodChnl4Alltrials(int channel) const;
    int getNumTrials() const { return static_cast<int>(trials.size()); }
    CMDTrialkw* getTrial(int i) { return i >= 0 && i < getNumTrials() ? trials[static_cast<std::size_t>(i)].get() : nullptr; }
    CMDTrialkw* addTrial(const CMDTrialkw& trial);

private:
    std::vector<std::unique_ptr<CMDTrialkw>> trials;
};

class CMEGDatakw : public CMEGData2Process {};

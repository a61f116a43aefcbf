#include "host_interfaces/Recording.h"

CSpctmChnlA* CMDChannel1Spctm::getSpctmChnlA(bool create) {
    if (!spectrum && create) spectrum = std::make_unique<CSpctmChnlA>();
    return spectrum.get();
}

CMDChannelkw::CMDChannelkw(const CMDChannelkw& other) { *this = other; }

CMDChannelkw& CMDChannelkw::operator=(const CMDChannelkw& other) {
    if (this == &other) return *this;
    snsKind = other.snsKind;
    isGood = other.isGood;
    chnlName = other.chnlName;
    if (other.pMEGSns)
        setSensor(*other.pMEGSns);
    else
        clearSensor();
    setRefCoefs(std::vector<REFCOEF>(other.pRefCoef, other.pRefCoef + (other.pRefCoef ? other.numRefCoef : 0)));
    spectrum = other.spectrum ? std::make_unique<CSpctmChnlA>(*other.spectrum) : nullptr;
    return *this;
}

CMDChannelkw::~CMDChannelkw() {
    clearSensor();
    delete[] pRefCoef;
}

void CMDChannelkw::setSensor(const CMEGSensorkw& sensor) {
    auto* copy = new CMEGSensorkw(sensor);
    delete pMEGSns;
    pMEGSns = copy;
}

void CMDChannelkw::clearSensor() {
    delete pMEGSns;
    pMEGSns = nullptr;
}

void CMDChannelkw::setRefCoefs(const std::vector<REFCOEF>& coefs) {
    REFCOEF* arr = coefs.empty() ? nullptr : new REFCOEF[coefs.size()];
    for (std::size_t i = 0; i < coefs.size(); ++i) arr[i] = coefs[i];
    delete[] pRefCoef;
    pRefCoef = arr;
    numRefCoef = static_cast<int>(coefs.size());
}

void CSnsCohDatakw::setChannels(const std::vector<std::int64_t>& channelIndices) {
    recs.clear();
    for (auto idx : channelIndices) recs.push_back(CSnsCohChnlRec{idx});
    ptrs.clear();
    for (auto& r : recs) ptrs.push_back(&r);
    numChnl = static_cast<std::int64_t>(recs.size());
    ppChnl = ptrs.empty() ? nullptr : ptrs.data();
}

std::vector<std::int64_t> CSnsCohDatakw::indices() const {
    std::vector<std::int64_t> out;
    for (const auto& r : recs) out.push_back(r.chnlIdx);
    return out;
}

CMDTrial::CMDTrial(const CMDTrial& other) { *this = other; }

CMDTrial& CMDTrial::operator=(const CMDTrial& other) {
    if (this == &other) return *this;
    channels.clear();
    ptrs.clear();
    for (const auto& c : other.channels) addChannel(*c);
    return *this;
}

CMDChannelkw* CMDTrial::addChannel(const CMDChannelkw& ch) {
    channels.push_back(std::make_unique<CMDChannelkw>(ch));
    ptrs.push_back(channels.back().get());
    return channels.back().get();
}

CMDTrial7Coh01TimeData::CMDTrial7Coh01TimeData(const CMDTrial7Coh01TimeData& other) : CMDTrial(other) {
    cohFace = other.cohFace ? std::make_unique<CSnsCohFacekw>(*other.cohFace) : nullptr;
}

CMDTrial7Coh01TimeData& CMDTrial7Coh01TimeData::operator=(const CMDTrial7Coh01TimeData& other) {
    if (this == &other) return *this;
    CMDTrial::operator=(other);
    cohFace = other.cohFace ? std::make_unique<CSnsCohFacekw>(*other.cohFace) : nullptr;
    return *this;
}

CSnsCohFacekw* CMDTrial7Coh01TimeData::getCoherenceFacekwTime(bool create) {
    if (!cohFace && create) cohFace = std::make_unique<CSnsCohFacekw>();
    return cohFace.get();
}

CMEGData2Process::CMEGData2Process(const CMEGData2Process& other) { *this = other; }

CMEGData2Process& CMEGData2Process::operator=(const CMEGData2Process& other) {
    if (this == &other) return *this;
    trials.clear();
    for (const auto& t : other.trials) addTrial(*t);
    return *this;
}

int CMEGData2Process::isGoodChnl4Alltrials(int channel) const {
    if (trials.empty()) return 0;
    for (const auto& t : trials) {
        CMDChannelkw* ch = t->getChannel(channel);
        if (!ch || !ch->isGood) return 0;
    }
    return 1;
}

CMDTrialkw* CMEGData2Process::addTrial(const CMDTrialkw& trial) {
    trials.push_back(std::make_unique<CMDTrialkw>(trial));
    return trials.back().get();
}

#include "host_interfaces/MagSensor.h"

void CBscMagSns::setCoil(const double pos[3], const double normal[3], double radius, int turns, double weight) {
    for (int i = 0; i < 3; ++i) {
        coilPos[i] = pos[i];
        coilOrient[i] = normal[i];
        coilNormal[i] = normal[i];
    }
    coilRadius = radius;
    nTurns = turns;
    magApha = weight;
}

CMEGSensor::CMEGSensor(const CMEGSensor& other) { *this = other; }

CMEGSensor& CMEGSensor::operator=(const CMEGSensor& other) {
    if (this == &other) return *this;
    isW12Set = other.isW12Set;
    w12Order = other.w12Order;
    numW12Pts = other.numW12Pts;
    for (int i = 0; i < 12; ++i) w12Wt[i] = other.w12Wt[i];
    for (int i = 0; i < 4; ++i) localSphere[i] = other.localSphere[i];
    sensorGain = other.sensorGain;
    sensorName = other.sensorName;
    std::vector<std::unique_ptr<CBscMagSnskw>> copy;
    copy.reserve(other.coils.size());
    for (const auto& c : other.coils) copy.push_back(c ? std::make_unique<CBscMagSnskw>(*c) : nullptr);
    coils = std::move(copy);
    return *this;
}

CBscMagSnskw* CMEGSensor::getCoil(int i) const {
    if (i < 0 || i >= static_cast<int>(coils.size())) return nullptr;
    return coils[static_cast<std::size_t>(i)].get();
}

CBscMagSnskw* CMEGSensor::addCoil(const CBscMagSnskw& coil) {
    coils.push_back(std::make_unique<CBscMagSnskw>(coil));
    return coils.back().get();
}

void CMEGSensor::addEmptyCoilSlot() { coils.push_back(nullptr); }

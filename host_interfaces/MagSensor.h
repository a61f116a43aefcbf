// MEG sensors and their pickup coils.
//
// A sensor owns its coils. A coil is a flat disk: centre, normal, radius,
// signed number of turns (its factor in the CTF sensor model) and a weight
// (its factor in the standard sensor models). The integration data of a coil
// (points and one value slot per point) and of a sensor (weights) are written
// by the forward engine on first use.
#pragma once

#include <memory>
#include <vector>

#include "host_interfaces/Afx.h"

// One integration point of a coil and the value computed there.
struct B12PT {
    double pos[3] = {0.0, 0.0, 0.0};
    double val[3] = {0.0, 0.0, 0.0};
};

class CBscMagSns {
public:
    // Centre of the coil, followed directly by its radius: the radius is the
    // "fourth double" after the centre that every change of spatial unit
    // scales together with the centre, so the coil disk keeps its size
    // relative to the geometry in any unit.
    double coilPos[3] = {0.0, 0.0, 0.0};
    double coilRadius = 0.0;
    // The coil's orientation as the host gave it; the coordinate changes
    // convert it together with coilPos.
    double coilOrient[3] = {0.0, 0.0, 1.0};
    // Normal of the coil plane used by every field computation (normalised in
    // place when integration points are made).
    double coilNormal[3] = {0.0, 0.0, 1.0};
    B12PT b12Pts[12];
    int isB12Set = 0;
    int nTurns = 1;        // signed number of turns: the coil's factor in the CTF model
    double magApha = 1.0;  // the coil's weight in the standard sensor models
    CString coilName;

    // Centre x, y, z.
    void getCoilPositionD(double& x, double& y, double& z) const {
        x = coilPos[0];
        y = coilPos[1];
        z = coilPos[2];
    }
    double getMagApha() const { return magApha; }

    // Sets centre, orientation and normal (both from `normal`), radius, turns
    // and weight in one call.
    void setCoil(const double pos[3], const double normal[3], double radius, int turns, double weight);
};

class CBscMagSnskw : public CBscMagSns {};

class CMEGSensor {
public:
    // Integration weights (written by the engine): one weight per point of
    // every coil of the sensor.
    int isW12Set = 0;
    int w12Order = 0;
    int numW12Pts = 0;
    double w12Wt[12] = {};
    // Local sphere of the sensor: centre x, y, z and radius.
    double localSphere[4] = {0.0, 0.0, 0.0, 0.0};
    double sensorGain = 1.0;
    CString sensorName;

    CMEGSensor() = default;
    CMEGSensor(const CMEGSensor& other);
    CMEGSensor& operator=(const CMEGSensor& other);  // deep copy of the coils
    ~CMEGSensor() = default;

    int getTotalCoils() const { return static_cast<int>(coils.size()); }
    // The i-th coil, or null for an index out of range or an empty slot.
    CBscMagSnskw* getCoil(int i) const;
    double getSensorGain() const { return sensorGain; }
    int isW12Evaluate() const { return isW12Set != 0; }

    // Appends a copy of `coil` and returns the sensor's own coil.
    CBscMagSnskw* addCoil(const CBscMagSnskw& coil);
    // Appends an empty coil slot (getCoil returns null for it).
    void addEmptyCoilSlot();
    void clearCoils() { coils.clear(); }

private:
    std::vector<std::unique_ptr<CBscMagSnskw>> coils;
};

class CMEGSensorkw : public CMEGSensor {};

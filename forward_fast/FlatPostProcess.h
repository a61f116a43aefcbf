// The post-processing of leadfields held in one flat array (source, sensor,
// component), with the same results as the manager's own operations on its
// records: the axis restore of postScanLfProcess (values in Matlab axes
// back to host axes; two tangential components exchanged), the sensor-gain
// signs of _21ApplySnsGain, the unit leadfield of _22unitVoxSnsLf and the
// root-mean-square normalisation of normVoxSnsLfd_rootMeanSquare. The unit
// restore changes geometry only, so the values need nothing for it.
//
// The local steps (axes, signs) work on any block of sources; the two
// divisions need a scale over all values, which the accumulators below
// gather block by block in the manager's order, so a leadfield computed in
// blocks gets the same numbers as one held whole.
#pragma once

#include <cstdint>

#include "forward_process/CMDataForwardkw.h"

class CFlatPostProcess {
public:
    int numSns = 0;
    int numLf = 0;
    int isRestoreAxes = 0;     // isRestoreCoord: values of sources in Matlab axes go back
    int isApplySigns = 0;      // isApplySnsGain
    int isUnitLf = 0;          // isUnitLf
    double* pSign = nullptr;   // owned, numSns: -1 for a sensor without positive gain, else 1
    int numNegative = 0;       // sensors whose sign is -1 (none: the signs change nothing)

    CFlatPostProcess() = default;
    ~CFlatPostProcess() { delete[] pSign; }
    CFlatPostProcess(const CFlatPostProcess&) = delete;
    CFlatPostProcess& operator=(const CFlatPostProcess&) = delete;

    // Reads the flags and the sensor signs from a prepared manager (its
    // first source record names the sensors, as _21ApplySnsGain reads them).
    // 0 when the manager could not be post-processed: with sensor gains on,
    // no source record, no sensors or no channel set, as _21ApplySnsGain
    // refuses; or an allocation failure.
    int read(const CMDataForwardkw& data);

    // Axis restore and sensor signs on `count` sources of values, in place.
    // coordModes: each source record's coordinate mode (1: Matlab axes);
    // null means all in host axes.
    void applyLocal(double* values, std::int64_t count, const std::int32_t* coordModes) const;
};

namespace megfwd::fast {

// Largest magnitude of n values, at least `m`.
double maxAbs(const double* values, std::int64_t n, double m = 0.0);

// Divides n values by s.
void divideAll(double* values, std::int64_t n, double s);

// The unit leadfield's scale check: 1 when m > 0, else the manager's message
// "The range of leadfield is zero!" and 0.
int checkUnitRange(double m);

// The root mean square of the manager's normalisation: per source the sum of
// squares over its numSns x numLf values divided by that count, averaged
// over the sources. add() takes blocks of whole sources in source order.
class RmsAccumulator {
public:
    RmsAccumulator(std::int64_t numSns, std::int64_t numLf) : numSns(numSns), numLf(numLf) {}
    void add(const double* values, std::int64_t count);
    // The same for `count` sources of an array of any axis order: source i's
    // value of sensor j, component c is values[i * sourceStride + j *
    // sensorStride + c]. The squares are added in the same order as add()
    // adds them, so every layout gives the same scale to the bit.
    void add(const double* values, std::int64_t count, std::int64_t sourceStride, std::int64_t sensorStride);
    // The scale; 0 with the manager's message "RMS value in leadfields is
    // smaller than zero!?" when it is not above 0.
    int scale(double& r) const;

private:
    std::int64_t numSns, numLf;
    double meanSq = 0.0;
    std::int64_t numSrc = 0;
};

}  // namespace megfwd::fast

// Leadfield normalisation: divides the leadfields of all sources by one
// common scale (or one scale per component).
#pragma once

#include <cstdint>

#include "forward_data/CMDataForward.h"

class CMDataForward01BscPrcs : public CMDataForward {
public:
    // Divides every value by the root of the mean square over all values
    // (each source's mean square first, then the mean over the sources) and
    // sets isLfNormalized. A scale that is not above 0 shows "RMS value in
    // leadfields is smaller than zero!?" and returns 0 with nothing changed.
    int normVoxSnsLfd_rootMeanSquare();

protected:
    // Calls fn(component, value&) for every leadfield value, walking the
    // manager's counts (sources, sensors, components) but never past a
    // record's own arrays: a source without sensor records, a sensor record
    // without values and counts beyond a record's own are skipped.
    template <class F>
    void forEachLfValue(F&& fn) {
        if (!pVoxSnsLfx) return;
        for (std::int64_t i = 0; i < numSrc; ++i) {
            CFISrcSnsLf& src = pVoxSnsLfx[i];
            if (!src.pSnsLf) continue;
            const std::int64_t nSns = numSns < src.numSns ? numSns : src.numSns;
            for (std::int64_t k = 0; k < nSns; ++k) {
                CFISnsLf& sns = src.pSnsLf[k];
                if (!sns.pLf) continue;
                const std::int64_t nLf = numLf < sns.numLf ? numLf : sns.numLf;
                for (std::int64_t j = 0; j < nLf; ++j) fn(j, sns.pLf[j]);
            }
        }
    }

    // The common precondition of the normalisations: records present and
    // every manager count at least 1.
    int isNormalisable() const { return pVoxSnsLfx && numSrc >= 1 && numSns >= 1 && numLf >= 1; }

private:
    friend struct CMDataForward01BscPrcsProbe;  // unit tests reach the variants through it

    // Divides every value by the largest magnitude; "extrem value in
    // leadfields is smaller than zero!?" when it is not above 0.
    int normVoxSnsLfd_Extrm();
    // Divides each component by its own largest magnitude, for at most three
    // components per sensor. More than three components are refused (0, no
    // message, values unchanged): the maxima are held for three components
    // only and the records never hold more.
    int normVoxSnsLfd_Extrm3();
    // Divides every value by the mean absolute value; "sum value in
    // leadfields is smaller than zero!?" when the sum is not above 0.
    int normVoxSnsLfd_SumSqrt();
};

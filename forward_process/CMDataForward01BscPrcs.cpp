#include "forward_process/CMDataForward01BscPrcs.h"

#include <cmath>

#include "host_interfaces/Afx.h"

// Every variant computes its scale over all values first, tests it, and only
// then divides; a failed test leaves every value as it was. "Not above 0" is
// written as !(scale > 0) so that a scale that is not a number fails too.

int CMDataForward01BscPrcs::normVoxSnsLfd_rootMeanSquare() {
    if (!isNormalisable()) return 0;
    // Each source's sum of squares over numSns x numLf values, divided by
    // that count, then the mean over the sources.
    const double perSource = static_cast<double>(numSns) * static_cast<double>(numLf);
    double meanSq = 0.0;
    for (std::int64_t i = 0; i < numSrc; ++i) {
        const CFISrcSnsLf& src = pVoxSnsLfx[i];
        double sum = 0.0;
        if (src.pSnsLf) {
            const std::int64_t nSns = numSns < src.numSns ? numSns : src.numSns;
            for (std::int64_t k = 0; k < nSns; ++k) {
                const CFISnsLf& sns = src.pSnsLf[k];
                if (!sns.pLf) continue;
                const std::int64_t nLf = numLf < sns.numLf ? numLf : sns.numLf;
                for (std::int64_t j = 0; j < nLf; ++j) sum += sns.pLf[j] * sns.pLf[j];
            }
        }
        meanSq += sum / perSource;
    }
    const double r = std::sqrt(meanSq / static_cast<double>(numSrc));
    if (!(r > 0.0)) {
        AfxMessageBox("RMS value in leadfields is smaller than zero!?", MB_OK, 0);
        return 0;
    }
    forEachLfValue([r](std::int64_t, double& v) { v /= r; });
    isLfNormalized = 1;
    return 1;
}

int CMDataForward01BscPrcs::normVoxSnsLfd_Extrm() {
    if (!isNormalisable()) return 0;
    double m = 0.0;
    forEachLfValue([&m](std::int64_t, double& v) {
        if (std::fabs(v) > m) m = std::fabs(v);
    });
    if (!(m > 0.0)) {
        AfxMessageBox("extrem value in leadfields is smaller than zero!?", MB_OK, 0);
        return 0;
    }
    forEachLfValue([m](std::int64_t, double& v) { v /= m; });
    return 1;
}

int CMDataForward01BscPrcs::normVoxSnsLfd_Extrm3() {
    if (!isNormalisable()) return 0;
    if (numLf > 3) return 0;  // only three maxima are held
    double m[3] = {0.0, 0.0, 0.0};
    forEachLfValue([&m](std::int64_t j, double& v) {
        if (std::fabs(v) > m[j]) m[j] = std::fabs(v);
    });
    for (std::int64_t j = 0; j < numLf; ++j) {
        if (!(m[j] > 0.0)) {
            AfxMessageBox("extrem value in leadfields is smaller than zero!?", MB_OK, 0);
            return 0;
        }
    }
    forEachLfValue([&m](std::int64_t j, double& v) { v /= m[j]; });
    return 1;
}

int CMDataForward01BscPrcs::normVoxSnsLfd_SumSqrt() {
    if (!isNormalisable()) return 0;
    double sum = 0.0;
    forEachLfValue([&sum](std::int64_t, double& v) { sum += std::fabs(v); });
    if (!(sum > 0.0)) {
        AfxMessageBox("sum value in leadfields is smaller than zero!?", MB_OK, 0);
        return 0;
    }
    const double n = static_cast<double>(numSrc) * static_cast<double>(numSns) * static_cast<double>(numLf);
    const double a = sum / n;
    forEachLfValue([a](std::int64_t, double& v) { v /= a; });
    return 1;
}

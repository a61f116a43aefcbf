// A prepared manager on the embedded default system, and comparisons of flat
// leadfields with the records of the engine's own grid scan.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "forward_data/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "host_interfaces/DefaultSystem.h"

namespace megfwd::test {

struct FastCase {
    int isMagSrc = 0;
    int code = 3;
    int snsModel = 1;         // 1 CTF, 0 standard
    bool tangential = false;
    bool refs = true;
    int order = 2;
    int tangRule = 0;
    int sphereModel = 0;
    int coordSystem = 0;
    double spacing = 30.0;    // source grid inside a 75 mm sphere
};

// Engine and manager prepared for a scan of `c`, with one source right
// under a coil (out of the scan).
struct PreparedScan {
    CMEGDatakw recording = demo::makeDefaultRecording(1);
    CMDataForwardkw data;
    CMForwardkw engine;
    explicit PreparedScan(const FastCase& c) {
        engine.isMagSrc = c.isMagSrc;
        engine.coilFwdModel = c.code;
        engine.snsFwdModel = c.snsModel;
        engine.isUseRefSns = c.refs ? 1 : 0;
        engine.orderCoilIntg = c.order;
        engine.tangVectMethod = c.tangRule;
        engine.mu4PiRatio = 1e-7;
        data.isTangLfd = c.tangential ? 1 : 0;
        data.sphereModel = c.sphereModel;
        data.coordSystem = c.coordSystem;
        EXPECT_EQ(data.initFwdChn(&recording, recording.getTrial(0), 0, 1, c.refs ? 1 : 0), 1);
        const double centre[3] = {3.0, 21.0, -2.0};
        CVirtSnsPOXlistkw list = demo::makeSphereSourceList(centre, 75.0, c.spacing);
        list.addPosition(0.0, 112.0, 0.0);
        EXPECT_EQ(data.initFwdPosVsp(&list), 1);
        EXPECT_EQ(data.prepare4VoxSnsLfdScan(c.tangential ? 2 : 3), 1);
    }
    // The records' values in source, sensor, component order.
    std::vector<double> recordValues() const {
        std::vector<double> v;
        for (std::int64_t i = 0; i < data.numSrc; ++i)
            for (std::int64_t j = 0; j < data.numSns; ++j)
                for (std::int64_t k = 0; k < data.numLf; ++k) v.push_back(data.pVoxSnsLfx[i].pSnsLf[j].pLf[k]);
        return v;
    }
    std::size_t size() const { return static_cast<std::size_t>(data.numSrc * data.numSns * data.numLf); }
};

// Largest difference of a sensor's values, relative to the size of that
// sensor's leadfield (the norm of its components; components that nearly
// vanish by symmetry are measured against it), over all sources and sensors.
inline double maxRelativeError(const std::vector<double>& got, const std::vector<double>& want, std::int64_t nLf) {
    double worst = 0.0;
    for (std::size_t r = 0; r + static_cast<std::size_t>(nLf) <= want.size(); r += static_cast<std::size_t>(nLf)) {
        double norm = 0.0, diff = 0.0;
        for (std::int64_t k = 0; k < nLf; ++k) {
            norm += want[r + k] * want[r + k];
            diff = std::max(diff, std::fabs(got[r + k] - want[r + k]));
        }
        norm = std::sqrt(norm);
        if (diff == 0.0) continue;
        worst = std::max(worst, norm > 0.0 ? diff / norm : HUGE_VAL);
    }
    return worst;
}

}  // namespace megfwd::test

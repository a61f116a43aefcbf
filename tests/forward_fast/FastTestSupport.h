// A prepared manager on the embedded default system, and comparisons of flat
// leadfields with the records of the engine's own grid scan.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "forward_api/Compute.h"
#include "forward_process/CMDataForwardkw.h"
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

// The settings of `c`, as a caller of the whole-computation API gives them.
inline SettingOverrides settingsOf(const FastCase& c) {
    SettingOverrides s;
    s.isMagSrc = c.isMagSrc;
    s.coilFwdModel = c.code;
    s.snsFwdModel = c.snsModel;
    s.isUseRefSns = c.refs ? 1 : 0;
    s.orderCoilIntg = c.order;
    s.tangVectMethod = c.tangRule;
    s.mu4PiRatio = 1e-7;
    s.isTangLfd = c.tangential ? 1 : 0;
    s.sphereModel = c.sphereModel;
    s.coordSystem = c.coordSystem;
    return s;
}

// Sources inside a 75 mm sphere and, last, one right under a coil (out of
// the scan).
inline CVirtSnsPOXlistkw sourceListOf(const FastCase& c) {
    const double centre[3] = {3.0, 21.0, -2.0};
    CVirtSnsPOXlistkw list = demo::makeSphereSourceList(centre, 75.0, c.spacing);
    list.addPosition(0.0, 112.0, 0.0);
    return list;
}

// Every row of both formula tables, both sensor models, two and three
// components, with and without references.
inline void forEachFormulaCase(const std::function<void(const FastCase&)>& check) {
    for (int mag : {0, 1})
        for (int code : mag ? std::vector<int>{0, 1, 2, 5} : std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 11})
            for (int model : {1, 0})
                for (bool tangential : {false, true})
                    for (bool refs : {true, false})
                        check({.isMagSrc = mag, .code = code, .snsModel = model, .tangential = tangential, .refs = refs});
}

// Engine and manager prepared for a scan of `c`, with one source right
// under a coil (out of the scan).
struct PreparedScan {
    CMEGDatakw recording = demo::makeDefaultRecording(1);
    CMDataForwardkw data;
    CMForwardkw engine;
    explicit PreparedScan(const FastCase& c) {
        settingsOf(c).applyTo(engine, data);
        EXPECT_EQ(data.initFwdChn(&recording, recording.getTrial(0), 0, 1, c.refs ? 1 : 0), 1);
        CVirtSnsPOXlistkw list = sourceListOf(c);
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

// Flat leadfields (blocks of `perSource` values per source) against the
// records' values: every difference is measured against the largest value of
// its source, the scale of the terms the sums are made of (a single sensor's
// value can nearly cancel, a gradiometer's or a reference-corrected
// channel's, and then has no scale of its own). Fails on different sizes, on
// a value that is not finite, on a non-zero value where the source's records
// are all 0, and when no source has a non-zero value, so that it cannot pass
// on empty or all-zero output.
inline testing::AssertionResult agreesBySource(const std::vector<double>& got, const std::vector<double>& want,
                                               std::int64_t perSource, double tolerance) {
    const auto per = static_cast<std::size_t>(perSource);
    if (per == 0 || got.size() != want.size() || want.size() % per != 0)
        return testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size() << " for blocks of "
                                           << per;
    std::size_t compared = 0, worstAt = 0;
    double worst = 0.0;
    for (std::size_t b = 0; b < want.size(); b += per) {
        double scale = 0.0;
        for (std::size_t k = b; k < b + per; ++k) {
            if (!std::isfinite(got[k]) || !std::isfinite(want[k]))
                return testing::AssertionFailure() << "value " << k << " not finite: " << got[k] << " vs " << want[k];
            scale = std::max(scale, std::fabs(want[k]));
        }
        for (std::size_t k = b; k < b + per; ++k) {
            const double diff = std::fabs(got[k] - want[k]);
            if (scale == 0.0 && diff != 0.0)
                return testing::AssertionFailure() << "value " << k << " is " << got[k] << " for a source of zeros";
            if (scale > 0.0 && diff / scale > worst) worst = diff / scale, worstAt = k;
        }
        compared += scale > 0.0 ? 1 : 0;
    }
    if (compared == 0) return testing::AssertionFailure() << "no source has a non-zero value";
    if (worst > tolerance)
        return testing::AssertionFailure() << "value " << worstAt << " (source " << worstAt / per << "): " << got[worstAt]
                                           << " vs " << want[worstAt] << ", " << worst
                                           << " of the source's largest value";
    return testing::AssertionSuccess() << compared << " sources, worst " << worst;
}

// computeLeadfield of `req` on its record-by-record route and on the fast
// route (2 threads): the same shape and in-scan flags, and values within
// 1e-12 of each source's largest. Returns the fast route's result.
inline ForwardResult expectFastEqualsRecord(const SystemRef& sys, const SourceSpec& src, LeadfieldRequest req) {
    req.recordScan = true;
    const ForwardResult record = computeLeadfield(sys, src, req);
    req.recordScan = false;
    req.threads = 2;
    ForwardResult fast = computeLeadfield(sys, src, req);
    EXPECT_EQ(fast.meta["scan"]["path"], "fast");
    EXPECT_EQ(fast.shape, record.shape);
    EXPECT_EQ(fast.inScan, record.inScan);
    if (fast.shape == record.shape && fast.shape.size() == 3) {
        EXPECT_TRUE(agreesBySource(fast.values, record.values, fast.shape[1] * fast.shape[2], 1e-12));
    }
    return fast;
}

}  // namespace megfwd::test

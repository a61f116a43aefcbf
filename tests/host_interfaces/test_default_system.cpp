// The embedded demonstration system: counts, geometry and reference weights.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "host_interfaces/DefaultSystem.h"

namespace {

using namespace megfwd::demo;

TEST(DefaultSystem, ChannelCountsByKind) {
    CMDTrialkw trial = makeDefaultTrial();
    EXPECT_EQ(trial.getTotalChannel(), kNumMeasurement + kNumReference + kNumOther);
    int meas = 0, ref = 0, other = 0;
    std::set<std::string> names;
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial.getChannel(i);
        names.insert(ch->chnlName);
        if (ch->isMEGMeasureChannel()) ++meas;
        else if (ch->isMEGReferenceChannel()) ++ref;
        else {
            ++other;
            EXPECT_EQ(ch->pMEGSns, nullptr);
        }
    }
    EXPECT_EQ(meas, 275);
    EXPECT_EQ(ref, 29);
    EXPECT_EQ(other, 4);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(trial.getTotalChannel()));  // unique names
    int total = 0;
    for (const auto& kc : countChannelsByKind(trial)) total += kc.count;
    EXPECT_EQ(total, trial.getTotalChannel());
}

TEST(DefaultSystem, GradiometersSitOnTheHelmetWithOutwardBaseline) {
    CMDTrialkw trial = makeDefaultTrial();
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial.getChannel(i);
        if (!ch->isMEGMeasureChannel()) continue;
        ASSERT_NE(ch->pMEGSns, nullptr);
        ASSERT_EQ(ch->pMEGSns->getTotalCoils(), 2);
        const CBscMagSnskw* lo = ch->pMEGSns->getCoil(0);
        const CBscMagSnskw* hi = ch->pMEGSns->getCoil(1);
        const double rLo = std::hypot(lo->coilPos[0], lo->coilPos[1], lo->coilPos[2]);
        const double rHi = std::hypot(hi->coilPos[0], hi->coilPos[1], hi->coilPos[2]);
        EXPECT_NEAR(rLo, kHelmetRadius, 1e-9);
        EXPECT_NEAR(rHi, kHelmetRadius + kBaseline, 1e-9);  // radial normal: 50 mm further out
        EXPECT_EQ(lo->nTurns, 1);
        EXPECT_EQ(hi->nTurns, -1);
        EXPECT_EQ(lo->coilRadius, 9.0);
        EXPECT_GT(lo->coilPos[1], -kHelmetRadius * 0.35);  // nothing below 110 degrees
        // Every measurement channel names existing reference channels.
        ASSERT_GT(ch->numRefCoef, 0);
        for (int r = 0; r < ch->numRefCoef; ++r) {
            const CMDChannelkw* refCh = trial.getChannel(ch->pRefCoef[r].chnlIdx);
            ASSERT_NE(refCh, nullptr);
            EXPECT_TRUE(refCh->isMEGReferenceChannel());
            EXPECT_EQ(refCh->chnlName, ch->pRefCoef[r].refName);
        }
    }
}

TEST(DefaultSystem, SphereSourceListStaysInsideTheSphere) {
    const double c[3] = {0.0, 10.0, 0.0};
    CVirtSnsPOXlistkw list = makeSphereSourceList(c, 75.0, 7.0);
    // About the sphere's volume over the cell volume.
    const double expected = 4.0 / 3.0 * M_PI * 75.0 * 75.0 * 75.0 / (7.0 * 7.0 * 7.0);
    EXPECT_NEAR(static_cast<double>(list.numEntries), expected, expected * 0.05);
    for (const auto& e : list.entries)
        EXPECT_LE(std::hypot(e.pos[0] - c[0], e.pos[1] - c[1], e.pos[2] - c[2]), 75.0 + 1e-9);
    EXPECT_EQ(makeSphereSourceList(c, 75.0, 0.0).numEntries, 0);
}

}  // namespace

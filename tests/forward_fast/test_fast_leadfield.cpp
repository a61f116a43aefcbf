// The fast leadfield path against the record-by-record grid scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FastTestSupport.h"
#include "forward_fast/CFastLeadfield.h"
#include "support/MessageRecorder.h"

namespace {

using megfwd::test::FastCase;
using megfwd::test::PreparedScan;
using megfwd::fast::KernelBuild;

// Runs the record scan and the fast path (vectorised and, unless
// loopsOnly, through the engine's coil members) on two identically prepared
// managers.
void expectSameAsRecordScan(const FastCase& c, bool loopsOnly = false) {
    SCOPED_TRACE(testing::Message() << "mag " << c.isMagSrc << " code " << c.code << " model " << c.snsModel
                                    << (c.tangential ? " 2D" : " 3D") << (c.refs ? " refs" : "") << " order " << c.order
                                    << " rule " << c.tangRule << " sphere " << c.sphereModel << " coord " << c.coordSystem);
    PreparedScan ref(c), fast(c);
    ASSERT_EQ(ref.engine.gridDewarLfd(&ref.data), 1);
    const std::vector<double> want = ref.recordValues();

    std::vector<double> got(fast.size(), -1.0);
    ASSERT_EQ(megfwd::fast::gridDewarLfdFlat(fast.engine, fast.data, got.data(), 2), 1);
    const std::int64_t per = fast.data.numSns * fast.data.numLf;
    EXPECT_TRUE(megfwd::test::agreesBySource(got, want, per, 1e-12));
    // The out-of-scan source (the last) reads 0.
    for (std::size_t k = got.size() - static_cast<std::size_t>(per); k < got.size(); ++k) ASSERT_EQ(got[k], 0.0);
    if (loopsOnly) return;

    // The engine's coil members through the same flat layout.
    CFastLeadfield generic;
    generic.isForceGeneric = 1;
    ASSERT_EQ(generic.build(fast.engine, fast.data), 1);
    std::vector<double> pos, gen(got.size());
    std::vector<std::int32_t> in;
    for (std::int64_t i = 0; i < fast.data.numSrc; ++i) {
        pos.insert(pos.end(), fast.data.pVoxSnsLfx[i].srcField.pos, fast.data.pVoxSnsLfx[i].srcField.pos + 3);
        in.push_back(fast.data.pVoxSnsLfx[i].isVoxIn);
    }
    ASSERT_EQ(generic.compute(pos.data(), in.data(), fast.data.numSrc, gen.data(), 1), 1);
    EXPECT_TRUE(megfwd::test::agreesBySource(gen, want, per, 1e-12));
}

// Each build of the point loops the processor runs, in force for one test.
class EachKernelBuild : public testing::TestWithParam<KernelBuild> {
protected:
    void SetUp() override {
        if (!megfwd::fast::setKernelBuild(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << megfwd::fast::kernelBuildName(GetParam()) << " build";
    }
    void TearDown() override { megfwd::fast::setKernelBuild(before); }
    const KernelBuild before = megfwd::fast::kernelBuild();
};

// Every row of both formula tables, both sensor models, two and three
// components, with and without references. The engine's members through
// the flat layout do not depend on the build: they are run with the plain one.
TEST_P(EachKernelBuild, EqualsRecordScanForEveryFormulaAndSensorModel) {
    ASSERT_STREQ(megfwd::fast::kernelBuildName(), megfwd::fast::kernelBuildName(GetParam()));
    for (int mag : {0, 1})
        for (int code : mag ? std::vector<int>{0, 1, 2, 5} : std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 11})
            for (int model : {1, 0})
                for (bool tangential : {false, true})
                    for (bool refs : {true, false})
                        expectSameAsRecordScan(
                            {.isMagSrc = mag, .code = code, .snsModel = model, .tangential = tangential, .refs = refs},
                            GetParam() != KernelBuild::X86_64);
}

INSTANTIATE_TEST_SUITE_P(FastLeadfield, EachKernelBuild, testing::ValuesIn(megfwd::fast::kAllKernelBuilds),
                         [](const testing::TestParamInfo<KernelBuild>& info) {
                             std::string name = megfwd::fast::kernelBuildName(info.param);
                             std::erase(name, '-');
                             return name;
                         });

TEST(FastLeadfield, KernelBuildsAreNamedAsTheyAreChosen) {
    for (KernelBuild b : megfwd::fast::kAllKernelBuilds) {
        KernelBuild back = KernelBuild::X86_64;
        EXPECT_TRUE(megfwd::fast::kernelBuildByName(megfwd::fast::kernelBuildName(b), &back));
        EXPECT_EQ(back, b);
    }
    for (const char* name : {"", "AVX2", "avx", "x86-64-v4", "native"})
        EXPECT_FALSE(megfwd::fast::kernelBuildByName(name, nullptr)) << name;
    EXPECT_FALSE(megfwd::fast::kernelBuildByName(nullptr, nullptr));
    EXPECT_TRUE(megfwd::fast::isKernelBuildSupported(KernelBuild::X86_64));
    EXPECT_TRUE(megfwd::fast::isKernelBuildSupported(megfwd::fast::kernelBuild()));
}

TEST(FastLeadfield, EqualsRecordScanForOrdersSpheresAxesAndTangentRules) {
    for (int order : {1, 3, 4, 5, 7}) expectSameAsRecordScan({.order = order, .spacing = 40.0});
    for (int rule : {1, 2, 3})  // tangential directions, unnormalised with the Nut rule
        for (int model : {1, 0}) expectSameAsRecordScan({.snsModel = model, .tangential = true, .tangRule = rule});
    for (int sphere : {1, 2, 3})  // one sphere per sensor with models 2 and 3
        for (int model : {1, 0}) expectSameAsRecordScan({.code = 4, .snsModel = model, .sphereModel = sphere});
    expectSameAsRecordScan({.code = 6, .tangential = true, .tangRule = 1, .coordSystem = 1});
}

TEST(FastLeadfield, OneThreadEqualsManyBitForBit) {
    PreparedScan s({.spacing = 20.0});
    std::vector<double> one(s.size()), many(s.size());
    ASSERT_EQ(megfwd::fast::gridDewarLfdFlat(s.engine, s.data, one.data(), 1), 1);
    ASSERT_EQ(megfwd::fast::gridDewarLfdFlat(s.engine, s.data, many.data(), 3), 1);
    EXPECT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(double)), 0);
}

TEST(FastLeadfield, FailsWhereTheRecordScanFails) {
    // A source exactly at a coil centre (no stencil): the Nut form has no
    // value there and fails the scan; the scalar form gives zeros and goes on.
    for (int code : {3, 0}) {
        const FastCase c{.code = code, .snsModel = 0, .refs = false};
        PreparedScan ref(c), fast(c);
        for (PreparedScan* s : {&ref, &fast}) {
            s->data.isSpatConstrained = 0;
            s->data.isCentralizedLf = 0;
            CVirtSnsPOXlistkw list;
            list.addPosition(0.0, 0.0, 0.0);
            const double* p = s->data.pFwdChnl->pSnsCoils[s->data.pFwdChnl->numChnl - 10].pMEGSns->getCoil(0)->coilPos;
            list.addPosition(p[0], p[1], p[2]);
            ASSERT_EQ(s->data.initFwdPosVsp(&list), 1);
            ASSERT_EQ(s->data.prepare4VoxSnsLfdScan(3), 1);
        }
        std::vector<double> got(fast.size());
        const int want = ref.engine.gridDewarLfd(&ref.data);
        EXPECT_EQ(want, code == 3 ? 0 : 1);
        EXPECT_EQ(megfwd::fast::gridDewarLfdFlat(fast.engine, fast.data, got.data(), 2), want) << code;
    }
    // A bad integration order: the scans' message, and failure.
    PreparedScan s({});
    s.engine.orderCoilIntg = 6;
    megfwd::test::MessageRecorder messages;
    std::vector<double> got(s.size());
    EXPECT_EQ(megfwd::fast::gridDewarLfdFlat(s.engine, s.data, got.data(), 1), 0);
    ASSERT_EQ(messages.messages().size(), 1u);
}

TEST(FastLeadfield, AllocationFailuresFailCleanly) {
    PreparedScan s({.spacing = 40.0});
    std::vector<double> pos, out(s.size());
    for (std::int64_t i = 0; i < s.data.numSrc; ++i)
        pos.insert(pos.end(), s.data.pVoxSnsLfx[i].srcField.pos, s.data.pVoxSnsLfx[i].srcField.pos + 3);
    int k = 0;
    for (;; ++k) {
        CFastLeadfield plan;
        megfwd::alloc::failAfter(k);
        const int built = plan.build(s.engine, s.data);
        megfwd::alloc::reset();
        if (built) break;
        EXPECT_EQ(plan.numPts, 0) << k;
        ASSERT_LT(k, 100);
    }
    EXPECT_GT(k, 5);
    CFastLeadfield plan;
    ASSERT_EQ(plan.build(s.engine, s.data), 1);
    megfwd::alloc::failAfter(0);  // no scratch memory for the thread
    EXPECT_EQ(plan.compute(pos.data(), nullptr, s.data.numSrc, out.data(), 1), 0);
    megfwd::alloc::reset();
    EXPECT_EQ(plan.compute(pos.data(), nullptr, s.data.numSrc, out.data(), 1), 1);
}

}  // namespace

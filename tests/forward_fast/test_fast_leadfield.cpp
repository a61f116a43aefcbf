// The fast leadfield path's plan against the record-by-record grid scan.
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

// The plan's flat layout with the engine's own coil members (the route of
// the formulas without a vectorised loop, and the check of the loops'
// folded weights and origins) against the record scan of an identically
// prepared manager. The vectorised loops are compared with the record route
// through computeLeadfield (tests/forward_api/test_fast_route.cpp).
void expectEngineMembersSameAsRecordScan(const FastCase& c) {
    SCOPED_TRACE(testing::Message() << "mag " << c.isMagSrc << " code " << c.code << " model " << c.snsModel
                                    << (c.tangential ? " 2D" : " 3D") << (c.refs ? " refs" : ""));
    PreparedScan ref(c), fast(c);
    ASSERT_EQ(ref.engine.gridDewarLfd(&ref.data), 1);
    const std::vector<double> want = ref.recordValues();
    CFastLeadfield generic;
    generic.isForceGeneric = 1;
    ASSERT_EQ(generic.build(fast.engine, fast.data), 1);
    std::vector<double> pos, got(fast.size(), -1.0);
    std::vector<std::int32_t> in;
    for (std::int64_t i = 0; i < fast.data.numSrc; ++i) {
        pos.insert(pos.end(), fast.data.pVoxSnsLfx[i].srcField.pos, fast.data.pVoxSnsLfx[i].srcField.pos + 3);
        in.push_back(fast.data.pVoxSnsLfx[i].isVoxIn);
    }
    ASSERT_EQ(generic.compute(pos.data(), in.data(), fast.data.numSrc, got.data(), 1), 1);
    EXPECT_TRUE(megfwd::test::agreesBySource(got, want, fast.data.numSns * fast.data.numLf, 1e-12));
}

TEST(FastLeadfield, EngineMembersThroughTheFlatLayoutEqualTheRecordScan) {
    megfwd::test::forEachFormulaCase(expectEngineMembersSameAsRecordScan);
}

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

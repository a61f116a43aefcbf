// The single-shell correction inside the fast path's threads: each thread
// corrects its own sources with its own workspace, so any number of
// threads gives the bits of one (and ThreadSanitizer sees the sharing).
#include <gtest/gtest.h>

#include <memory>

#include "forward_api/Compute.h"
#include "head_model/ShellSurfaces.h"
#include "head_model/SingleShell.h"
#include "host_interfaces/DefaultSystem.h"

namespace {

TEST(FastShell, ThreadsGiveTheBitsOfOneThread) {
    CMEGDatakw recording = megfwd::demo::makeDefaultRecording(1);
    megfwd::SystemRef sys{&recording, recording.getTrial(0), "embedded"};
    megfwd::SourceSpec src;
    src.grid = megfwd::GridSpec{{-40, -10, -40}, {40, 60, 40}, 10};
    src.label = "grid";
    megfwd::head::ShellOptions o;
    o.order = 6;
    megfwd::LeadfieldRequest req;
    req.singleShell = std::make_shared<megfwd::head::SingleShell>(
        megfwd::head::SingleShell::make(shelltest::icosphere(2, {70, 80, 84}, {0, 10, 0}), o));
    req.threads = 1;
    const megfwd::ForwardResult one = megfwd::computeLeadfield(sys, src, req);
    req.threads = 3;
    const megfwd::ForwardResult three = megfwd::computeLeadfield(sys, src, req);
    ASSERT_EQ(three.meta["scan"]["path"], "fast");
    ASSERT_TRUE(three.meta.contains("single_shell"));
    EXPECT_EQ(one.values, three.values);
}

}  // namespace

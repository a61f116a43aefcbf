// The single-shell options of the leadfield and field commands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ToolTestSupport.h"
#include "head_model/SingleShell.h"
#include "tools/formats/Npy.h"

using namespace megfwd;
using namespace megfwd::test;

namespace {

std::string shellData(const std::string& name) {
    return std::string(MEGFWD_SOURCE_DIR) + "/tests/head_model/data/ellipsoid_" + name + ".npy";
}

struct ShellFiles {
    ScratchDir dir;
    std::string skull = " --inner-skull " + quote(shellData("vertices")) + " --inner-skull-triangles " +
                        quote(shellData("triangles")) + " --inner-skull-unit m";
    ShellFiles() { EXPECT_EQ(runCli("demo -q --write-sensors " + quote(dir / "helmet.json"), dir).code, 0); }
    std::string sensors() const { return " --sensors " + quote(dir / "helmet.json"); }
};

TEST(ShellCli, LeadfieldAndFieldTakeTheInnerSkull) {
    ShellFiles f;
    const std::string grid = " --grid -40,-20,-40,40,40,40,20";
    const RunResult lf = runCli("leadfield -q" + f.sensors() + grid + f.skull + " --shell-order 8 --shell-fit lsq --out " +
                                    quote(f.dir / "lf.npy"),
                                f.dir);
    ASSERT_EQ(lf.code, 0) << lf.err;
    const auto meta = nlohmann::json::parse(readFile(f.dir / "lf.json"));
    EXPECT_EQ(meta["single_shell"]["order"], 8);
    EXPECT_EQ(meta["single_shell"]["fit"], "lsq");
    EXPECT_EQ(meta["single_shell"]["surface"], shellData("vertices"));
    writeFile(f.dir / "dipoles.csv", "0,10,0,0,0,1e-8\n20,0,10,1e-8,0,0\n");
    const RunResult field = runCli("field -q" + f.sensors() + " --dipoles " + quote(f.dir / "dipoles.csv") + f.skull +
                                       " --out " + quote(f.dir / "b.npy"),
                                   f.dir);
    ASSERT_EQ(field.code, 0) << field.err;
    EXPECT_EQ(nlohmann::json::parse(readFile(f.dir / "b.json"))["single_shell"]["order"], megfwd::head::kDefaultShellOrder);
}

TEST(ShellCli, BadShellOptionsAreRefusedByName) {
    ShellFiles f;
    std::vector<double> open;
    const io::NpyArray t = io::readNpy(shellData("triangles"));
    open.assign(t.data.begin(), t.data.end() - 3);
    writeFile(f.dir / "open.npy", io::npyBytes({t.shape[0] - 1, 3}, open.data()));
    const std::string base = "leadfield -q" + f.sensors() + " --grid 0,0,0,10,10,10,10 --out " + quote(f.dir / "x.npy");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {f.skull + " --shell-order 31", "--shell-order 31: expected a whole number from 0 to 30"},
        {f.skull + " --shell-fit energy", "--shell-fit \"energy\": expected galerkin or lsq"},
        {" --shell-order 6", "--shell-order needs --inner-skull"},
        {" --inner-skull " + quote(shellData("vertices")) + " --inner-skull-triangles " + quote(f.dir / "open.npy") +
             " --inner-skull-unit m",
         "the surface is open: edge"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const RunResult r = runCli(base + args, f.dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(f.dir / "x.npy"));
    }
}

}  // namespace

// The spheres command, the surface readers, --local-spheres and the picture
// of a local-sphere file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>

#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "tools/ToolTestSupport.h"
#include "tools/formats/Npy.h"
#include "tools/formats/SurfaceFile.h"

using namespace megfwd;
using namespace megfwd::test;

namespace {

// An octahedron subdivided twice and pushed onto an ellipsoid (72, 82, 70
// mm about (0, 5, 0)): vertices and outward triangles.
struct Mesh {
    std::vector<std::array<double, 3>> v;
    std::vector<std::array<int, 3>> t;
};

Mesh ellipsoidMesh() {
    Mesh m;
    m.v = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    m.t = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
    for (int level = 0; level < 3; ++level) {
        std::vector<std::array<int, 3>> next;
        std::map<std::pair<int, int>, int> mid;
        auto half = [&](int a, int b) {
            const auto key = std::minmax(a, b);
            auto it = mid.find(key);
            if (it != mid.end()) return it->second;
            std::array<double, 3> p;
            double l = 0;
            for (int k = 0; k < 3; ++k) p[k] = m.v[a][k] + m.v[b][k], l += p[k] * p[k];
            for (double& x : p) x /= std::sqrt(l);
            m.v.push_back(p);
            return mid[key] = static_cast<int>(m.v.size()) - 1;
        };
        for (const auto& t : m.t) {
            const int ab = half(t[0], t[1]), bc = half(t[1], t[2]), ca = half(t[2], t[0]);
            next.insert(next.end(), {{t[0], ab, ca}, {ab, t[1], bc}, {ca, bc, t[2]}, {ab, bc, ca}});
        }
        m.t = next;
    }
    for (auto& p : m.v) p = {72 * p[0], 5 + 82 * p[1], 70 * p[2]};
    return m;
}

std::string bigEndian(std::uint32_t w) {
    return {static_cast<char>(w >> 24), static_cast<char>(w >> 16), static_cast<char>(w >> 8), static_cast<char>(w)};
}

std::string freeSurferBytes(const Mesh& m) {
    std::string b = "\xff\xff\xfe" "created by a test\n\n";
    b += bigEndian(static_cast<std::uint32_t>(m.v.size())) + bigEndian(static_cast<std::uint32_t>(m.t.size()));
    for (const auto& p : m.v)
        for (double x : p) {
            const float f = static_cast<float>(x);
            std::uint32_t w;
            std::memcpy(&w, &f, 4);
            b += bigEndian(w);
        }
    for (const auto& t : m.t)
        for (int i : t) b += bigEndian(static_cast<std::uint32_t>(i));
    return b;
}

struct Files {
    ScratchDir dir;
    Mesh mesh = ellipsoidMesh();
    Files() {
        EXPECT_EQ(runCli("demo -q --write-sensors " + quote(dir / "helmet.json"), dir).code, 0);
        writeFile(dir / "head.surf", freeSurferBytes(mesh));
        std::vector<double> v, t, vm;
        std::string csv = "# head shape\nx,y,z\n";
        for (const auto& p : mesh.v) {
            v.insert(v.end(), p.begin(), p.end());
            for (double x : p) vm.push_back(x / 1000);
            csv += std::to_string(p[0]) + "," + std::to_string(p[1]) + "," + std::to_string(p[2]) + "\n";
        }
        for (const auto& tr : mesh.t) t.insert(t.end(), tr.begin(), tr.end());
        const auto nv = static_cast<std::int64_t>(mesh.v.size()), nt = static_cast<std::int64_t>(mesh.t.size());
        writeFile(dir / "head.npy", io::npyBytes({nv, 3}, v.data()));
        writeFile(dir / "head_m.npy", io::npyBytes({nv, 3}, vm.data()));
        writeFile(dir / "tri.npy", io::npyBytes({nt, 3}, t.data()));
        writeFile(dir / "head.csv", csv);
    }
    std::string sensors() const { return " --sensors " + quote(dir / "helmet.json"); }
};

}  // namespace

TEST(SurfaceFile, EveryKindGivesTheSamePointsInMillimetres) {
    Files f;
    const io::SurfaceRead fs = io::readSurface(f.dir / "head.surf");
    const io::SurfaceRead npy = io::readSurface(f.dir / "head_m.npy", f.dir / "tri.npy", "m");
    const io::SurfaceRead csv = io::readSurface(f.dir / "head.csv");
    const auto numPoints = static_cast<std::int64_t>(f.mesh.v.size());
    ASSERT_EQ(fs.surface.numVertices(), numPoints);
    ASSERT_EQ(npy.surface.numVertices(), numPoints);
    ASSERT_EQ(csv.surface.numVertices(), numPoints);
    std::vector<std::int32_t> triangles;
    for (const auto& t : f.mesh.t) triangles.insert(triangles.end(), t.begin(), t.end());
    EXPECT_EQ(fs.surface.triangles, triangles);
    EXPECT_EQ(npy.surface.triangles, triangles);
    EXPECT_TRUE(csv.surface.triangles.empty());
    for (std::int64_t i = 0; i < numPoints; i += 37)
        for (int a = 0; a < 3; ++a) {
            const double want = f.mesh.v[static_cast<std::size_t>(i)][a];
            EXPECT_NEAR(fs.surface.vertex(i)[a], want, 1e-5);  // float32 in the file
            EXPECT_NEAR(npy.surface.vertex(i)[a], want, 1e-9);
            EXPECT_NEAR(csv.surface.vertex(i)[a], want, 1e-6);
        }
    EXPECT_TRUE(fs.notes.empty());
    // Metres read as millimetres: a note says so.
    ASSERT_EQ(io::readSurface(f.dir / "head_m.npy").notes.size(), 1u);

    std::string cut = freeSurferBytes(f.mesh);
    cut.resize(cut.size() - 5);
    std::string badIndex = freeSurferBytes(f.mesh);
    badIndex.replace(badIndex.size() - 4, 4, bigEndian(1u << 20));
    struct Bad { std::string what; std::function<void()> run; };
    const Bad bad[] = {
        {"ends early", [&] { io::parseFreeSurfer(cut, "cut.surf"); }},
        {"names vertex", [&] { io::parseFreeSurfer(badIndex, "bad.surf"); }},
        {"--surface-unit m does not apply", [&] { io::readSurface(f.dir / "head.surf", "", "m"); }},
        {"have no triangles", [&] { io::readSurface(f.dir / "head.csv", f.dir / "tri.npy"); }},
        {"expected mm or m", [&] { io::readSurface(f.dir / "head.npy", "", "cm"); }},
        {"the vertices are numbered 0 to", [&] { io::readSurface(f.dir / "head.npy", f.dir / "head.npy"); }},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        try {
            b.run();
            ADD_FAILURE() << "accepted";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(b.what), std::string::npos) << e.what();
        }
    }
}

TEST(SpheresCommand, FitsWritesAndFeedsTheLeadfield) {
    Files f;
    const RunResult fit = runCli("spheres" + f.sensors() + " --surface " + quote(f.dir / "head.surf") +
                                     " --method weighted --out " + quote(f.dir / "spheres.json"),
                                 f.dir);
    ASSERT_EQ(fit.code, 0) << fit.err;
    EXPECT_NE(fit.out.find("275 measurement sensors"), std::string::npos) << fit.out;
    EXPECT_NE(fit.out.find("radii: "), std::string::npos) << fit.out;
    const head::LocalSpheres table = loadLocalSpheres(f.dir / "spheres.json");
    EXPECT_EQ(table.spheres.size(), 275u);
    EXPECT_EQ(table.method, "weighted");

    const std::string grid = " --grid -40,-20,-40,40,60,40,20";
    const RunResult lf = runCli("leadfield -q" + f.sensors() + grid + " --local-spheres " +
                                    quote(f.dir / "spheres.json") + " --out " + quote(f.dir / "lf.npy"),
                                f.dir);
    ASSERT_EQ(lf.code, 0) << lf.err;
    const std::string meta = readFile(f.dir / "lf.json");
    EXPECT_NE(meta.find("\"local_spheres\""), std::string::npos);
    EXPECT_NE(meta.find("spheres.json"), std::string::npos);

    // Errors: one line each, exit code 2, nothing written.
    nlohmann::json short_ = localSpheresToJson(table);
    const std::string dropped = short_["sensors"][3]["name"];
    short_["sensors"].erase(3);
    writeFile(f.dir / "short.json", short_.dump());
    struct Bad { std::string args, says; };
    const Bad bad[] = {
        {"leadfield" + f.sensors() + grid + " --local-spheres " + quote(f.dir / "short.json") + " --out " +
             quote(f.dir / "x.npy"),
         "no local sphere for measurement sensor '" + dropped + "'"},
        {"leadfield" + f.sensors() + grid + " --local-spheres " + quote(f.dir / "spheres.json") + " --tangential --out " +
             quote(f.dir / "x.npy"),
         "--local-spheres with --tangential"},
        {"spheres" + f.sensors() + " --surface " + quote(f.dir / "head.npy") + " --method closest --out " +
             quote(f.dir / "x.json"),
         "expected nearby or weighted"},
        {"spheres" + f.sensors() + " --surface " + quote(f.dir / "head.npy") + " --out " + quote(f.dir / "head.npy"),
         "--out"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.says);
        const RunResult r = runCli(b.args, f.dir);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(f.dir / "x.npy"));
        EXPECT_FALSE(fs::exists(f.dir / "x.json"));
    }

    // The picture: every sensor and every centre in each of three views.
    const RunResult plot = runCli("plot --spheres " + quote(f.dir / "spheres.json") + f.sensors() + " --surface " +
                                      quote(f.dir / "head.csv") + " --out " + quote(f.dir / "s.svg"),
                                  f.dir);
    ASSERT_EQ(plot.code, 0) << plot.err;
    EXPECT_EQ(svgSensorMarks(f.dir / "s.svg", f.dir), std::to_string(3 * 275) + "\n");
}

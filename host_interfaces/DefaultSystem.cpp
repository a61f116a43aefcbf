#include "host_interfaces/DefaultSystem.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <map>

namespace megfwd::demo {
namespace {

constexpr double kPi = 3.141592653589793;

std::string numbered(const char* prefix, int n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%03d", prefix, n);
    return buf;
}

// A first-order axial gradiometer (two coils) or, with baseline 0, a
// magnetometer (one coil) at `pos`, pointing along the unit vector `dir`.
CMEGSensorkw makeSensor(const double pos[3], const double dir[3], double baseline, const std::string& name) {
    CMEGSensorkw s;
    s.sensorName = name;
    CBscMagSnskw lower;
    lower.setCoil(pos, dir, kCoilRadius, 1, 1.0);
    s.addCoil(lower);
    if (baseline > 0.0) {
        const double upperPos[3] = {pos[0] + baseline * dir[0], pos[1] + baseline * dir[1], pos[2] + baseline * dir[2]};
        CBscMagSnskw upper;
        upper.setCoil(upperPos, dir, kCoilRadius, -1, -1.0);
        s.addCoil(upper);
    }
    return s;
}

CMDChannelkw makeChannel(int kind, const std::string& name) {
    CMDChannelkw ch;
    ch.snsKind = kind;
    ch.chnlName = name;
    return ch;
}

// Helmet positions: a Fibonacci spiral over the cap, keeping points that are
// not over the face, until exactly kNumMeasurement are kept. Directions are
// unit outward radials.
std::vector<std::array<double, 3>> helmetDirections() {
    const double golden = kPi * (3.0 - std::sqrt(5.0));
    const double cosMax = std::cos(110.0 * kPi / 180.0);
    const double cosFace = std::cos(80.0 * kPi / 180.0);
    for (int total = kNumMeasurement;; ++total) {
        std::vector<std::array<double, 3>> kept;
        for (int i = 0; i < total; ++i) {
            const double cy = 1.0 - (1.0 - cosMax) * (i + 0.5) / total;
            const double sy = std::sqrt(std::fmax(0.0, 1.0 - cy * cy));
            const double phi = golden * i;
            const std::array<double, 3> d = {sy * std::cos(phi), cy, sy * std::sin(phi)};
            const bool overFace = d[2] > 0.25 && cy < cosFace;
            if (!overFace) kept.push_back(d);
        }
        if (static_cast<int>(kept.size()) >= kNumMeasurement) {
            kept.resize(kNumMeasurement);
            return kept;
        }
    }
}

}  // namespace

CMDTrialkw makeDefaultTrial() {
    CMDTrialkw trial;

    // References: three magnetometer triplets, then twenty gradiometers.
    const double tripletPos[3][3] = {{0.0, 250.0, 0.0}, {-45.0, 262.0, 25.0}, {45.0, 262.0, 25.0}};
    const double axes[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
    int refIndex = 0;
    for (int t = 0; t < 3; ++t)
        for (int a = 0; a < 3; ++a) {
            CMDChannelkw ch = makeChannel(kind::kRefMagnetometer, numbered("BR", ++refIndex));
            ch.setSensor(makeSensor(tripletPos[t], axes[a], 0.0, ch.chnlName));
            trial.addChannel(ch);
        }
    for (int g = 0; g < 20; ++g) {
        const double ang = 2.0 * kPi * (g % 10) / 10.0;
        const bool vertical = g < 10;
        const double pos[3] = {60.0 * std::cos(ang), vertical ? 230.0 : 280.0, 60.0 * std::sin(ang)};
        const double dir[3] = {vertical ? 0.0 : std::cos(ang), vertical ? 1.0 : 0.0, vertical ? 0.0 : std::sin(ang)};
        CMDChannelkw ch = makeChannel(kind::kRefGradiometer, numbered("G", g + 1));
        ch.setSensor(makeSensor(pos, dir, kBaseline, ch.chnlName));
        trial.addChannel(ch);
    }

    trial.addChannel(makeChannel(kind::kEEG, "EEG001"));

    // The reference channels every measurement channel is corrected with:
    // the three centre-triplet magnetometers and five gradiometers.
    const int refUsed[8] = {0, 1, 2, 9, 11, 13, 15, 17};
    const auto dirs = helmetDirections();
    for (int i = 0; i < kNumMeasurement; ++i) {
        const auto& d = dirs[static_cast<std::size_t>(i)];
        const double pos[3] = {kHelmetRadius * d[0], kHelmetRadius * d[1], kHelmetRadius * d[2]};
        CMDChannelkw ch = makeChannel(kind::kAxialGradiometer1, numbered("MG", i + 1));
        ch.setSensor(makeSensor(pos, d.data(), kBaseline, ch.chnlName));
        std::vector<REFCOEF> coefs;
        for (int j = 0; j < 8; ++j) {
            REFCOEF c;
            c.chnlIdx = refUsed[j];
            c.coef = (j < 3 ? 0.05 : 0.02) * std::sin(0.37 * (i + 1) + 1.3 * (j + 1));
            c.refName = trial.getChannel(refUsed[j])->chnlName;
            coefs.push_back(c);
        }
        ch.setRefCoefs(coefs);
        trial.addChannel(ch);
    }

    trial.addChannel(makeChannel(kind::kEEG, "EEG002"));
    trial.addChannel(makeChannel(300, "STIM"));
    trial.addChannel(makeChannel(kind::kEEG, "EOG001"));
    return trial;
}

CMEGDatakw makeDefaultRecording(int numTrials) {
    CMEGDatakw data;
    const CMDTrialkw trial = makeDefaultTrial();
    for (int t = 0; t < numTrials; ++t) data.addTrial(trial);
    return data;
}

CVirtSnsPOXlistkw makeSphereSourceList(const double center[3], double radius, double step) {
    CVirtSnsPOXlistkw list;
    if (!(step > 0.0) || !(radius >= 0.0)) return list;
    const int n = static_cast<int>(std::floor(radius / step + 1e-9));
    for (int i = -n; i <= n; ++i)
        for (int j = -n; j <= n; ++j)
            for (int k = -n; k <= n; ++k) {
                const double x = i * step, y = j * step, z = k * step;
                if (x * x + y * y + z * z <= radius * radius * (1.0 + 1e-12))
                    list.addPosition(center[0] + x, center[1] + y, center[2] + z);
            }
    return list;
}

std::vector<KindCount> countChannelsByKind(CMDTrialkw& trial) {
    std::map<int, int> counts;
    for (int i = 0; i < trial.getTotalChannel(); ++i) ++counts[trial.getChannel(i)->snsKind];
    std::vector<KindCount> out;
    for (const auto& [k, c] : counts) out.push_back({k, c});
    return out;
}

std::string kindName(int kind) {
    switch (kind) {
        case 100: return "magnetometer";
        case 101: return "axial gradiometer (1st order)";
        case 102: return "axial gradiometer (2nd order)";
        case 103: return "axial gradiometer (3rd order)";
        case 10: return "reference magnetometer";
        case 11: return "reference gradiometer (1st order)";
        case 12: return "reference gradiometer (2nd order)";
        case 13: return "reference gradiometer (3rd order)";
        default: return kind::isMeasure(kind) || kind::isReference(kind) ? "MEG sensor" : "not an MEG sensor";
    }
}

}  // namespace megfwd::demo

#include "tools/formats/SphereMap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/formats/TopoMap.h"

namespace megfwd::io {
namespace {

constexpr double kPanel = 300.0;   // px, side of one view
constexpr double kMargin = 20.0;   // px around each view
constexpr double kTop = 60.0;      // px for the titles
// More head points than this are thinned (every k-th drawn): the picture
// shows the shape, and a file of 100 000 dots would be slow to open.
constexpr std::size_t kMaxHeadPoints = 4000;

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

struct View {
    const char* name;
    int h, v;        // the axes drawn across and up
    double hSign;    // -1 mirrors the horizontal axis
};

}  // namespace

std::string sphereMapSvg(const SphereMap& m) {
    // As a viewer sees the head: from the front the left ear (+x) is on
    // the right; from the left side the nose (+z) points left; from above,
    // nose up, the left ear is on the left.
    const View views[3] = {{"front", 0, 1, 1.0}, {"left side", 2, 1, -1.0}, {"top", 0, 2, -1.0}};
    // One scale for all views: the extent of everything drawn.
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    auto grow = [&](const std::array<double, 3>& p) {
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
    };
    for (const auto& p : m.headPoints) grow(p);
    for (const auto& p : m.sensors) grow(p);
    for (const auto& p : m.centres) grow(p);
    const double g = m.globalSphere.radius;
    if (g > 0)
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], m.globalSphere.centre[a] - g), hi[a] = std::max(hi[a], m.globalSphere.centre[a] + g);
    double span = 1.0, mid[3];
    for (int a = 0; a < 3; ++a) {
        if (hi[a] < lo[a]) lo[a] = hi[a] = 0.0;
        span = std::max(span, hi[a] - lo[a]);
        mid[a] = 0.5 * (lo[a] + hi[a]);
    }
    const double scale = (kPanel - 2 * kMargin) / span;
    const double width = 3 * kPanel, height = kTop + kPanel + 30;

    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" + num(height) +
                    "\" viewBox=\"0 0 " + num(width) + " " + num(height) + "\" font-family=\"sans-serif\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"10\" y=\"22\" font-size=\"16\">" + xmlEscape(m.title) + "</text>\n";
    s += "<text x=\"10\" y=\"42\" font-size=\"12\" fill=\"#555\">" + xmlEscape(m.subtitle) + "</text>\n";
    const std::size_t step = m.headPoints.size() > kMaxHeadPoints ? (m.headPoints.size() + kMaxHeadPoints - 1) / kMaxHeadPoints : 1;
    for (int k = 0; k < 3; ++k) {
        const View& v = views[k];
        const double ox = k * kPanel + kPanel / 2, oy = kTop + kPanel / 2;
        auto X = [&](const std::array<double, 3>& p) { return num(ox + v.hSign * (p[v.h] - mid[v.h]) * scale); };
        auto Y = [&](const std::array<double, 3>& p) {
            // Up is +y in the front and side views; in the top view the nose
            // (+z) is up.
            return num(oy - (p[v.v] - mid[v.v]) * scale);
        };
        s += "<g class=\"view\"><title>" + std::string(v.name) + "</title>\n";
        s += "<rect x=\"" + num(k * kPanel + 4) + "\" y=\"" + num(kTop) + "\" width=\"" + num(kPanel - 8) +
             "\" height=\"" + num(kPanel) + "\" fill=\"none\" stroke=\"#ccc\"/>\n";
        s += "<text x=\"" + num(k * kPanel + 10) + "\" y=\"" + num(kTop + kPanel + 20) + "\" font-size=\"12\">" + v.name +
             "</text>\n";
        if (g > 0) {
            const std::array<double, 3> c = m.globalSphere.centre;
            s += "<circle class=\"global\" cx=\"" + X(c) + "\" cy=\"" + Y(c) + "\" r=\"" + num(g * scale) +
                 "\" fill=\"none\" stroke=\"#888\" stroke-dasharray=\"4 3\"/>\n";
        }
        for (std::size_t i = 0; i < m.headPoints.size(); i += step)
            s += "<circle class=\"head\" cx=\"" + X(m.headPoints[i]) + "\" cy=\"" + Y(m.headPoints[i]) +
                 "\" r=\"0.8\" fill=\"#bbb\"/>\n";
        for (std::size_t i = 0; i < m.sensors.size() && i < m.centres.size(); ++i)
            s += "<line x1=\"" + X(m.sensors[i]) + "\" y1=\"" + Y(m.sensors[i]) + "\" x2=\"" + X(m.centres[i]) +
                 "\" y2=\"" + Y(m.centres[i]) + "\" stroke=\"#9ab\" stroke-width=\"0.4\"/>\n";
        for (std::size_t i = 0; i < m.sensors.size(); ++i)
            s += "<circle class=\"sensor\" cx=\"" + X(m.sensors[i]) + "\" cy=\"" + Y(m.sensors[i]) +
                 "\" r=\"2\" fill=\"#2166ac\"><title>" + xmlEscape(i < m.names.size() ? m.names[i] : "") +
                 "</title></circle>\n";
        for (std::size_t i = 0; i < m.centres.size(); ++i) {
            const bool fell = i < m.fallback.size() && m.fallback[i];
            s += "<circle class=\"" + std::string(fell ? "centre fallback" : "centre") + "\" cx=\"" + X(m.centres[i]) +
                 "\" cy=\"" + Y(m.centres[i]) + "\" r=\"2\" fill=\"" + (fell ? "#e08214" : "#b2182b") + "\"><title>" +
                 xmlEscape((i < m.names.size() ? m.names[i] : "") + (fell ? " (global sphere)" : "")) +
                 "</title></circle>\n";
        }
        s += "</g>\n";
    }
    s += "<text x=\"" + num(width - 420) + "\" y=\"42\" font-size=\"11\">"
         "<tspan fill=\"#2166ac\">&#9679; sensor</tspan>  <tspan fill=\"#b2182b\">&#9679; its sphere centre</tspan>  "
         "<tspan fill=\"#e08214\">&#9679; global sphere taken</tspan>  <tspan fill=\"#888\">- - global sphere</tspan>"
         "</text>\n";
    s += "</svg>\n";
    return s;
}

}  // namespace megfwd::io

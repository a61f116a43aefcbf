#include "tools/formats/TopoMap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/Errors.h"

namespace megfwd::io {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kWidth = 780, kHeight = 640;
constexpr double kMapX = 330, kMapY = 345, kMapR = 255;  // map panel centre and radius (px)
constexpr int kCells = 72;                                // interpolation cells per map diameter

struct Rgb {
    double r, g, b;
};

// Diverging scale from blue (negative) through near-white (0) to red.
Rgb colourAt(double t) {  // t in [-1, 1]
    static const Rgb stops[5] = {{33, 102, 172}, {146, 197, 222}, {247, 247, 247}, {244, 165, 130}, {178, 24, 43}};
    t = std::clamp(t, -1.0, 1.0);
    const double x = (t + 1.0) * 2.0;  // 0..4
    const int i = std::min(3, static_cast<int>(x));
    const double f = x - i;
    return {stops[i].r + f * (stops[i + 1].r - stops[i].r), stops[i].g + f * (stops[i + 1].g - stops[i].g),
            stops[i].b + f * (stops[i + 1].b - stops[i].b)};
}

std::string hex(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02x%02x%02x", static_cast<int>(std::lround(c.r)), static_cast<int>(std::lround(c.g)),
                  static_cast<int>(std::lround(c.b)));
    return buf;
}

std::string num(double v, const char* fmt = "%.1f") {
    char buf[48];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// Least-squares sphere through the points: |p|^2 = 2 p.c + k. Returns false
// when the points do not determine one (flat or too few).
bool fitSphere(const std::vector<std::array<double, 3>>& p, double c[3], double& radius) {
    double A[4][5] = {};
    for (const auto& q : p) {
        const double row[4] = {2 * q[0], 2 * q[1], 2 * q[2], 1.0};
        const double rhs = q[0] * q[0] + q[1] * q[1] + q[2] * q[2];
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) A[i][j] += row[i] * row[j];
            A[i][4] += row[i] * rhs;
        }
    }
    double scale = 0;
    for (int i = 0; i < 4; ++i) scale = std::max(scale, std::fabs(A[i][i]));
    if (!(scale > 0)) return false;
    for (int col = 0; col < 4; ++col) {
        int piv = col;
        for (int r = col + 1; r < 4; ++r)
            if (std::fabs(A[r][col]) > std::fabs(A[piv][col])) piv = r;
        if (std::fabs(A[piv][col]) < 1e-10 * scale) return false;
        for (int j = 0; j < 5; ++j) std::swap(A[col][j], A[piv][j]);
        for (int r = 0; r < 4; ++r) {
            if (r == col) continue;
            const double f = A[r][col] / A[col][col];
            for (int j = col; j < 5; ++j) A[r][j] -= f * A[col][j];
        }
    }
    for (int i = 0; i < 3; ++i) c[i] = A[i][4] / A[i][i];
    const double k = A[3][4] / A[3][3];
    const double r2 = k + c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
    if (!(r2 > 0)) return false;
    radius = std::sqrt(r2);
    return std::isfinite(radius);
}

}  // namespace

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\n' || ch == '\t') out += ch;
        }
    }
    return out;
}

namespace {

// The sensors' places on the map: projected onto the plane (from the
// vertex of a fitted sphere when they lie on a curved helmet, from above
// otherwise), the typical spacing between neighbours (for the disks and the
// shading) and the scale from the plane to the picture.
struct MapLayout {
    std::vector<double> px, py;
    bool curved = false;
    double reach = 1, spacing = 1, scale = 1;
    double sx(double x) const { return kMapX + x * scale; }
    double sy(double y) const { return kMapY + y * scale; }
};

MapLayout layoutSensors(const TopoMap& m) {
    const std::size_t n = m.positions.size();
    MapLayout l;
    l.px.resize(n), l.py.resize(n);
    double c[3], radius = 0;
    double extent = 0, mean[3] = {0, 0, 0};
    for (const auto& q : m.positions)
        for (int a = 0; a < 3; ++a) mean[a] += q[a] / static_cast<double>(n);
    for (const auto& q : m.positions)
        extent = std::max(extent, std::hypot(q[0] - mean[0], q[1] - mean[1], q[2] - mean[2]));
    l.curved = n >= 4 && fitSphere(m.positions, c, radius) && radius < 10.0 * std::max(extent, 1e-12);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& q = m.positions[i];
        if (l.curved) {
            const double d[3] = {q[0] - c[0], q[1] - c[1], q[2] - c[2]};
            const double len = std::max(std::hypot(d[0], d[1], d[2]), 1e-300);
            const double theta = std::acos(std::clamp(d[1] / len, -1.0, 1.0));
            const double phi = std::atan2(d[0], d[2]);
            l.px[i] = -theta * std::sin(phi);  // left ear (+x) on the left
            l.py[i] = -theta * std::cos(phi);  // nose (+z) at the top
        } else {
            l.px[i] = -(q[0] - mean[0]);
            l.py[i] = -(q[2] - mean[2]);
        }
    }
    double reach = 0;
    for (std::size_t i = 0; i < n; ++i) reach = std::max(reach, std::hypot(l.px[i], l.py[i]));
    if (!(reach > 0)) reach = 1;
    std::vector<double> nearest(n, 1e300);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (i != j) nearest[i] = std::min(nearest[i], std::hypot(l.px[i] - l.px[j], l.py[i] - l.py[j]));
    std::sort(nearest.begin(), nearest.end());
    double spacing = n > 1 ? nearest[n / 2] : reach;
    if (!(spacing > 0) || spacing > 1e299) spacing = reach;
    l.reach = reach;
    l.spacing = spacing;
    l.scale = (kMapR - 10) / (reach + 0.5 * spacing);
    return l;
}

// Inverse-distance interpolation on a grid of cells near the sensors.
void appendShading(std::string& s, const TopoMap& m, const MapLayout& l, double vmax) {
    const std::size_t n = m.positions.size();
    const double half = l.reach + 0.5 * l.spacing;
    const double cell = 2.0 * half / kCells;
    s += "<g class=\"shading\" shape-rendering=\"crispEdges\">\n";
    for (int iy = 0; iy < kCells; ++iy)
        for (int ix = 0; ix < kCells; ++ix) {
            const double x = -half + (ix + 0.5) * cell;
            const double y = -half + (iy + 0.5) * cell;
            double wsum = 0, vsum = 0, dmin = 1e300;
            for (std::size_t i = 0; i < n; ++i) {
                const double d2 = (x - l.px[i]) * (x - l.px[i]) + (y - l.py[i]) * (y - l.py[i]);
                dmin = std::min(dmin, d2);
                const double w = 1.0 / (d2 * d2 + 1e-30);
                wsum += w;
                vsum += w * (std::isfinite(m.values[i]) ? m.values[i] : 0.0);
            }
            if (std::sqrt(dmin) > 0.9 * l.spacing) continue;
            s += "<rect x=\"" + num(l.sx(x - 0.5 * cell)) + "\" y=\"" + num(l.sy(y - 0.5 * cell)) + "\" width=\"" +
                 num(cell * l.scale + 0.6) + "\" height=\"" + num(cell * l.scale + 0.6) + "\" fill=\"" +
                 hex(colourAt(vsum / wsum / vmax)) + "\"/>\n";
        }
    s += "</g>\n";
}

// Head outline at 90 degrees from the vertex, with nose and ears.
void appendHead(std::string& s, double scale) {
    const double hr = (kPi / 2) * scale;
    s += "<g class=\"head\" fill=\"none\" stroke=\"#333\" stroke-width=\"1.5\">\n";
    s += "<circle cx=\"" + num(kMapX) + "\" cy=\"" + num(kMapY) + "\" r=\"" + num(hr) + "\"/>\n";
    s += "<polyline points=\"" + num(kMapX - 0.09 * hr) + "," + num(kMapY - 0.99 * hr) + " " + num(kMapX) + "," +
         num(kMapY - 1.12 * hr) + " " + num(kMapX + 0.09 * hr) + "," + num(kMapY - 0.99 * hr) + "\"/>\n";
    s += "<ellipse cx=\"" + num(kMapX - 1.03 * hr) + "\" cy=\"" + num(kMapY) + "\" rx=\"" + num(0.05 * hr) + "\" ry=\"" +
         num(0.16 * hr) + "\"/>\n";
    s += "<ellipse cx=\"" + num(kMapX + 1.03 * hr) + "\" cy=\"" + num(kMapY) + "\" rx=\"" + num(0.05 * hr) + "\" ry=\"" +
         num(0.16 * hr) + "\"/>\n";
    s += "</g>\n";
}

// One disk per sensor, its name and value as its tooltip.
void appendSensors(std::string& s, const TopoMap& m, const MapLayout& l, double vmax) {
    const double dot = std::clamp(0.32 * l.spacing * l.scale, 2.0, 9.0);
    s += "<g class=\"sensors\" stroke=\"#222\" stroke-width=\"0.6\">\n";
    for (std::size_t i = 0; i < m.positions.size(); ++i) {
        const double v = m.values[i];
        const std::string name = i < m.names.size() ? m.names[i] : "sensor " + std::to_string(i + 1);
        s += "<circle class=\"sensor\" cx=\"" + num(l.sx(l.px[i])) + "\" cy=\"" + num(l.sy(l.py[i])) + "\" r=\"" +
             num(dot) + "\" fill=\"" + hex(colourAt(std::isfinite(v) ? v / vmax : 0.0)) + "\"><title>" +
             xmlEscape(name) + ": " + num(v, "%.6g") + "</title></circle>\n";
    }
    s += "</g>\n";
}

void appendColourBar(std::string& s, double vmax, bool allZero, const std::string& unit) {
    const double bx = 660, by = 130, bw = 22, bh = 400;
    s += "<defs><linearGradient id=\"scale\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">\n";
    for (int k = 0; k <= 8; ++k)
        s += "<stop offset=\"" + num(k / 8.0, "%.3f") + "\" stop-color=\"" + hex(colourAt(-1.0 + k / 4.0)) + "\"/>\n";
    s += "</linearGradient></defs>\n";
    s += "<g class=\"colourbar\" font-size=\"12\">\n";
    s += "<rect x=\"" + num(bx) + "\" y=\"" + num(by) + "\" width=\"" + num(bw) + "\" height=\"" + num(bh) +
         "\" fill=\"url(#scale)\" stroke=\"#222\" stroke-width=\"0.6\"/>\n";
    for (int k = 0; k <= 4; ++k) {
        const double v = vmax * (1.0 - k / 2.0);
        const double y = by + bh * k / 4.0;
        s += "<line x1=\"" + num(bx + bw) + "\" y1=\"" + num(y) + "\" x2=\"" + num(bx + bw + 5) + "\" y2=\"" + num(y) +
             "\" stroke=\"#222\"/>\n";
        s += "<text x=\"" + num(bx + bw + 8) + "\" y=\"" + num(y + 4) + "\">" + (allZero && k != 2 ? "" : num(v, "%.3g")) +
             "</text>\n";
    }
    s += "<text x=\"" + num(bx + bw / 2) + "\" y=\"" + num(by - 14) + "\" text-anchor=\"middle\">" + xmlEscape(unit) +
         "</text>\n";
    s += "</g>\n";
}

}  // namespace

std::string topoMapSvg(const TopoMap& m) {
    const std::size_t n = m.positions.size();
    if (n == 0 || m.values.size() != n) throw ComputeError("a map needs one value per sensor position");
    const MapLayout layout = layoutSensors(m);

    double vmax = 0;
    for (double v : m.values)
        if (std::isfinite(v)) vmax = std::max(vmax, std::fabs(v));
    const bool allZero = !(vmax > 0);
    if (allZero) vmax = 1;

    std::string s;
    s.reserve(300000);
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth, "%.0f") + "\" height=\"" + num(kHeight, "%.0f") +
         "\" viewBox=\"0 0 " + num(kWidth, "%.0f") + " " + num(kHeight, "%.0f") + "\" font-family=\"sans-serif\">\n";
    s += "<title>" + xmlEscape(m.title) + "</title>\n";
    s += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"20\" y=\"32\" font-size=\"18\" font-weight=\"bold\">" + xmlEscape(m.title) + "</text>\n";
    if (!m.subtitle.empty()) s += "<text x=\"20\" y=\"54\" font-size=\"12\" fill=\"#444\">" + xmlEscape(m.subtitle) + "</text>\n";
    appendShading(s, m, layout, vmax);
    if (layout.curved) appendHead(s, layout.scale);
    s += "<text x=\"" + num(kMapX) + "\" y=\"" + num(kMapY - kMapR - 8) +
         "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#444\">nose (+z)</text>\n";
    s += "<text x=\"" + num(kMapX - kMapR - 8) + "\" y=\"" + num(kMapY + 4) +
         "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">left (+x)</text>\n";
    appendSensors(s, m, layout, vmax);
    appendColourBar(s, vmax, allZero, m.unit);
    if (allZero)
        s += "<text x=\"" + num(kMapX) + "\" y=\"" + num(kHeight - 20) +
             "\" font-size=\"13\" text-anchor=\"middle\">all values are 0</text>\n";
    s += "</svg>\n";
    return s;
}

}  // namespace megfwd::io

#include "forward_api/ValueStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "forward_api/Compute.h"
#include "base/FileText.h"
#include "forward_api/ResultFacts.h"

namespace megfwd {

// Built for AVX-512, AVX2 and plain x86-64, chosen when the program loads:
// the wider builds take the four chains in one register. The file is built
// without fused multiply-adds (-ffp-contract=off), so every build gives the
// same bits. Not under ThreadSanitizer, whose runtime is not set up yet when
// the loader chooses.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void ValueStats::add(const double* values, std::int64_t first, std::int64_t count, std::int64_t per,
                     const int* inScan) {
    if (per < 1) return;
    for (std::int64_t i = 0; i < count; ++i) {
        const double* v = values + i * per;
        // Four independent min, max and sum chains: in one chain every
        // addition waits for the one before it, which made this pass about a
        // tenth of a whole scan; four chains overlap, and the compiler may
        // keep each set of four in one vector register.
        constexpr int kLanes = 4;
        double mn[kLanes], mx[kLanes], sq[kLanes] = {0.0, 0.0, 0.0, 0.0};
        for (int l = 0; l < kLanes; ++l) mn[l] = any ? lo : v[0], mx[l] = any ? hi : v[0];
        std::int64_t k = 0;
        for (; k + kLanes <= per; k += kLanes)
            for (int l = 0; l < kLanes; ++l) {
                const double x = v[k + l];
                mn[l] = x < mn[l] ? x : mn[l];
                mx[l] = x > mx[l] ? x : mx[l];
                sq[l] += x * x;
            }
        for (; k < per; ++k) {
            mn[0] = v[k] < mn[0] ? v[k] : mn[0];
            mx[0] = v[k] > mx[0] ? v[k] : mx[0];
            sq[0] += v[k] * v[k];
        }
        lo = std::min(std::min(mn[0], mn[1]), std::min(mn[2], mn[3]));
        hi = std::max(std::max(mx[0], mx[1]), std::max(mx[2], mx[3]));
        any = true;
        const double sqSum = (sq[0] + sq[1]) + (sq[2] + sq[3]);
        // A value that is not finite, or so large that its square is not,
        // makes the sum of squares not finite: one test per source.
        if (!std::isfinite(sqSum) && (badSrc < 0 || first + i < badSrc)) {
            std::int64_t j = 0;
            while (j + 1 < per && std::isfinite(v[j] * v[j])) ++j;
            badSrc = first + i, badAt = j, badVal = v[j];
        }
        if (inScan[first + i] != 1) continue;
        sumSq[static_cast<std::size_t>(first + i)] = sqSum;
        numSquares += per;
    }
}

void ValueStats::merge(const ValueStats& part, std::int64_t first) {
    if (part.any) {
        lo = any && lo < part.lo ? lo : part.lo;
        hi = any && hi > part.hi ? hi : part.hi;
        any = true;
    }
    std::copy(part.sumSq.begin(), part.sumSq.end(), sumSq.begin() + first);
    numSquares += part.numSquares;
    if (part.badSrc >= 0 && (badSrc < 0 || first + part.badSrc < badSrc))
        badSrc = first + part.badSrc, badAt = part.badAt, badVal = part.badVal;
}

ValueSummary ValueStats::summary(double divisor) const {
    double sum = 0.0;
    for (double s : sumSq) sum += s;
    const double rms = numSquares > 0 ? std::sqrt(sum / static_cast<double>(numSquares)) : 0.0;
    return {lo / divisor, hi / divisor, rms / divisor};
}

ValueSummary valueSummary(const ForwardResult& r) {
    if (r.summary || r.inScan.empty()) return r.summary.value_or(ValueSummary{});
    const auto count = static_cast<std::int64_t>(r.inScan.size());
    const auto per = static_cast<std::int64_t>(r.values.size()) / count;
    ValueStats stats(count);
    stats.add(r.values.data(), 0, count, per, r.inScan.data());
    return stats.summary();
}

namespace detail {

ComputeError nonFiniteValue(const ForwardResult& r, const char* sourceWord, const char* quantity, std::int64_t source,
                            std::int64_t offset, std::int64_t numComponents, double value) {
    const std::int64_t sensor = offset / numComponents, component = offset % numComponents;
    std::string where = std::string(sourceWord) + " " + std::to_string(source);
    if (source >= 0 && static_cast<std::size_t>(source) < r.sourcePositions.size())
        where += " at " + positionText(r.sourcePositions[static_cast<std::size_t>(source)]);
    if (sensor >= 0 && static_cast<std::size_t>(sensor) < r.sensorNames.size())
        where += ", sensor '" + r.sensorNames[static_cast<std::size_t>(sensor)] + "'";
    if (numComponents > 1) where += ", component " + std::to_string(component);
    return ComputeError(where + ": the computed " + quantity + " is " + exactNumber(value) +
                        (std::isfinite(value) ? ", too large for a physical value" : ", not a finite number") +
                        "; no result is given (a source on a coil, or a scale such as mu4PiRatio far too large?)");
}

void refuseNonFinite(const ValueStats& stats, const ForwardResult& r, const char* sourceWord, const char* quantity,
                     std::int64_t numComponents) {
    if (stats.badSource() >= 0)
        throw nonFiniteValue(r, sourceWord, quantity, stats.badSource(), stats.badOffset(), numComponents,
                             stats.badValue());
}

void addValueWarnings(ForwardResult& r, const CMDataForwardkw& data, const ValueSummary& s, const char* sourceWord) {
    const std::int64_t total = static_cast<std::int64_t>(r.inScan.size()), in = r.numIn();
    if (total > 0 && in == 0) {
        char why[200];
        std::snprintf(why, sizeof why,
                      "(sources less than %.4g mm deeper than their nearest coil, minCoilSrcDist, or within %.3g mm of "
                      "the sphere centre, minSrcSphDist, are left out)",
                      data.minCoilSrcDist, data.minSrcSphDist);
        const std::string who = total == 1 ? std::string("the only ") + sourceWord + " is not"
                                           : "none of the " + std::to_string(total) + " " + sourceWord + "s is";
        r.warnings.push_back(who + " in the scan, so every value is 0 " + why);
    } else if (in > 0 && s.min == 0.0 && s.max == 0.0) {
        r.warnings.push_back("every value is 0 although " + std::to_string(in) + " of the " + std::to_string(total) +
                             " " + sourceWord + "s are in the scan");
    }
}

}  // namespace detail
}  // namespace megfwd

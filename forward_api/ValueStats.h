// Figures of computed values: their range and RMS, gathered block by block
// while each block is still in the cache, and the first value that is not
// finite, so that no result ever holds such a value.
#pragma once

#include <cstdint>
#include <vector>

#include "base/Errors.h"

class CMDataForwardkw;

namespace megfwd {

struct ForwardResult;

struct ValueSummary {
    double min = 0, max = 0, rmsInScan = 0;
};

// Range and sum of squares of leadfield values, gathered source by source:
// the sums of squares are kept per source and added in source order at the
// end, so the RMS does not depend on the order in which blocks finish.
class ValueStats {
public:
    explicit ValueStats(std::int64_t numSources) : sumSq(static_cast<std::size_t>(numSources), 0.0) {}
    // Sources [first, first + count), `per` values each; sources whose flag
    // is not 1 count for the range only.
    void add(const double* values, std::int64_t first, std::int64_t count, std::int64_t per, const int* inScan);
    // The figures of `part`, gathered on sources [0, n) that are sources
    // [first, first + n) here (a block gathered on its own thread).
    void merge(const ValueStats& part, std::int64_t first);
    // The largest magnitude so far.
    double maxAbs() const { return hi > -lo ? hi : -lo; }
    // The figures of the values after their division by `divisor` (> 0;
    // the unit leadfield's and the RMS normalisation's scales): division by
    // a positive number keeps the order of the values, so the range and the
    // RMS scale with it (to rounding).
    ValueSummary summary(double divisor = 1.0) const;
    // The first source (by index) with a value that is not finite or whose
    // square is not, -1 when none; that value's place within the source and
    // the value.
    std::int64_t badSource() const { return badSrc; }
    std::int64_t badOffset() const { return badAt; }
    double badValue() const { return badVal; }

private:
    double lo = 0.0, hi = 0.0;
    bool any = false;
    std::int64_t numSquares = 0;  // values of the sources in the scan
    std::vector<double> sumSq;
    std::int64_t badSrc = -1, badAt = -1;
    double badVal = 0.0;
};

namespace detail {

// The error for a computed value that is not finite (or whose square is
// not): such a value would reach the output or make its summary infinite,
// so the whole result is refused, naming where the value arose. `offset` is
// the value's place within its source (sensor x components + component).
ComputeError nonFiniteValue(const ForwardResult& r, const char* sourceWord, const char* quantity, std::int64_t source,
                            std::int64_t offset, std::int64_t numComponents, double value);

// Throws nonFiniteValue for the first bad value that `stats` saw.
void refuseNonFinite(const ValueStats& stats, const ForwardResult& r, const char* sourceWord, const char* quantity,
                     std::int64_t numComponents);

// Warnings about a result whose values say nothing: every source out of the
// scan, or every value 0.
void addValueWarnings(ForwardResult& r, const CMDataForwardkw& data, const ValueSummary& s, const char* sourceWord);

}  // namespace detail
}  // namespace megfwd

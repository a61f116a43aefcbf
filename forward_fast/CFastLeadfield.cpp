#include "forward_fast/CFastLeadfield.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "forward_engine/FormulaTable.h"
#include "forward_engine/PointFormulas.h"
#include "head_model/DenseAlgebra.h"
#include "host_interfaces/Afx.h"


// The formula table names the fast path's loops by the same numbers.
static_assert(static_cast<int>(megfwd::FormulaFamily::Sarvas) == static_cast<int>(megfwd::fast::PointFamily::Sarvas));
static_assert(static_cast<int>(megfwd::FormulaFamily::Cuffin) == static_cast<int>(megfwd::fast::PointFamily::Cuffin));
static_assert(static_cast<int>(megfwd::FormulaFamily::BiotSavart) ==
              static_cast<int>(megfwd::fast::PointFamily::BiotSavart));
static_assert(static_cast<int>(megfwd::FormulaFamily::MagneticDipole) ==
              static_cast<int>(megfwd::fast::PointFamily::MagneticDipole));
static_assert(static_cast<int>(megfwd::FormulaFamily::MagneticTensor) ==
              static_cast<int>(megfwd::fast::PointFamily::MagneticTensor));
namespace phys = megfwd::phys;
using megfwd::fast::PointFamily;

namespace {

bool isMeaKind(std::int64_t k) { return k >= 100 && k <= 103; }
bool isRefKind(std::int64_t k) { return k >= 10 && k <= 13; }

template <class T>
void release(T*& p) {
    delete[] p;
    p = nullptr;
}

// Owns an array taken with megfwd::newArray until it is handed over.
template <class T>
struct Owned {
    T* p = nullptr;
    explicit Owned(std::int64_t n) : p(megfwd::newArray<T>(n < 1 ? 1 : n)) {}
    ~Owned() { delete[] p; }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T* take() {
        T* q = p;
        p = nullptr;
        return q;
    }
};

// Sources handed to one thread at a time; with the single shell, one
// block of its correction (a matrix product, faster per source on more
// rows). Tasks are fixed ranges of the source list, so a source meets the
// same neighbours in its product whatever the number of threads.
constexpr std::int64_t kSourcesPerTask = 8;
constexpr std::int64_t kShellSourcesPerTask = megfwd::head::ShellCorrection::kBlock;
// Points of one run of the point loop (more when one unit of sensors has more).
constexpr std::int64_t kPointsPerChunk = 256;
// Rows of a unit whose sums run side by side (see CFastLeadfield.h).
constexpr std::int64_t kUnitRows = 8;
// The arrays of the scan-order copy: px, py, pz, nx, ny, nz, ox, oy, oz, rn,
// rinv, pn and wk.
constexpr std::int64_t kScanArrays = 13;
// Measurement rows corrected together by the shared reference weights: four
// vectors of eight for each of the three values, independent chains that
// keep both vector units busy.
constexpr std::int64_t kRefBlock = 32;
// Eight doubles as one value of GCC's vector extension (one AVX-512
// register; two or four on the narrower builds), and the block's vectors.
using Lanes = double __attribute__((vector_size(64)));
constexpr std::int64_t kLanes = 8;
constexpr std::int64_t kRefVecs = kRefBlock / kLanes;
// At most this many shared reference rows take that route (their values
// sit on the stack); CTF systems have 29.
constexpr std::int64_t kMaxSharedRefs = 256;

}  // namespace

struct CFastLeadfield::Scratch {
    Owned<double> vx, vy, vz, rows;
    std::unique_ptr<megfwd::head::ShellCorrection::Workspace> shell;
    explicit Scratch(const CFastLeadfield& plan)
        : vx(plan.chunkPoints()), vy(plan.chunkPoints()), vz(plan.chunkPoints()),
          rows((plan.numMea + plan.numRef + 1) * 3) {
        if (plan.pShell)
            shell = std::make_unique<megfwd::head::ShellCorrection::Workspace>(plan.pShell->expansion->order,
                                                                               plan.pShell->numSensors);
    }
    bool ok() const { return vx.p && vy.p && vz.p && rows.p; }
};

CFastLeadfield::~CFastLeadfield() { clean(); }

int CFastLeadfield::clean() {
    for (double** a : {&px, &py, &pz, &nx, &ny, &nz, &ox, &oy, &oz, &wt, &rn, &rinv, &pn, &wk, &refCoef, &sharedRefCoef})
        release(*a);
    numSharedRefs = sharedRefStride = 0;
    release(rowStart);
    release(unitRow);
    release(unitStart);
    release(scanOrder);
    numUnits = 0;
    release(refStart);
    release(refRow);
    isBuilt = 0;
    numMea = numRef = numPts = numRefWeights = 0;
    numBrokenSensor = 0;
    pEngine = nullptr;
    return 1;
}

std::int64_t CFastLeadfield::chunkPoints() const {
    std::int64_t most = 0;
    for (std::int64_t u = 0; u < numUnits && unitStart; ++u) most = std::max(most, unitStart[u + 1] - unitStart[u]);
    return std::max(most, kPointsPerChunk);
}

std::int64_t CFastLeadfield::scratchBytesPerThread() const {
    return static_cast<std::int64_t>(sizeof(double)) * (3 * chunkPoints() + 3 * (numMea + numRef + 1));
}

int CFastLeadfield::build(CMForwardkw& engine, CMDataForwardkw& data) {
    // A failed build leaves an empty plan (no counts without their arrays).
    if (buildPlan(engine, data)) return 1;
    clean();
    return 0;
}

// The channel entries and the plan's rows, both ways: entryRow[entry] is
// the entry's row or -1, rowEntry[row] the entry of a row.
struct CFastLeadfield::Rows {
    Owned<std::int64_t> entryRow, rowEntry;
    explicit Rows(std::int64_t numEntries) : entryRow(numEntries), rowEntry(numEntries) {}
    bool ok() const { return entryRow.p && rowEntry.p; }
};

int CFastLeadfield::buildPlan(CMForwardkw& engine, CMDataForwardkw& data) {
    clean();
    engine.pDataFwd = &data;
    CForwardChnlkw* ch = data.pFwdChnl;
    if (!ch || !ch->pSnsCoils || ch->numChnl < 1) return 0;
    if (!readSettings(engine, data)) return 0;
    Rows rows(ch->numChnl);
    if (!rows.ok()) return 0;
    assignRows(*ch, rows);
    prepareIntegration(engine, *ch);
    if (!placePoints(*ch, rows) || !readReferenceWeights(*ch, rows) || !arrangeScanOrder()) return 0;
    shareReferenceWeights();
    isBuilt = 1;
    return 1;
}

int CFastLeadfield::readSettings(CMForwardkw& engine, const CMDataForwardkw& data) {
    int ord = engine.orderCoilIntg;
    if (!engine.setOrder4SnsCoilIntegration(ord)) return 0;  // the scans' message
    order = ord;
    pEngine = &engine;
    numComp = data.isTangLfd ? 2 : 3;
    isStdModel = engine.snsFwdModel != 1 ? 1 : 0;
    isUseRefSns = engine.isUseRefSns != 0 ? 1 : 0;
    basisSphere = data.singleSphere;

    // The formula of the coil members the scan would call: the
    // three-component members (CTF model, and the standard model with three
    // components) or the two-component members (standard model, two
    // components), whose factors and failure rules differ in places.
    const bool std2D = isStdModel && numComp == 2;
    const megfwd::FormulaRow& formula = megfwd::formulaRow(engine.coilFwdModel, engine.isMagSrc != 0);
    isGeneric = formula.family == megfwd::FormulaFamily::Generic ? 1 : 0;
    if (!isGeneric) family = static_cast<PointFamily>(formula.family);
    factor = megfwd::formulaFactorOr(std2D ? formula.coilFactor2Standard : formula.coilFactor3, engine.mu4PiRatio);
    isFailOnNoValue = formula.failsOnNoValueAlways || (std2D && formula.failsOnNoValue2Standard) ? 1 : 0;
    isUnitDirections = std2D && formula.unitDirections2Standard ? 1 : 0;
    if (isForceGeneric) isGeneric = 1;
    return 1;
}

// Rows: measurement entries, then (with references) reference entries,
// each in table order.
void CFastLeadfield::assignRows(const CForwardChnlkw& ch, Rows& rows) {
    const std::int64_t nChnl = ch.numChnl;
    std::int64_t nMea = 0, nRef = 0;
    for (std::int64_t i = 0; i < nChnl; ++i) {
        rows.entryRow.p[i] = -1;
        if (isMeaKind(ch.pSnsCoils[i].snsKind)) rows.entryRow.p[i] = nMea++;
    }
    if (isUseRefSns)
        for (std::int64_t i = 0; i < nChnl; ++i)
            if (isRefKind(ch.pSnsCoils[i].snsKind)) rows.entryRow.p[i] = nMea + nRef++;
    numMea = nMea;
    numRef = nRef;
    for (std::int64_t i = 0; i < nChnl; ++i)
        if (rows.entryRow.p[i] >= 0) rows.rowEntry.p[rows.entryRow.p[i]] = i;
}

// Integration data, in the order the scan meets the sensors on its first
// source (references first when they are used); the first sensor that is
// missing or cannot be prepared stops the preparation, as it stops the
// scan, and marks the plan broken.
void CFastLeadfield::prepareIntegration(CMForwardkw& engine, const CForwardChnlkw& ch) {
    const std::int64_t nChnl = ch.numChnl;
    if (isStdModel) {
        for (std::int64_t i = 0; i < nChnl; ++i) {
            const std::int64_t k = ch.pSnsCoils[i].snsKind;
            const bool hasRow = isMeaKind(k) || (isUseRefSns && isRefKind(k));
            if (hasRow && !ch.pSnsCoils[i].pMEGSns) numBrokenSensor = 1;
        }
        return;
    }
    for (int pass = isUseRefSns ? 0 : 1; pass < 2 && numBrokenSensor == 0; ++pass)
        for (std::int64_t i = 0; i < nChnl; ++i) {
            const std::int64_t k = ch.pSnsCoils[i].snsKind;
            if (pass == 0 ? !isRefKind(k) : !isMeaKind(k)) continue;
            CMEGSensorkw* s = ch.pSnsCoils[i].pMEGSns;
            bool ok = s != nullptr;
            if (ok && !s->isW12Set) ok = engine.setSnsWt12Pts(s, order) != 0;
            for (int c = 0; ok && c < s->getTotalCoils(); ++c) {
                CBscMagSnskw* coil = s->getCoil(c);
                if (coil && !coil->isB12Set) ok = engine.setCoilB12Pts(coil, order) != 0;
            }
            if (!ok) {
                numBrokenSensor = 1;
                break;
            }
        }
}

// Integration points a sensor gives the plan (none once a sensor is broken).
std::int64_t CFastLeadfield::pointsOf(const CMEGSensorkw* s) const {
    if (!s || numBrokenSensor) return 0;
    const int nCoils = s->getTotalCoils();
    std::int64_t coils = 0;
    for (int c = 0; c < nCoils; ++c) coils += s->getCoil(c) ? 1 : 0;
    if (isStdModel) return coils;
    if (nCoils < 1 || !s->getCoil(0)) return 0;  // no coil 0: the sensor reads 0
    const int nIp = std::clamp(s->numW12Pts, 0, 12);
    return coils * nIp;
}

// The rows' point ranges, then every point: its place relative to its
// sensor's origin, its coil normal, the source's origin, its folded weight
// and what the point loops need of the point alone (once here instead of
// once per source).
int CFastLeadfield::placePoints(const CForwardChnlkw& ch, const Rows& rows) {
    const std::int64_t nRows = numMea + numRef;
    rowStart = megfwd::newArray<std::int64_t>(nRows + 1);
    if (!rowStart) return 0;
    std::int64_t total = 0;
    for (std::int64_t r = 0; r < nRows; ++r) {
        rowStart[r] = total;
        total += pointsOf(ch.pSnsCoils[rows.rowEntry.p[r]].pMEGSns);
    }
    rowStart[nRows] = total;
    const std::int64_t room = total < 1 ? 1 : total;
    for (double** a : {&px, &py, &pz, &nx, &ny, &nz, &ox, &oy, &oz, &wt, &rn, &rinv, &pn, &wk})
        if (!(*a = megfwd::newArray<double>(room))) return 0;
    numPts = total;

    const bool std2D = isStdModel && numComp == 2;
    std::int64_t p = 0;
    for (std::int64_t r = 0; r < nRows && total > 0; ++r) {
        const CMEGSensorkw* s = ch.pSnsCoils[rows.rowEntry.p[r]].pMEGSns;
        if (pointsOf(s) == 0) continue;
        const double* origin = s->localSphere;
        // The standard model's two-component members take the source from
        // the basis, relative to the scan sphere's centre.
        const double* srcOrigin = std2D ? basisSphere.center : origin;
        const int nCoils = s->getTotalCoils();
        auto put = [&](const double* pos, const double* n, double w) {
            px[p] = pos[0] - origin[0], py[p] = pos[1] - origin[1], pz[p] = pos[2] - origin[2];
            nx[p] = n[0], ny[p] = n[1], nz[p] = n[2];
            ox[p] = srcOrigin[0], oy[p] = srcOrigin[1], oz[p] = srcOrigin[2];
            wt[p] = w;
            const double rel[3] = {px[p], py[p], pz[p]};
            const megfwd::fast::PointConstants pc = megfwd::fast::pointConstants(rel, n);
            rn[p] = pc.rn, rinv[p] = pc.rinv, pn[p] = pc.pn;
            wk[p] = w * factor;
            ++p;
        };
        if (isStdModel) {
            double sumWt = 0.0;
            for (int c = 0; c < nCoils; ++c)
                if (const CBscMagSnskw* coil = s->getCoil(c)) sumWt += coil->getMagApha();
            for (int c = 0; c < nCoils; ++c)
                if (const CBscMagSnskw* coil = s->getCoil(c))
                    put(coil->coilPos, coil->coilNormal,
                        sumWt != 0.0 ? coil->getMagApha() / sumWt : coil->getMagApha());
        } else {
            const double scale = std::abs(static_cast<double>(s->getCoil(0)->nTurns));
            const int nIp = std::clamp(s->numW12Pts, 0, 12);
            for (int c = 0; c < nCoils; ++c)
                if (const CBscMagSnskw* coil = s->getCoil(c))
                    for (int k = 0; k < nIp; ++k) {
                        const double w = s->w12Wt[k] * coil->nTurns;
                        put(coil->b12Pts[k].pos, coil->coilNormal, scale != 0.0 ? w / scale : w);
                    }
        }
    }
    isOneOrigin = 1;
    for (std::int64_t i = 1; i < numPts && isOneOrigin; ++i)
        isOneOrigin = ox[i] == ox[0] && oy[i] == oy[0] && oz[i] == oz[0] ? 1 : 0;
    return 1;
}

// Reference weights of the measurement rows, in the order of each entry's
// weights; a weight naming no entry is skipped, one naming an entry that is
// no reference sensor reads the row of zeros after the last row.
int CFastLeadfield::readReferenceWeights(const CForwardChnlkw& ch, const Rows& rows) {
    const std::int64_t nChnl = ch.numChnl, nRows = numMea + numRef;
    refStart = megfwd::newArray<std::int64_t>(numMea + 1);
    if (!refStart) return 0;
    auto weightsOf = [&](std::int64_t m) -> const CForwardC0SnsCoilskw* {
        const CForwardC0SnsCoilskw& e = ch.pSnsCoils[rows.rowEntry.p[m]];
        return isUseRefSns && e.pRefCoef ? &e : nullptr;
    };
    std::int64_t nW = 0;
    for (std::int64_t m = 0; m < numMea; ++m) {
        refStart[m] = nW;
        if (const CForwardC0SnsCoilskw* e = weightsOf(m))
            for (std::int64_t w = 0; w < e->numRefCoef; ++w)
                nW += e->pRefCoef[w].chnlIdx >= 0 && e->pRefCoef[w].chnlIdx < nChnl ? 1 : 0;
    }
    refStart[numMea] = nW;
    refRow = megfwd::newArray<std::int64_t>(nW < 1 ? 1 : nW);
    refCoef = megfwd::newArray<double>(nW < 1 ? 1 : nW);
    if (!refRow || !refCoef) return 0;
    std::int64_t q = 0;
    for (std::int64_t m = 0; m < numMea && nW > 0; ++m) {
        const CForwardC0SnsCoilskw* e = weightsOf(m);
        for (std::int64_t w = 0; e && w < e->numRefCoef; ++w) {
            const int idx = e->pRefCoef[w].chnlIdx;
            if (idx < 0 || idx >= nChnl) continue;
            const std::int64_t row = rows.entryRow.p[idx];
            refRow[q] = row >= numMea ? row : nRows;
            refCoef[q] = e->pRefCoef[w].coef;
            ++q;
        }
    }
    numRefWeights = nW;
    return 1;
}

int CFastLeadfield::arrangeScanOrder() {
    const std::int64_t nRows = numMea + numRef;
    unitRow = megfwd::newArray<std::int64_t>(nRows + 1);
    unitStart = megfwd::newArray<std::int64_t>(nRows + 1);
    scanOrder = megfwd::newArray<double>(kScanArrays * (numPts < 1 ? 1 : numPts));
    if (!unitRow || !unitStart || !scanOrder) return 0;
    const double* from[kScanArrays] = {px, py, pz, nx, ny, nz, ox, oy, oz, rn, rinv, pn, wk};
    const std::int64_t stride = numPts < 1 ? 1 : numPts;
    std::int64_t u = 0;
    for (std::int64_t r = 0; r < nRows;) {
        const std::int64_t K = rowStart[r + 1] - rowStart[r];
        bool side = !isGeneric && K > 0 && r + kUnitRows <= nRows;
        for (std::int64_t j = 1; side && j < kUnitRows; ++j) side = rowStart[r + j + 1] - rowStart[r + j] == K;
        const std::int64_t n = side ? kUnitRows : 1;
        unitRow[u] = r;
        unitStart[u] = rowStart[r];  // units hold whole rows, so they start where their first row does
        for (std::int64_t j = 0; j < n; ++j)
            for (std::int64_t k = 0; k < K; ++k) {
                const std::int64_t at = rowStart[r] + (side ? k * kUnitRows + j : k);
                for (std::int64_t a = 0; a < kScanArrays; ++a) scanOrder[a * stride + at] = from[a][rowStart[r + j] + k];
            }
        r += n, ++u;
    }
    numUnits = u;
    unitRow[u] = nRows;
    unitStart[u] = numPts;
    return 1;
}

void CFastLeadfield::shareReferenceWeights() {
    const std::int64_t count = numMea > 0 ? refStart[1] - refStart[0] : 0;
    if (count < 1 || count > kMaxSharedRefs) return;
    for (std::int64_t m = 1; m < numMea; ++m) {
        if (refStart[m + 1] - refStart[m] != count) return;
        for (std::int64_t w = 0; w < count; ++w)
            if (refRow[refStart[m] + w] != refRow[w]) return;
    }
    const std::int64_t stride = (numMea + kRefBlock - 1) / kRefBlock * kRefBlock;
    double* coef = megfwd::newArray<double>(count * stride);
    if (!coef) return;  // the general loop then does the work
    for (std::int64_t w = 0; w < count; ++w)
        for (std::int64_t m = 0; m < stride; ++m) coef[w * stride + m] = m < numMea ? refCoef[refStart[m] + w] : 0.0;
    sharedRefCoef = coef;
    numSharedRefs = count;
    sharedRefStride = stride;
}

namespace {

// The correction with shared reference rows (refs: each reference row's
// three values; coef: its coefficients for every measurement row, stride
// apart) from the rows R into out, C values per row. Whole blocks of
// kRefBlock rows run as vectors, read from R and written to out in this one
// function (values handed over through a scalar-written buffer stall the
// wide loads that follow); the rows after the last whole block run one by
// one. Every row takes the same operations in the same order either way.
template <int C>
[[gnu::always_inline]] inline void correctSharedRows(const double* R, const double* refs, const double* coef,
                                                     std::int64_t numRefs, std::int64_t stride, std::int64_t numMea,
                                                     double* __restrict out) {
    std::int64_t m0 = 0;
    for (; m0 + kRefBlock <= numMea; m0 += kRefBlock) {
        double v0[kRefBlock], v1[kRefBlock], v2[kRefBlock];
        const double* r = R + 3 * m0;
        for (std::int64_t k = 0; k < kRefBlock; ++k) v0[k] = r[3 * k], v1[k] = r[3 * k + 1], v2[k] = r[3 * k + 2];
        // The running values as twelve vectors, which stay in registers.
        Lanes a0[kRefVecs], a1[kRefVecs], a2[kRefVecs];
        std::memcpy(a0, v0, sizeof v0), std::memcpy(a1, v1, sizeof v1), std::memcpy(a2, v2, sizeof v2);
        for (std::int64_t w = 0; w < numRefs; ++w) {
            const double r0 = refs[3 * w], r1 = refs[3 * w + 1], r2 = refs[3 * w + 2];
            const double* c = coef + w * stride + m0;
#pragma GCC unroll 4
            for (std::int64_t j = 0; j < kRefVecs; ++j) {
                Lanes cj;
                std::memcpy(&cj, c + kLanes * j, sizeof cj);
                a0[j] -= r0 * cj;
                a1[j] -= r1 * cj;
                a2[j] -= r2 * cj;
            }
        }
        std::memcpy(v0, a0, sizeof v0), std::memcpy(v1, a1, sizeof v1), std::memcpy(v2, a2, sizeof v2);
        double* o = out + m0 * C;
        for (std::int64_t k = 0; k < kRefBlock; ++k) {
            o[C * k] = v0[k], o[C * k + 1] = v1[k];
            if constexpr (C == 3) o[C * k + 2] = v2[k];
        }
    }
    for (std::int64_t m = m0; m < numMea; ++m) {
        double v0 = R[3 * m], v1 = R[3 * m + 1], v2 = R[3 * m + 2];
        for (std::int64_t w = 0; w < numRefs; ++w) {
            const double c = coef[w * stride + m];
            v0 -= refs[3 * w] * c, v1 -= refs[3 * w + 1] * c, v2 -= refs[3 * w + 2] * c;
        }
        double* o = out + m * C;
        o[0] = v0, o[1] = v1;
        if constexpr (C == 3) o[2] = v2;
    }
}

// Built for AVX-512, AVX2 and plain x86-64, chosen when the program loads;
// none of the builds fuses a multiply and a subtraction (the file is built
// with -ffp-contract=off: an FMA rounds once), so all give the general
// loop's bits. Not under ThreadSanitizer: the loader runs the choosing
// function before the sanitizer's runtime is set up, and the program
// crashes at start.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void correctShared(const double* R, const double* refs, const double* coef, std::int64_t numRefs,
                   std::int64_t stride, std::int64_t numMea, int numComp, double* out) {
    if (numComp == 3)
        correctSharedRows<3>(R, refs, coef, numRefs, stride, numMea, out);
    else
        correctSharedRows<2>(R, refs, coef, numRefs, stride, numMea, out);
}

}  // namespace

// Each measurement row's three values less coef x the values of the
// reference rows it names, in the order of its weights, into out (numComp
// values per row). The running values are named scalars or fixed-size
// blocks, so that they stay in registers.
void CFastLeadfield::correctByReferences(const double* R, double* out) const {
    if (sharedRefCoef) {
        // The shared reference rows' values side by side, then blocks of rows.
        double refs[3 * kMaxSharedRefs];
        for (std::int64_t w = 0; w < numSharedRefs; ++w)
            for (int c = 0; c < 3; ++c) refs[3 * w + c] = R[3 * refRow[w] + c];
        correctShared(R, refs, sharedRefCoef, numSharedRefs, sharedRefStride, numMea, numComp, out);
        return;
    }
    for (std::int64_t m = 0; m < numMea; ++m) {
        double v0 = R[3 * m], v1 = R[3 * m + 1], v2 = R[3 * m + 2];
        for (std::int64_t w = refStart[m]; w < refStart[m + 1]; ++w) {
            const double* ref = R + 3 * refRow[w];
            const double c = refCoef[w];
            v0 -= ref[0] * c, v1 -= ref[1] * c, v2 -= ref[2] * c;
        }
        double* o = out + m * numComp;
        o[0] = v0, o[1] = v1;
        if (numComp == 3) o[2] = v2;
    }
}

megfwd::fast::PointArrays CFastLeadfield::scanOrderArrays() const {
    const std::int64_t stride = numPts < 1 ? 1 : numPts;
    const double* a[kScanArrays];
    for (std::int64_t i = 0; i < kScanArrays; ++i) a[i] = scanOrder + i * stride;
    megfwd::fast::PointArrays p;
    p.px = a[0], p.py = a[1], p.pz = a[2], p.nx = a[3], p.ny = a[4], p.nz = a[5], p.ox = a[6], p.oy = a[7], p.oz = a[8];
    p.rn = a[9], p.rinv = a[10], p.pn = a[11], p.wk = a[12];
    p.oneOrigin = isOneOrigin != 0;
    return p;
}

megfwd::fast::PointArrays CFastLeadfield::pointArrays() const {
    megfwd::fast::PointArrays a;
    a.px = px, a.py = py, a.pz = pz, a.nx = nx, a.ny = ny, a.nz = nz, a.ox = ox, a.oy = oy, a.oz = oz;
    a.rn = rn, a.rinv = rinv, a.pn = pn, a.wk = wk;
    a.oneOrigin = isOneOrigin != 0;
    return a;
}

namespace {

// The sums of a unit of kUnitRows rows with K points each, stored side by
// side (point k of row j at 8 k + j), into rows (three per row): each row's
// sum in its points' order, all rows at once. Additions only, so every
// build gives the same bits.
[[gnu::always_inline]] inline void sumSideBySide(const double* vx, const double* vy, const double* vz,
                                                 std::int64_t K, double* rows) {
    double L0[kUnitRows] = {}, L1[kUnitRows] = {}, L2[kUnitRows] = {};
    for (std::int64_t k = 0; k < K; ++k)
        for (std::int64_t j = 0; j < kUnitRows; ++j) {
            L0[j] += vx[k * kUnitRows + j];
            L1[j] += vy[k * kUnitRows + j];
            L2[j] += vz[k * kUnitRows + j];
        }
    for (std::int64_t j = 0; j < kUnitRows; ++j) rows[3 * j] = L0[j], rows[3 * j + 1] = L1[j], rows[3 * j + 2] = L2[j];
}

// The sums of units [u0, u1) (unitRow, unitStart as the plan holds them)
// from the point loop's values of their chunk, which starts at unit u0's
// first point, into rows, three per row, every sum in its row's point
// order. Built for AVX-512, AVX2 and plain x86-64, chosen when the program
// loads (not under ThreadSanitizer, as for correctShared).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void sumUnitRange(const std::int64_t* unitRow, const std::int64_t* unitStart, std::int64_t u0, std::int64_t u1,
                  const double* vx, const double* vy, const double* vz, double* rows) {
    const std::int64_t offset = unitStart[u0];
    for (std::int64_t u = u0; u < u1; ++u) {
        const std::int64_t b = unitStart[u] - offset, n = unitStart[u + 1] - unitStart[u];
        double* R = rows + 3 * unitRow[u];
        if (unitRow[u + 1] - unitRow[u] == kUnitRows) {
            sumSideBySide(vx + b, vy + b, vz + b, n / kUnitRows, R);
            continue;
        }
        double L0 = 0.0, L1 = 0.0, L2 = 0.0;
        for (std::int64_t i = b; i < b + n; ++i) L0 += vx[i], L1 += vy[i], L2 += vz[i];
        R[0] = L0, R[1] = L1, R[2] = L2;
    }
}

}  // namespace

void CFastLeadfield::sumUnits(const double* vx, const double* vy, const double* vz, std::int64_t u0, std::int64_t u1,
                              double* rows) const {
    sumUnitRange(unitRow, unitStart, u0, u1, vx, vy, vz, rows);
}

int CFastLeadfield::computeOne(const double* src, Scratch& s, double* out) const {
    const bool std2D = isStdModel && numComp == 2;
    R3Q3x3 basis;
    if (numComp == 2 && !pEngine->set2DVect4SrcAll(src, &basisSphere, &basis)) return 0;

    // The points in chunks of whole units of sensors, in scan order, so that
    // the loop's output stays in the first-level cache until its sums are
    // taken. The engine's coil members take the points one by one from the
    // row-order arrays: their units are single rows, so both orders agree.
    double* vx = s.vx.p;
    double* vy = s.vy.p;
    double* vz = s.vz.p;
    const megfwd::fast::PointArrays pts = scanOrderArrays();
    const std::int64_t nRows = numMea + numRef;
    double* R = s.rows.p;
    for (std::int64_t u0 = 0; u0 < numUnits;) {
        std::int64_t u1 = u0 + 1;
        while (u1 < numUnits && unitStart[u1 + 1] - unitStart[u0] <= kPointsPerChunk) ++u1;
        const std::int64_t b = unitStart[u0], e = unitStart[u1];
        if (!isGeneric) {
            const std::int64_t none = megfwd::fast::runPointKernel(family, pts, b, e, src, vx, vy, vz);
            if (none > 0 && isFailOnNoValue) return 0;
        } else {
            for (std::int64_t i = b; i < e; ++i) {
                const double p[3] = {px[i], py[i], pz[i]};
                const double n[3] = {nx[i], ny[i], nz[i]};
                double v[3] = {0.0, 0.0, 0.0};
                if (std2D) {
                    if (!pEngine->coil24xLf2D_all(p, n, &basis, v)) return 0;
                } else {
                    const double r0v[3] = {src[0] - ox[i], src[1] - oy[i], src[2] - oz[i]};
                    if (!pEngine->coil26xLf3D_all(p, n, r0v, v)) return 0;
                }
                vx[i - b] = wt[i] * v[0], vy[i - b] = wt[i] * v[1], vz[i - b] = wt[i] * v[2];
            }
        }
        sumUnits(vx, vy, vz, u0, u1, R);
        u0 = u1;
    }
    R[3 * nRows] = R[3 * nRows + 1] = R[3 * nRows + 2] = 0.0;
    // Two components: each sum's projections on the source's tangential
    // directions (the generic standard-model members project by themselves).
    if (numComp == 2 && !(std2D && isGeneric)) {
        double q0[3], q1[3];
        phys::copy(basis.q[0], q0);
        phys::copy(basis.q[1], q1);
        if (isUnitDirections) phys::normalize(q0), phys::normalize(q1);
        for (std::int64_t r = 0; r < nRows; ++r) {
            double* row = R + 3 * r;
            const double L0 = row[0], L1 = row[1], L2 = row[2];
            row[0] = L0 * q0[0] + L1 * q0[1] + L2 * q0[2];
            row[1] = L0 * q1[0] + L1 * q1[1] + L2 * q1[2];
            row[2] = 0.0;
        }
    }

    // Reference correction and the output block.
    correctByReferences(R, out);
    return 1;
}

int CFastLeadfield::compute(const double* pos, const std::int32_t* inScan, std::int64_t count, double* out,
                            int nThreads, std::int64_t* failedSource) const {
    if (failedSource) *failedSource = -1;
    if (!isBuilt || count < 0 || (count > 0 && (!pos || !out))) return 0;
    const std::int64_t per = valuesPerSource();
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> firstFail{std::numeric_limits<std::int64_t>::max()};
    std::atomic<std::int64_t> done{0};

    const bool withShell = pShell && numComp == 3;
    const std::int64_t perTask = withShell ? kShellSourcesPerTask : kSourcesPerTask;
    // The shell's products on the scan's threads, one BLAS thread each.
    std::optional<megfwd::head::OneBlasThread> oneBlasThread;
    if (withShell) oneBlasThread.emplace();

    auto work = [&]() {
        std::unique_ptr<Scratch> scratch;
        std::vector<double> shellPos;
        std::vector<double*> shellOut;
        if (withShell) shellPos.reserve(3 * perTask), shellOut.reserve(perTask);
        for (;;) {
            const std::int64_t b = next.fetch_add(perTask);
            if (b >= count) return;
            const std::int64_t e = std::min(count, b + perTask);
            shellPos.clear();
            shellOut.clear();
            for (std::int64_t i = b; i < e; ++i) {
                double* o = out + i * per;
                bool ok = true;
                if (inScan && inScan[i] != 1) {
                    std::fill(o, o + per, 0.0);
                } else if (numBrokenSensor) {
                    ok = false;
                } else {
                    if (!scratch) {
                        scratch.reset(megfwd::newObject<Scratch>(*this));
                        if (scratch && !scratch->ok()) scratch.reset();
                    }
                    ok = scratch && computeOne(pos + 3 * i, *scratch, o);
                    if (ok && withShell) {
                        shellPos.insert(shellPos.end(), pos + 3 * i, pos + 3 * i + 3);
                        shellOut.push_back(o);
                    }
                }
                if (!ok) {
                    std::fill(o, o + per, 0.0);
                    std::int64_t cur = firstFail.load();
                    while (i < cur && !firstFail.compare_exchange_weak(cur, i)) {
                    }
                }
            }
            if (!shellOut.empty())
                pShell->apply(static_cast<std::int64_t>(shellOut.size()), shellPos.data(), shellOut.data(),
                              *scratch->shell);
            done.fetch_add(e - b);
        }
    };

    std::vector<std::thread> helpers;
    const int extra = std::max(0, std::min<int>(nThreads, 256) - 1);
    try {
        for (int t = 0; t < extra && static_cast<std::int64_t>(t + 1) * perTask < count; ++t)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the others share the work.
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& t : helpers) t.join();
    if (done.load() != count) return 0;
    const std::int64_t f = firstFail.load();
    if (f != std::numeric_limits<std::int64_t>::max()) {
        if (failedSource) *failedSource = f;
        return 0;
    }
    return 1;
}

namespace megfwd::fast {

int hardwareThreads() {
    const unsigned n = std::thread::hardware_concurrency();
    return n < 1 ? 1 : static_cast<int>(n);
}

}  // namespace megfwd::fast

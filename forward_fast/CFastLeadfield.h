// The fast leadfield path: the leadfields of a grid scan (gridDewarLfd) for
// many sources, with the integration data of every sensor prepared once and
// all integration points of all measurement and reference sensors in flat
// arrays, one tight loop over points per source, and threads over blocks of
// sources.
//
// A plan is built from an engine and a prepared data manager (after
// prepare4VoxSnsLfdScan): it resolves and checks the integration order as
// every dewar scan does (with the same message), prepares the integration
// weights and points of the sensors with the engine's own setSnsWt12Pts and
// setCoilB12Pts (so the points are the scan's points), and copies every
// point with its coil normal, its sensor's origin (the centre of the local
// sphere) and a folded weight:
//   CTF model: integration weight x nTurns / |nTurns of coil 0| (undivided
//              when that is 0; a sensor without coil 0 has no points);
//   standard model: coil weight / sum of the coil weights at the coil
//              centres (undivided when the sum is 0).
// Per source the point loop gives, for every point, its weighted
// three-component coil-level value; the sums over each sensor's points are
// its leadfield. Two components are the projections of that sum on the
// source's tangential directions (set2DVect4SrcAll on the manager's
// singleSphere), with the factors and rules of the two-component members in
// the standard model (the scalar Sarvas form with its fixed 1e-7, Nut
// directions normalised, vector-form Sarvas failing where F = 0) and the
// three-component ones in the CTF model. Reference correction is a small
// matrix step afterwards: each measurement value minus, in the order of its
// channel entry's weights, coef x the value of the reference channel.
//
// The Grynszpan form (coilFwdModel 6) has no vectorised loop: its points go
// through the engine's own coil members, one point at a time, in the same
// flat layout and with the same threads.
//
// Results equal the record-by-record scan to rounding (the weights are
// folded and the projections formed after the sums); one thread and many
// give identical bits, since every source is computed alone by the same code.
//
// Nothing here writes into the channel set after the plan is built: the
// coils' per-point value slots are not used, and each thread has its own
// scratch arrays, taken before its first source.
#pragma once

#include <cstdint>

#include "forward_process/CMDataForwardkw.h"
#include "forward_engine/CMForwardkw.h"
#include "forward_fast/FastPointKernels.h"
#include "head_model/SingleShell.h"

class CFastLeadfield {
public:
    // Settings of the plan (read after build).
    int isBuilt = 0;
    int numComp = 3;               // 2 (tangential) or 3
    int isStdModel = 0;            // 1: standard sensor model (coil centres)
    int isUseRefSns = 0;           // reference correction
    int isGeneric = 0;             // 1: points through the engine's coil members
    int isFailOnNoValue = 0;       // a point where the formula has no value fails the source
    int isUnitDirections = 0;      // two components along normalised directions (Nut)
    int numBrokenSensor = 0;       // sensors whose preparation failed or that are missing
    megfwd::fast::PointFamily family = megfwd::fast::PointFamily::Sarvas;
    double factor = 1.0;           // the formula's factor
    int order = 2;                 // integration order in force
    // Setting to be made before build: 1 sends every formula through the
    // engine's coil members (used to compare the two routes).
    int isForceGeneric = 0;
    // The single-shell correction (not owned; null: none), fitted to this
    // plan's sensors in its frame: each source's three-component
    // leadfields, after reference correction, less the gradient of the
    // fitted potential there. Set after build, before compute.
    const megfwd::head::ShellCorrection* pShell = nullptr;

    std::int64_t numMea = 0;       // measurement sensors (rows 0 .. numMea-1, channel order)
    std::int64_t numRef = 0;       // reference sensors (rows numMea .., channel order)
    std::int64_t numPts = 0;
    // Owned arrays: numPts each, then numMea + numRef + 1 row starts.
    double *px = nullptr, *py = nullptr, *pz = nullptr;
    double *nx = nullptr, *ny = nullptr, *nz = nullptr;
    double *ox = nullptr, *oy = nullptr, *oz = nullptr;
    int isOneOrigin = 0;           // every point has the same origin (one sphere)
    double* wt = nullptr;
    // What the point loops take besides (megfwd::fast::PointArrays): |p|,
    // 1/|p|, p . n and the weight times the formula's factor.
    double *rn = nullptr, *rinv = nullptr, *pn = nullptr, *wk = nullptr;
    std::int64_t* rowStart = nullptr;
    // Reference weights of the measurement rows: refStart (numMea + 1), then
    // the referenced row (numMea + numRef is a row of zeros: a weight naming a
    // channel that is no reference sensor) and the coefficient.
    std::int64_t* refStart = nullptr;
    std::int64_t* refRow = nullptr;
    double* refCoef = nullptr;
    std::int64_t numRefWeights = 0;
    // When every measurement row names the same reference rows in the same
    // order (a CTF system's synthetic gradiometers), the coefficients again
    // by weight: sharedRefCoef[w * sharedRefStride + m] for the w-th
    // reference row refRow[w], rows padded with zeros to a whole block.
    // The correction then runs over blocks of measurement rows, one
    // reference at a time, which the compiler vectorises; each row still
    // subtracts its weights in their order, so the values are the same bits.
    double* sharedRefCoef = nullptr;
    std::int64_t numSharedRefs = 0;
    std::int64_t sharedRefStride = 0;
    // The point loop's own copy of the point arrays, in scan order: the rows
    // in units of eight consecutive rows with the same number of points K,
    // stored point by point with the eight rows side by side (point k of
    // the unit's row j at unitStart[u] + 8 k + j), or of one row alone,
    // stored in its order (the other rows, and every row of the engine's
    // coil members). The sums over the points of a unit's rows then run
    // over its eight rows at once, each row still in its points' order, so
    // they give the bits of one row at a time; the point loop gives each
    // point the same value in any order. Units hold whole rows: unitRow and
    // unitStart (numUnits + 1 each) are their first rows and first points.
    std::int64_t numUnits = 0;
    std::int64_t* unitRow = nullptr;
    std::int64_t* unitStart = nullptr;
    double* scanOrder = nullptr;   // the arrays the point loops read, one after another
    CSpherekw basisSphere;         // the sphere of the tangential directions
    const CMForwardkw* pEngine = nullptr;  // not owned: bases and coil members

    CFastLeadfield() = default;
    ~CFastLeadfield();
    CFastLeadfield(const CFastLeadfield&) = delete;
    CFastLeadfield& operator=(const CFastLeadfield&) = delete;

    // Builds the plan for the engine's settings and the manager's channel
    // set and scan sphere, and sets the engine's pDataFwd to the manager (as
    // a grid scan does). 0 for a missing channel set, a bad integration order
    // (with its message) or an allocation failure. Sensors whose integration
    // data cannot be made, and measurement or reference entries without a
    // sensor, make every in-scan source fail, as they fail the record scan.
    // The engine and the manager must outlive the plan's computations.
    int build(CMForwardkw& engine, CMDataForwardkw& data);

    // Leadfields of `count` sources into out (count x numMea x numComp,
    // source, sensor, component). pos: 3 doubles per source in the scan's
    // frame (the records' srcField.pos after preparation); inScan: the
    // records' isVoxIn (null: all in); a source whose flag is not exactly 1
    // gets zeros. nThreads < 2 runs on the caller's thread. Returns 1 when
    // every source was done, 0 otherwise (*failedSource, when given, then
    // names the first failing source; the values of the others are written).
    // The plan is only read, so several threads may compute with one plan
    // into separate outputs at once.
    int compute(const double* pos, const std::int32_t* inScan, std::int64_t count, double* out, int nThreads,
                std::int64_t* failedSource = nullptr) const;

    // The arrays in row order (rowStart) as the point loops read them.
    megfwd::fast::PointArrays pointArrays() const;
    // The same in scan order (unitStart).
    megfwd::fast::PointArrays scanOrderArrays() const;
    // Points per source, as the loop sees them.
    std::int64_t pointsPerSource() const { return numPts; }
    // Values in one source's block of out.
    std::int64_t valuesPerSource() const { return numMea * numComp; }
    // Points of the longest run of the point loop: the units of sensors are
    // taken in chunks of about 256 points, so that the loop's results are
    // summed while they are still in the first-level cache.
    std::int64_t chunkPoints() const;
    // Bytes of scratch memory one thread takes.
    std::int64_t scratchBytesPerThread() const;

    int clean();

private:
    struct Scratch;
    struct Rows;
    // The phases of build, in order.
    int buildPlan(CMForwardkw& engine, CMDataForwardkw& data);
    int readSettings(CMForwardkw& engine, const CMDataForwardkw& data);
    void assignRows(const CForwardChnlkw& ch, Rows& rows);
    void prepareIntegration(CMForwardkw& engine, const CForwardChnlkw& ch);
    std::int64_t pointsOf(const CMEGSensorkw* s) const;
    int placePoints(const CForwardChnlkw& ch, const Rows& rows);
    int readReferenceWeights(const CForwardChnlkw& ch, const Rows& rows);
    int arrangeScanOrder();
    void sumUnits(const double* vx, const double* vy, const double* vz, std::int64_t u0, std::int64_t u1,
                  double* rows) const;
    int computeOne(const double* src, Scratch& s, double* out) const;
    void shareReferenceWeights();
    void correctByReferences(const double* rows, double* out) const;
};

namespace megfwd::fast {

// The number of threads the machine offers (at least 1).
int hardwareThreads();

}  // namespace megfwd::fast

#include "forward_fast/CFastScanPlan.h"

#include <chrono>
#include <utility>

namespace {

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CFastScanPlan::~CFastScanPlan() {
    points.pShell = nullptr;
    points.clean();
    // The plan's build pointed the engine at the manager released here.
    if (pEngine && pGeometry && pEngine->pDataFwd == pGeometry.get()) pEngine->pDataFwd = nullptr;
}

int CFastScanPlan::prepare(CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> data) {
    const double t0 = nowSeconds();
    failed = Failure::Geometry;
    if (!data || !megfwd::fast::prepareFlatGeometry(*data, flat)) return 0;
    pGeometry = std::move(data);
    pEngine = &engine;
    failed = Failure::Plan;
    if (!points.build(engine, *pGeometry) || points.numMea != pGeometry->numSns ||
        points.numComp != pGeometry->numLf)
        return 0;
    // The signs are read from the source record, which is then released:
    // the sources themselves are prepared on flat arrays.
    failed = Failure::Post;
    if (!signs.read(*pGeometry)) return 0;
    pGeometry->cleanVoxSnsLfx();
    failed = Failure::None;
    prepareSeconds = nowSeconds() - t0;
    return 1;
}

void CFastScanPlan::setShell(megfwd::head::ShellCorrection fitted, double seconds) {
    correction.emplace(std::move(fitted));
    fitSeconds = seconds;
    points.pShell = &*correction;
}

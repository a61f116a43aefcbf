#include "forward_api/ShellScan.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/Errors.h"
#include "forward_api/SensorPlan.h"
#include "head_model/DenseAlgebra.h"

namespace megfwd {

void checkShellSettings(const CMForwardkw& engine, const CMDataForwardkw& data) {
    if (data.isTangLfd)
        throw InputError("the single-shell model gives three-component leadfields; two tangential components "
                         "(isTangLfd) would drop the part of the correction along the source's radius");
    if (engine.isMagSrc)
        throw InputError("the single-shell model corrects leadfields of current dipoles; magnetic sources "
                         "(isMagSrc) are not taken");
}

namespace {

// The channel names of the plan's rows: measurement sensors, then reference
// sensors when the plan has them, each in channel-set order.
std::vector<std::string> rowNames(const CFastLeadfield& plan, const CMDataForwardkw& data, const SystemRef& sys) {
    std::vector<std::string> mea, ref;
    const CForwardChnlkw* chn = data.pFwdChnl;
    for (std::int64_t e = 0; chn && e < chn->numChnl; ++e) {
        const CForwardC0SnsCoilskw& entry = chn->pSnsCoils[e];
        CMDChannelkw* ch = sys.trial ? sys.trial->getChannel(static_cast<int>(entry.chnlID)) : nullptr;
        const std::string name = "channel '" + (ch ? std::string(ch->chnlName) : std::to_string(entry.chnlID)) + "'";
        if (kind::isMeasure(entry.snsKind)) mea.push_back(name);
        if (plan.isUseRefSns && kind::isReference(entry.snsKind)) ref.push_back(name);
    }
    mea.insert(mea.end(), ref.begin(), ref.end());
    return mea;
}

}  // namespace

head::ShellCorrection fitShellToPlan(const head::SingleShell& model, const CFastLeadfield& plan,
                                     const CFlatSources& flat, const CMDataForwardkw& geometry, const SystemRef& sys,
                                     int threads) {
    if (plan.numComp != 3)
        throw InputError("the single-shell model gives three-component leadfields; two tangential components "
                         "(isTangLfd) would drop the part of the correction along the source's radius");
    // The frame change of the sources (centre shift, axes, unit), without
    // their stencil: surface points are not sources.
    CFlatSources frame = flat;
    frame.isSpatConstrained = 0;
    auto toScan = [&](const std::vector<double>& host) {
        const std::int64_t n = static_cast<std::int64_t>(host.size() / 3);
        std::vector<double> out(host.size());
        std::vector<std::int32_t> in(static_cast<std::size_t>(n)), modes(static_cast<std::size_t>(n));
        frame.prepare(host.data(), n, out.data(), in.data(), modes.data());
        return out;
    };
    const head::ShellFrame shellFrame = head::ShellFrame::fromMap([&](const std::array<double, 3>& p) {
        const std::vector<double> q = toScan({p[0], p[1], p[2]});
        return std::array<double, 3>{q[0], q[1], q[2]};
    });

    std::vector<double> points(3 * static_cast<std::size_t>(plan.numPts));
    for (std::int64_t i = 0; i < plan.numPts; ++i)
        points[3 * i] = plan.px[i], points[3 * i + 1] = plan.py[i], points[3 * i + 2] = plan.pz[i];
    const std::vector<std::string> names = rowNames(plan, geometry, sys);
    auto pointSensor = [&](std::int64_t point) {
        const std::int64_t* start = plan.rowStart;
        const std::int64_t row = std::upper_bound(start, start + plan.numMea + plan.numRef + 1, point) - start - 1;
        return row >= 0 && static_cast<std::size_t>(row) < names.size() ? names[static_cast<std::size_t>(row)]
                                                                         : "integration point #" + std::to_string(point);
    };
    auto leadfield = [&](const double* pos, std::int64_t count, double* out) {
        std::int64_t failed = -1;
        if (!plan.compute(pos, nullptr, count, out, threads, &failed))
            throw ComputeError("the sphere's leadfields at the inner-skull surface " + model.surface.label +
                               " could not be computed (at its triangle " + std::to_string(failed) + ")");
    };
    return head::fitShellCorrection(model, shellFrame, points, pointSensor, plan.numMea, leadfield);
}

head::ShellCorrection fitShellForSettings(const head::SingleShell& model, const SystemRef& sys,
                                          const SettingOverrides& settings, int threads) {
    CMForwardkw engine;
    CFastScanPlan plan;
    prepareSensorPlan(plan, engine, sys, settings, model.surface.vertices.data(), &model, threads);
    return *plan.shell();
}

void applyShellToRecords(const head::ShellCorrection& correction, CMDataForwardkw& data, ScanKind kind) {
    head::ShellCorrection::Workspace ws(correction.expansion->order, correction.numSensors);
    head::OneBlasThread oneThread;
    // The sources in scan, a block at a time: each one's -grad(Phi) at every
    // sensor, then added to its records.
    constexpr int kBlock = head::ShellCorrection::kBlock;
    std::vector<double> grad(static_cast<std::size_t>(kBlock * 3 * data.numSns));
    std::vector<double> pos(3 * kBlock);
    std::vector<double*> rows(kBlock);
    std::vector<std::int64_t> block;
    auto flush = [&] {
        const auto n = static_cast<std::int64_t>(block.size());
        std::fill(grad.begin(), grad.end(), 0.0);
        for (std::int64_t b = 0; b < n; ++b) {
            std::copy(data.pVoxSnsLfx[block[b]].srcField.pos, data.pVoxSnsLfx[block[b]].srcField.pos + 3,
                      pos.begin() + 3 * b);
            rows[b] = grad.data() + b * 3 * data.numSns;
        }
        correction.apply(n, pos.data(), rows.data(), ws);  // grad = -grad(Phi)
        for (std::int64_t b = 0; b < n; ++b) {
            CFISrcSnsLf& rec = data.pVoxSnsLfx[block[b]];
            for (std::int64_t j = 0; j < data.numSns; ++j) {
                const double* g = rows[b] + 3 * j;
                if (kind == ScanKind::Bcmp) {
                    const double* q = rec.srcField.mom;
                    rec.pSnsLf[j].bcmp += g[0] * q[0] + g[1] * q[1] + g[2] * q[2];
                } else {
                    for (int k = 0; k < 3 && k < data.numLf; ++k) rec.pSnsLf[j].pLf[k] += g[k];
                }
            }
        }
        block.clear();
    };
    for (std::int64_t i = 0; i < data.numSrc; ++i) {
        if (data.pVoxSnsLfx[i].isVoxIn != 1) continue;
        block.push_back(i);
        if (static_cast<int>(block.size()) == kBlock) flush();
    }
    if (!block.empty()) flush();
}

nlohmann::json shellJson(const head::SingleShell& model, const head::ShellCorrection& correction) {
    nlohmann::json j = correction.describe();
    const auto c = model.centre();
    j["surface"] = model.surface.label;
    j["centre_mm"] = {c[0], c[1], c[2]};
    j["centre_source"] = model.options.centre ? "given" : "the surface's least-squares sphere (Taubin)";
    j["surface_was_turned"] = model.wasTurned;
    if (model.wasTurned) j["surface_note"] = "the triangles were wound inward and were turned";
    return j;
}

}  // namespace megfwd

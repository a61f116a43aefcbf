#include "forward_api/SensorPlan.h"

#include <chrono>
#include <string>
#include <utility>

#include "base/Errors.h"
#include "forward_api/LocalSpheresFile.h"
#include "forward_api/ShellScan.h"
#include "host_interfaces/Afx.h"

namespace megfwd {

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void setUpChannels(CMForwardkw& engine, CMDataForwardkw& data, const SystemRef& sys,
                   const SettingOverrides& settings) {
    settings.applyTo(engine, data);
    if (!data.initFwdChn(sys.recording, sys.trial, 0, settings.goodChannelsOnly ? 1 : 0, engine.isUseRefSns ? 1 : 0))
        throw ComputeError(sys.label + ": the forward channel set could not be built (fewer than 2 channels?)");
    if (data.numSns < 2)
        throw InputError(sys.label + ": " + std::to_string(data.numSns) +
                         " measurement sensor(s) in the channel set; at least 2 are needed");
    checkLocalSpheres(data);
}

void prepareSensorPlan(CFastScanPlan& plan, CMForwardkw& engine, std::unique_ptr<CMDataForwardkw> data,
                       const SystemRef& sys, const double probe[3], const head::SingleShell* shell, int threads) {
    CVirtSnsPOXlistkw one;
    one.addPosition(probe[0], probe[1], probe[2]);
    if (!data || !data->initFwdPosVsp(&one))
        throw ComputeError(sys.label + ": preparing the sensors failed (no memory for the manager's records)");
    if (!plan.prepare(engine, std::move(data))) switch (plan.failure()) {
            case CFastScanPlan::Failure::Plan:
                throw ComputeError(sys.label + ": the sensors' integration points could not be prepared (the "
                                   "integration order, or memory; see the library's message, if any)");
            case CFastScanPlan::Failure::Post:
                throw ComputeError(sys.label + ": the sensor signs of the post-processing could not be read");
            default:
                throw ComputeError(sys.label + ": preparing the sensors failed (channel set, spheres or settings; "
                                   "see the library's message, if any)");
        }
    if (!shell) return;
    checkShellSettings(engine, plan.geometry());
    const double t0 = now();
    head::ShellCorrection fitted = fitShellToPlan(*shell, plan.leadfield(), plan.sources(), plan.geometry(), sys, threads);
    plan.setShell(std::move(fitted), now() - t0);
}

void prepareSensorPlan(CFastScanPlan& plan, CMForwardkw& engine, const SystemRef& sys,
                       const SettingOverrides& settings, const double probe[3], const head::SingleShell* shell,
                       int threads) {
    std::unique_ptr<CMDataForwardkw> data(newObject<CMDataForwardkw>());
    if (!data) throw ComputeError(sys.label + ": no memory for the forward data manager");
    setUpChannels(engine, *data, sys, settings);
    prepareSensorPlan(plan, engine, std::move(data), sys, probe, shell, threads);
}

std::unique_ptr<KeptPlan> SensorPlanCache::take(const SettingOverrides& settings, const head::SingleShell* shell) {
    std::lock_guard<std::mutex> hold(lock);
    for (auto it = kept.rbegin(); it != kept.rend(); ++it)
        if ((*it)->shell.get() == shell && (*it)->settings == settings) {
            std::unique_ptr<KeptPlan> found = std::move(*it);
            kept.erase(std::next(it).base());
            return found;
        }
    return nullptr;
}

void SensorPlanCache::keep(std::unique_ptr<KeptPlan> plan) {
    if (!plan) return;
    std::unique_ptr<KeptPlan> dropped;  // freed outside the lock
    std::lock_guard<std::mutex> hold(lock);
    if (kept.size() >= kKept) {
        dropped = std::move(kept.front());
        kept.erase(kept.begin());
    }
    kept.push_back(std::move(plan));
}

std::size_t SensorPlanCache::size() const {
    std::lock_guard<std::mutex> hold(lock);
    return kept.size();
}

PlanLease::PlanLease(const SystemRef& sys, const SettingOverrides& settings,
                     std::shared_ptr<const head::SingleShell> shell)
    : cache(sys.plans), messagesBefore(messagesShown()) {
    if (cache) held = cache->take(settings, shell.get());
    wasLent = mayKeep = held != nullptr;
    if (!held) {
        held = std::make_unique<KeptPlan>();
        held->settings = settings;
        held->shell = std::move(shell);
    }
}

PlanLease::~PlanLease() {
    if (cache && mayKeep) cache->keep(std::move(held));
}

void PlanLease::prepare(std::unique_ptr<CMDataForwardkw> data, const SystemRef& sys, const double probe[3],
                        int threads) {
    if (wasLent) return;
    if (data)
        prepareSensorPlan(held->plan, held->engine, std::move(data), sys, probe, held->shell.get(), threads);
    else
        prepareSensorPlan(held->plan, held->engine, sys, held->settings, probe, held->shell.get(), threads);
    mayKeep = messagesShown() == messagesBefore;
}

const char* PlanLease::origin() const {
    return wasLent ? "kept from an earlier computation on these sensors with the same settings"
                   : "prepared for this computation";
}

}  // namespace megfwd

// The single-shell head model in a computation: its correction fitted to
// the scan's sensors in the scan's frame, applied inside the fast path's
// point loops or to the records of the record-by-record scan, before any
// post-processing (head_model/SingleShell.h has the physics).
#pragma once

#include <nlohmann/json.hpp>

#include "forward_api/Compute.h"
#include "forward_fast/CFastLeadfield.h"
#include "forward_fast/FlatSources.h"
#include "head_model/SingleShell.h"

namespace megfwd {

// Refuses settings the correction cannot serve (two tangential components,
// magnetic sources) with an InputError that names the setting.
void checkShellSettings(const CMForwardkw& engine, const CMDataForwardkw& data);

// Fits the correction to the sensors of `plan` (built, without a
// correction): the surface and the centre go into the scan's frame by the
// sources' own preparation (`flat`), the sphere's leadfields at the
// quadrature points come from the plan. Throws InputError for an
// integration point inside or on the surface (naming the channel) and
// ComputeError when those leadfields cannot be computed.
head::ShellCorrection fitShellToPlan(const head::SingleShell& model, const CFastLeadfield& plan,
                                     const CFlatSources& flat, const CMDataForwardkw& geometry, const SystemRef& sys,
                                     int threads);

// The same for a computation that builds no plan of its own (the
// record-by-record route, field values): the geometry and a plan are
// prepared here with `settings`.
head::ShellCorrection fitShellForSettings(const head::SingleShell& model, const SystemRef& sys,
                                          const SettingOverrides& settings, int threads);

// Subtracts the correction from every in-scan record of a scanned manager:
// the three leadfield components (Lfd, Lfx), or the moment's projection of
// the correction from the field value (Bcmp).
void applyShellToRecords(const head::ShellCorrection& correction, CMDataForwardkw& data, ScanKind kind);

// The metadata: the surface, the options and the fit's facts.
nlohmann::json shellJson(const head::SingleShell& model, const head::ShellCorrection& correction);

}  // namespace megfwd

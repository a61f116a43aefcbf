#include "SensorTables.h"

#include <cmath>

#include "base/Errors.h"
#include "base/FileText.h"
#include "forward_api/SensorArrayFile.h"
#include "host_interfaces/Recording.h"

namespace megfwd::toolbox {
namespace {

double cell(const std::vector<double>& table, std::int64_t rows, std::int64_t i, int k) {
    return table[static_cast<std::size_t>(i + rows * k)];
}

// A 1-based index stored as a double, checked.
std::int64_t index(double v, std::int64_t n, const std::string& where) {
    if (!(v >= 1.0 && v <= static_cast<double>(n) && v == std::floor(v)))
        throw InputError(where + " is " + exactNumber(v) + ", not a channel number from 1 to " + std::to_string(n));
    return static_cast<std::int64_t>(v) - 1;
}

}  // namespace

SensorTables readSensorTables(const std::string& path) {
    std::unique_ptr<SensorArray> array = loadSensorArray(path);
    CMDTrialkw* trial = array->trial();
    SensorTables t;
    const int nch = trial->getTotalChannel();
    std::vector<std::vector<double>> coils, refs;
    for (int c = 0; c < nch; ++c) {
        const CMDChannelkw* ch = trial->getChannel(c);
        t.names.push_back(ch->chnlName);
        const CMEGSensorkw* s = ch->pMEGSns;
        const bool meg = s && (kind::isMeasure(ch->snsKind) || kind::isReference(ch->snsKind));
        if (meg)
            for (int k = 0; k < s->getTotalCoils(); ++k)
                if (const CBscMagSnskw* coil = s->getCoil(k))
                    coils.push_back({c + 1.0, coil->coilPos[0], coil->coilPos[1], coil->coilPos[2],
                                     coil->coilOrient[0], coil->coilOrient[1], coil->coilOrient[2], coil->coilRadius,
                                     static_cast<double>(coil->nTurns), coil->getMagApha()});
        for (int r = 0; r < ch->numRefCoef && ch->pRefCoef; ++r)
            refs.push_back({c + 1.0, ch->pRefCoef[r].chnlIdx + 1.0, ch->pRefCoef[r].coef});
    }
    // Column-major tables.
    t.channels.resize(static_cast<std::size_t>(nch) * kChannelColumns);
    for (int c = 0; c < nch; ++c) {
        const CMDChannelkw* ch = trial->getChannel(c);
        t.channels[static_cast<std::size_t>(c)] = ch->snsKind;
        t.channels[static_cast<std::size_t>(c + nch)] = ch->isGood ? 1.0 : 0.0;
        t.channels[static_cast<std::size_t>(c + 2 * nch)] = ch->pMEGSns ? ch->pMEGSns->getSensorGain() : 1.0;
    }
    auto columnMajor = [](const std::vector<std::vector<double>>& rows, int cols) {
        std::vector<double> out(rows.size() * static_cast<std::size_t>(cols));
        for (std::size_t i = 0; i < rows.size(); ++i)
            for (int k = 0; k < cols; ++k) out[i + rows.size() * static_cast<std::size_t>(k)] = rows[i][static_cast<std::size_t>(k)];
        return out;
    };
    t.coils = columnMajor(coils, kCoilColumns);
    t.references = columnMajor(refs, kReferenceColumns);
    return t;
}

void writeSensorTables(const SensorTables& t, const std::string& path) {
    const auto nch = static_cast<std::int64_t>(t.names.size());
    if (static_cast<std::int64_t>(t.channels.size()) != nch * kChannelColumns)
        throw InputError("the channel table has " + std::to_string(t.channels.size()) + " values for " +
                         std::to_string(nch) + " channels");
    CMDTrialkw trial;
    std::vector<CMDChannelkw> channels(static_cast<std::size_t>(nch));
    std::vector<CMEGSensorkw> sensors(static_cast<std::size_t>(nch));
    for (std::int64_t c = 0; c < nch; ++c) {
        CMDChannelkw& ch = channels[static_cast<std::size_t>(c)];
        ch.chnlName = t.names[static_cast<std::size_t>(c)];
        const double kindValue = cell(t.channels, nch, c, 0);
        if (!(std::fabs(kindValue) < 1e9 && kindValue == std::floor(kindValue)))
            throw InputError("channel '" + ch.chnlName + "': kind " + exactNumber(kindValue) + " is not a whole number");
        ch.snsKind = static_cast<int>(kindValue);
        ch.isGood = cell(t.channels, nch, c, 1) != 0.0 ? 1 : 0;
        sensors[static_cast<std::size_t>(c)].sensorName = ch.chnlName;
        sensors[static_cast<std::size_t>(c)].sensorGain = cell(t.channels, nch, c, 2);
    }
    const std::int64_t ncoil = t.numCoils();
    for (std::int64_t j = 0; j < ncoil; ++j) {
        const std::int64_t c = index(cell(t.coils, ncoil, j, 0), nch, "coil " + std::to_string(j + 1) + "'s channel");
        const double pos[3] = {cell(t.coils, ncoil, j, 1), cell(t.coils, ncoil, j, 2), cell(t.coils, ncoil, j, 3)};
        const double nor[3] = {cell(t.coils, ncoil, j, 4), cell(t.coils, ncoil, j, 5), cell(t.coils, ncoil, j, 6)};
        const double turns = cell(t.coils, ncoil, j, 8);
        if (!(std::fabs(turns) < 2e9 && turns == std::floor(turns)))
            throw InputError("channel '" + t.names[static_cast<std::size_t>(c)] + "', coil " + std::to_string(j + 1) +
                             ": turns " + exactNumber(turns) + " is not a whole number");
        CBscMagSnskw coil;
        coil.setCoil(pos, nor, cell(t.coils, ncoil, j, 7), static_cast<int>(turns), cell(t.coils, ncoil, j, 9));
        sensors[static_cast<std::size_t>(c)].addCoil(coil);
    }
    std::vector<std::vector<REFCOEF>> coefs(static_cast<std::size_t>(nch));
    const std::int64_t nref = t.numReferences();
    for (std::int64_t k = 0; k < nref; ++k) {
        const std::string where = "reference weight " + std::to_string(k + 1);
        const std::int64_t c = index(cell(t.references, nref, k, 0), nch, where + "'s channel");
        REFCOEF r;
        r.chnlIdx = static_cast<int>(index(cell(t.references, nref, k, 1), nch, where + "'s reference channel"));
        r.refName = t.names[static_cast<std::size_t>(r.chnlIdx)];
        r.coef = cell(t.references, nref, k, 2);
        coefs[static_cast<std::size_t>(c)].push_back(r);
    }
    for (std::int64_t c = 0; c < nch; ++c) {
        CMDChannelkw& ch = channels[static_cast<std::size_t>(c)];
        if (sensors[static_cast<std::size_t>(c)].getTotalCoils() > 0) ch.setSensor(sensors[static_cast<std::size_t>(c)]);
        if (!coefs[static_cast<std::size_t>(c)].empty()) ch.setRefCoefs(coefs[static_cast<std::size_t>(c)]);
        trial.addChannel(ch);
    }
    // The file reader's checks (coils of MEG channels, normals, bounds,
    // references to reference channels) before anything is written.
    const std::string text = sensorArrayText(trial);
    std::unique_ptr<SensorArray> checked = parseSensorArray(text, path);
    writeSensorArray(*checked->trial(), path);
}

}  // namespace megfwd::toolbox

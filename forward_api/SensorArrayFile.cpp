#include "forward_api/SensorArrayFile.h"

#include <cmath>
#include <map>
#include <set>

#include "forward_api/AtomicFile.h"
#include "base/Errors.h"
#include "base/FileText.h"
#include "base/JsonDocument.h"
#include "forward_api/Sources.h"

namespace megfwd {
namespace {

using nlohmann::json;

// Builds the "FILE: channel 'X' (#3), coil #2: " prefix of a message.
struct Place {
    const std::string& file;
    std::string channel;  // empty: file level
    int coil = 0;         // 1-based, 0: none

    InputError error(const std::string& what) const {
        std::string s = file + ": ";
        if (!channel.empty()) s += channel + ", ";
        if (coil > 0) s += "coil #" + std::to_string(coil) + ": ";
        else if (!channel.empty()) s.replace(s.size() - 2, 2, ": ");
        return InputError(s + what);
    }
};

// A member the reader needs: a missing one is "missing 'key'".
JsonValue required(const JsonValue& obj, const char* key, const Place& at) {
    const std::optional<JsonValue> v = obj.find(key);
    if (!v) throw at.error(std::string("missing '") + key + "'");
    return *v;
}

double finiteNumber(const JsonValue& v, const char* key, const Place& at) {
    if (!v.isNumber()) throw at.error(std::string("'") + key + "' must be a number, not " + v.typeName());
    const double d = v.number();
    if (!std::isfinite(d)) throw at.error(std::string("'") + key + "' is not a finite number");
    return d;
}

long long integer(const JsonValue& v, const char* key, const Place& at) {
    if (!v.isInteger()) throw at.error(std::string("'") + key + "' must be an integer, not " + v.typeName());
    return v.integer();
}

void vector3(const JsonValue& obj, const char* key, const Place& at, double out[3]) {
    const JsonValue v = required(obj, key, at);
    if (!v.isArray() || v.size() != 3) throw at.error(std::string("'") + key + "' must be an array of 3 numbers");
    int i = 0;
    v.forEachElement([&](const JsonValue& e) {
        if (!e.isNumber()) throw at.error(std::string("'") + key + "' must be an array of 3 numbers");
        out[i] = e.number();
        if (!std::isfinite(out[i])) throw at.error(std::string("'") + key + "' holds a number that is not finite");
        ++i;
    });
}

// Notes each key of `obj` that is not in `known`, once however often the
// object repeats it; `where` is built only for a note.
template <class Where>
void noteUnknownKeys(const JsonValue& obj, std::initializer_list<std::string_view> known, const Where& where,
                     std::vector<std::string>& notes) {
    std::vector<std::string_view> noted;
    obj.forEachMember([&](std::string_view key, const JsonValue&) {
        for (std::string_view k : known)
            if (key == k) return;
        for (std::string_view n : noted)
            if (key == n) return;
        noted.push_back(key);
        notes.push_back(where() + ": unknown key '" + std::string(key) + "' ignored");
    });
}

std::string channelLabel(const std::string& name, std::size_t index) {
    return "channel '" + name + "' (#" + std::to_string(index + 1) + ")";
}

double unitScale(const std::string& unit) { return unit == "m" ? 1000.0 : 1.0; }

// A coil from values already read as numbers, in `unit`: the checks of value
// that a file and arrays share. Positions and radius come back in mm.
CBscMagSnskw checkedCoil(const Place& at, double pos[3], double normal[3], double radius, long long turns,
                         double weight, const std::string& unit) {
    const double scale = unitScale(unit);
    const double len = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (!(len > 0.0)) throw at.error("'normal' has zero length");
    if (!std::isfinite(len)) throw at.error("'normal' is too long to be normalised; give a direction of ordinary size");
    for (int a = 0; a < 3; ++a)
        if (!(std::fabs(pos[a]) * scale <= kMaxCoordinateMm))
            throw at.error(std::string("'position' ") + "xyz"[a] + " = " + exactNumber(pos[a]) + " " + unit +
                           " is farther than 10 m from the origin (at most " + exactNumber(kMaxCoordinateMm / scale) +
                           " " + unit + " on each axis)");
    for (int a = 0; a < 3; ++a) pos[a] *= scale;
    if (radius < 0.0) throw at.error("'radius' is negative (" + exactNumber(radius) + ")");
    if (radius * scale > kMaxCoilRadiusMm)
        throw at.error("'radius' " + exactNumber(radius) + " " + unit + " is larger than a pickup coil can be (at most " +
                       exactNumber(kMaxCoilRadiusMm) + " mm)");
    if (turns < INT32_MIN || turns > INT32_MAX) throw at.error("'turns' is out of range");
    CBscMagSnskw coil;
    coil.setCoil(pos, normal, radius * scale, static_cast<int>(turns), weight);
    return coil;
}

// A reference weight on channel `target`, which must be a reference sensor.
REFCOEF checkedReference(const Place& at, std::size_t target, const std::vector<std::string>& names,
                         const std::vector<long long>& kinds, double weight) {
    const long long refKind = kinds[target];
    if (!kind::isReference(refKind))
        throw at.error("names '" + names[target] + "', which is not a reference sensor (kind " +
                       std::to_string(refKind) + "; reference sensors have kind 10..13)");
    REFCOEF c;
    c.coef = weight;
    c.chnlIdx = static_cast<int>(target);
    c.refName = names[target];
    return c;
}

void requireGoodSensors(const Place& top, int goodMeasurement) {
    if (goodMeasurement < 2)
        throw top.error(std::to_string(goodMeasurement) + " good measurement sensor" + (goodMeasurement == 1 ? "" : "s") +
                        " (kind 100..103); at least 2 are needed");
}

}  // namespace

std::unique_ptr<SensorArray> loadSensorArray(const std::string& path) {
    return parseSensorArray(readWholeFile(path), path);
}

namespace {

// The file's format, version and unit; anything else at the top level is
// noted, and the channels are read by the steps below.
void readHeader(const JsonValue& root, const Place& top, SensorArray& out) {
    if (!root.isObject()) throw top.error("the top level must be a JSON object, not " + std::string(root.typeName()));
    const std::optional<JsonValue> format = root.find("format");
    if (!format)
        throw top.error(std::string("missing 'format' (a sensor-array file has \"format\": \"") + kSensorArrayFormat + "\")");
    if (!format->isString() || format->string() != kSensorArrayFormat)
        throw top.error("'format' is " + format->text() + ", expected \"" + kSensorArrayFormat + "\"");
    const JsonValue version = required(root, "version", top);
    if (!version.isInteger() || version.integer() != kSensorArrayVersion)
        throw top.error("unsupported 'version' " + version.text() + " (this megfwd reads version " +
                        std::to_string(kSensorArrayVersion) + ")");
    noteUnknownKeys(root, {"format", "version", "unit", "channels", "description"}, [&] { return top.file; }, out.notes);
    if (const std::optional<JsonValue> u = root.find("unit")) {
        if (!u->isString() || (u->string() != "mm" && u->string() != "m"))
            throw top.error("'unit' is " + u->text() + ", expected \"mm\" or \"m\"");
        out.unit = std::string(u->string());
    }
}

// Every channel's name and kind, read before anything else so that a
// reference can name any channel of the file.
struct ChannelIndex {
    std::vector<std::string> names;
    std::vector<long long> kinds;
    std::map<std::string, std::size_t, std::less<>> byName;
};

ChannelIndex indexChannels(const JsonValue& channels, const std::string& file) {
    ChannelIndex index;
    std::size_t i = 0;
    channels.forEachElement([&](const JsonValue& ch) {
        auto at = [&] { return Place{file, "channel #" + std::to_string(i + 1), 0}; };
        if (!ch.isObject()) throw at().error("must be a JSON object, not " + std::string(ch.typeName()));
        const JsonValue nameValue = required(ch, "name", at());
        if (!nameValue.isString() || nameValue.string().empty()) throw at().error("'name' must be a non-empty string");
        std::string name(nameValue.string());
        auto named = [&] { return Place{file, channelLabel(name, i), 0}; };
        const long long kind = integer(required(ch, "kind", named()), "kind", named());
        if (kind < INT32_MIN || kind > INT32_MAX) throw named().error("'kind' is out of range");
        auto [it, fresh] = index.byName.emplace(name, i);
        if (!fresh)
            throw named().error("duplicate channel name (also channel #" + std::to_string(it->second + 1) + ")");
        index.names.push_back(std::move(name));
        index.kinds.push_back(kind);
        ++i;
    });
    return index;
}

// An MEG sensor's gain and coils.
CMEGSensorkw readSensor(const JsonValue& ch, const std::string& name, const Place& at, SensorArray& out) {
    const std::string& file = at.file;
    CMEGSensorkw sensor;
    sensor.sensorName = name;
    if (const std::optional<JsonValue> gain = ch.find("gain")) sensor.sensorGain = finiteNumber(*gain, "gain", at);
    const std::optional<JsonValue> coils = ch.find("coils");
    if (!coils) throw at.error("missing 'coils' (an MEG sensor needs at least one coil)");
    if (!coils->isArray()) throw at.error("'coils' must be an array, not " + std::string(coils->typeName()));
    if (coils->size() == 0) throw at.error("'coils' is empty (an MEG sensor needs at least one coil)");
    int j = 0;
    coils->forEachElement([&](const JsonValue& c) {
        const Place cat{file, at.channel, ++j};
        if (!c.isObject()) throw cat.error("must be a JSON object, not " + std::string(c.typeName()));
        noteUnknownKeys(c, {"position", "normal", "radius", "turns", "weight"},
                        [&] { return file + ": " + at.channel + ", coil #" + std::to_string(j); }, out.notes);
        double pos[3], normal[3];
        vector3(c, "position", cat, pos);
        vector3(c, "normal", cat, normal);
        const double radius = finiteNumber(required(c, "radius", cat), "radius", cat);
        long long turns = 1;
        if (const std::optional<JsonValue> t = c.find("turns")) turns = integer(*t, "turns", cat);
        double weight = static_cast<double>(turns);
        if (const std::optional<JsonValue> w = c.find("weight")) weight = finiteNumber(*w, "weight", cat);
        sensor.addCoil(checkedCoil(cat, pos, normal, radius, turns, weight, out.unit));
    });
    return sensor;
}

// A channel's reference weights, each naming a reference channel of the file.
std::vector<REFCOEF> readReferences(const JsonValue& refs, const Place& at, const ChannelIndex& index) {
    if (!refs.isArray()) throw at.error("'references' must be an array, not " + std::string(refs.typeName()));
    std::vector<REFCOEF> coefs;
    coefs.reserve(refs.size());
    std::size_t r = 0;
    refs.forEachElement([&](const JsonValue& ref) {
        const Place rat{at.file, at.channel + ", reference #" + std::to_string(++r), 0};
        if (!ref.isObject()) throw rat.error("must be a JSON object, not " + std::string(ref.typeName()));
        const JsonValue channel = required(ref, "channel", rat);
        if (!channel.isString()) throw rat.error("'channel' must be a string, not " + std::string(channel.typeName()));
        const double w = finiteNumber(required(ref, "weight", rat), "weight", rat);
        const auto found = index.byName.find(channel.string());
        if (found == index.byName.end())
            throw rat.error("names '" + std::string(channel.string()) + "', which is no channel of this file");
        coefs.push_back(checkedReference(rat, found->second, index.names, index.kinds, w));
    });
    return coefs;
}

}  // namespace

std::unique_ptr<SensorArray> parseSensorArray(const std::string& text, const std::string& file) {
    const JsonDocument document(text, file);
    const JsonValue root = document.root();
    const Place top{file, {}, 0};
    auto out = std::make_unique<SensorArray>();
    out->path = file;
    readHeader(root, top, *out);
    const JsonValue channels = required(root, "channels", top);
    if (!channels.isArray()) throw top.error("'channels' must be an array, not " + std::string(channels.typeName()));
    if (channels.size() == 0) throw top.error("'channels' is empty");
    const ChannelIndex index = indexChannels(channels, file);

    // The trial and its channels are built in place: a sensor's coils are
    // copied once, into its channel, not again with the channel and the trial.
    CMDTrialkw& trial = *out->recording.addTrial(CMDTrialkw{});
    int goodMeasurement = 0;
    std::size_t i = 0;
    channels.forEachElement([&](const JsonValue& ch) {
        const std::string label = channelLabel(index.names[i], i);
        const Place at{file, label, 0};
        noteUnknownKeys(ch, {"name", "kind", "good", "gain", "coils", "references"}, [&] { return file + ": " + label; },
                        out->notes);

        CMDChannelkw& channel = *trial.addChannel(CMDChannelkw{});
        channel.chnlName = index.names[i];
        channel.snsKind = static_cast<int>(index.kinds[i]);
        if (const std::optional<JsonValue> good = ch.find("good")) {
            if (!good->isBool()) throw at.error("'good' must be true or false, not " + std::string(good->typeName()));
            channel.isGood = good->boolean() ? 1 : 0;
        }
        const bool measurement = kind::isMeasure(index.kinds[i]);
        const bool meg = measurement || kind::isReference(index.kinds[i]);
        if (measurement && channel.isGood) ++goodMeasurement;
        if (meg) {
            channel.setSensor(readSensor(ch, index.names[i], at, *out));
        } else if (ch.contains("coils")) {
            out->notes.push_back(file + ": " + label + ": kind " + std::to_string(index.kinds[i]) +
                                 " is not an MEG sensor; its coils are ignored");
        }
        if (const std::optional<JsonValue> references = ch.find("references")) {
            const std::vector<REFCOEF> coefs = readReferences(*references, at, index);
            if (!coefs.empty() && !measurement)
                out->notes.push_back(file + ": " + label + ": only measurement sensors use reference weights; these are ignored");
            channel.setRefCoefs(coefs);
        }
        ++i;
    });
    requireGoodSensors(top, goodMeasurement);
    return out;
}

std::unique_ptr<SensorArray> sensorArrayFromColumns(const SensorArrayColumns& in, const std::string& name) {
    const Place top{name, {}, 0};
    const std::size_t numChannels = in.names.size();
    if (numChannels == 0) throw top.error("no channels");
    auto length = [&](std::size_t got, std::size_t want, const char* what) {
        if (got != want)
            throw top.error(std::string(what) + " has " + std::to_string(got) + " entries, expected " +
                            std::to_string(want));
    };
    length(in.kinds.size(), numChannels, "'kind'");
    length(in.good.size(), numChannels, "'good'");
    length(in.gains.size(), numChannels, "'gain'");
    length(in.coilCounts.size(), numChannels, "the coil counts");
    length(in.referenceCounts.size(), numChannels, "the reference counts");
    std::size_t numCoils = 0, numReferences = 0;
    for (std::size_t i = 0; i < numChannels; ++i) {
        if (in.coilCounts[i] < 0 || in.referenceCounts[i] < 0) throw top.error("a negative count");
        numCoils += static_cast<std::size_t>(in.coilCounts[i]);
        numReferences += static_cast<std::size_t>(in.referenceCounts[i]);
    }
    length(in.positions.size(), 3 * numCoils, "'position'");
    length(in.normals.size(), 3 * numCoils, "'normal'");
    length(in.radii.size(), numCoils, "'radius'");
    length(in.turns.size(), numCoils, "'turns'");
    length(in.weights.size(), numCoils, "'weight'");
    length(in.referenceChannels.size(), numReferences, "the reference channels");
    length(in.referenceWeights.size(), numReferences, "the reference weights");
    if (in.unit != "mm" && in.unit != "m") throw top.error("unit '" + in.unit + "', expected \"mm\" or \"m\"");

    auto out = std::make_unique<SensorArray>();
    out->path = name;
    out->unit = in.unit;
    std::vector<long long> kinds(in.kinds.begin(), in.kinds.end());
    std::map<std::string, std::size_t, std::less<>> byName;
    for (std::size_t i = 0; i < numChannels; ++i) {
        if (in.names[i].empty()) throw Place{name, "channel #" + std::to_string(i + 1), 0}.error("the name is empty");
        auto [it, fresh] = byName.emplace(in.names[i], i);
        if (!fresh)
            throw Place{name, channelLabel(in.names[i], i), 0}.error("duplicate channel name (also channel #" +
                                                                       std::to_string(it->second + 1) + ")");
    }

    // Channels, sensors and coils are built where they stay, in the array's
    // one trial: every copy of a coil copies its integration slots too.
    out->recording.addTrial(CMDTrialkw{});
    CMDTrialkw& trial = *out->trial();
    int goodMeasurement = 0;
    std::size_t coil = 0, reference = 0;
    for (std::size_t i = 0; i < numChannels; ++i) {
        const std::string label = channelLabel(in.names[i], i);
        const Place at{name, label, 0};
        CMDChannelkw& channel = *trial.addChannel(CMDChannelkw{});
        channel.chnlName = in.names[i];
        channel.snsKind = in.kinds[i];
        channel.isGood = in.good[i] ? 1 : 0;
        const bool measurement = kind::isMeasure(kinds[i]);
        const bool meg = measurement || kind::isReference(kinds[i]);
        if (measurement && channel.isGood) ++goodMeasurement;
        const auto numChannelCoils = static_cast<std::size_t>(in.coilCounts[i]);
        if (meg) {
            channel.setSensor(CMEGSensorkw{});
            CMEGSensorkw& sensor = *channel.pMEGSns;
            sensor.sensorName = in.names[i];
            if (!std::isfinite(in.gains[i])) throw at.error("'gain' is not a finite number");
            sensor.sensorGain = in.gains[i];
            if (numChannelCoils == 0) throw at.error("no coils (an MEG sensor needs at least one coil)");
            for (std::size_t j = 0; j < numChannelCoils; ++j, ++coil) {
                const Place cat{name, label, static_cast<int>(j + 1)};
                double pos[3], normal[3];
                for (int a = 0; a < 3; ++a) {
                    pos[a] = in.positions[3 * coil + static_cast<std::size_t>(a)];
                    normal[a] = in.normals[3 * coil + static_cast<std::size_t>(a)];
                }
                auto finite3 = [](const double v[3]) {
                    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
                };
                if (!finite3(pos)) throw cat.error("'position' holds a number that is not finite");
                if (!finite3(normal)) throw cat.error("'normal' holds a number that is not finite");
                if (!std::isfinite(in.radii[coil])) throw cat.error("'radius' is not a finite number");
                if (!std::isfinite(in.weights[coil])) throw cat.error("'weight' is not a finite number");
                sensor.addCoil(checkedCoil(cat, pos, normal, in.radii[coil], in.turns[coil], in.weights[coil], in.unit));
            }
        } else {
            if (numChannelCoils > 0)
                out->notes.push_back(name + ": " + label + ": kind " + std::to_string(kinds[i]) +
                                     " is not an MEG sensor; its coils are ignored");
            coil += numChannelCoils;
        }
        const auto numChannelReferences = static_cast<std::size_t>(in.referenceCounts[i]);
        std::vector<REFCOEF> coefs;
        for (std::size_t r = 0; r < numChannelReferences; ++r, ++reference) {
            const Place rat{name, label + ", reference #" + std::to_string(r + 1), 0};
            const std::int64_t target = in.referenceChannels[reference];
            if (target < 0 || static_cast<std::size_t>(target) >= numChannels)
                throw rat.error("channel index " + std::to_string(target) + " is no channel (0.." +
                                std::to_string(numChannels - 1) + ")");
            if (!std::isfinite(in.referenceWeights[reference])) throw rat.error("'weight' is not a finite number");
            coefs.push_back(checkedReference(rat, static_cast<std::size_t>(target), in.names, kinds,
                                             in.referenceWeights[reference]));
        }
        if (!coefs.empty() && !measurement)
            out->notes.push_back(name + ": " + label + ": only measurement sensors use reference weights; these are ignored");
        channel.setRefCoefs(coefs);
    }
    requireGoodSensors(top, goodMeasurement);
    return out;
}

json sensorArrayToJson(CMDTrialkw& trial) {
    json root = {{"format", kSensorArrayFormat}, {"version", kSensorArrayVersion}, {"unit", "mm"}};
    json channels = json::array();
    for (int i = 0; i < trial.getTotalChannel(); ++i) {
        CMDChannelkw* ch = trial.getChannel(i);
        json c = {{"name", ch->chnlName}, {"kind", ch->snsKind}, {"good", ch->isGood != 0}};
        if (ch->pMEGSns && ch->isMEGChannel()) {
            c["gain"] = ch->pMEGSns->getSensorGain();
            json coils = json::array();
            for (int j = 0; j < ch->pMEGSns->getTotalCoils(); ++j) {
                const CBscMagSnskw* coil = ch->pMEGSns->getCoil(j);
                if (!coil) continue;
                coils.push_back({{"position", {coil->coilPos[0], coil->coilPos[1], coil->coilPos[2]}},
                                 {"normal", {coil->coilOrient[0], coil->coilOrient[1], coil->coilOrient[2]}},
                                 {"radius", coil->coilRadius},
                                 {"turns", coil->nTurns},
                                 {"weight", coil->getMagApha()}});
            }
            c["coils"] = coils;
        }
        if (ch->numRefCoef > 0 && ch->pRefCoef) {
            json refs = json::array();
            for (int r = 0; r < ch->numRefCoef; ++r) {
                const REFCOEF& rc = ch->pRefCoef[r];
                const CMDChannelkw* target = trial.getChannel(rc.chnlIdx);
                refs.push_back({{"channel", target ? target->chnlName : rc.refName}, {"weight", rc.coef}});
            }
            c["references"] = refs;
        }
        channels.push_back(c);
    }
    root["channels"] = channels;
    return root;
}

std::string sensorArrayText(CMDTrialkw& trial) {
    const json root = sensorArrayToJson(trial);
    std::string s = "{\"format\": " + root["format"].dump() + ", \"version\": " + root["version"].dump() +
                    ", \"unit\": " + root["unit"].dump() + ",\n \"channels\": [\n";
    const json& channels = root["channels"];
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const json& c = channels[i];
        s += "  {\"name\": " + c["name"].dump() + ", \"kind\": " + c["kind"].dump() + ", \"good\": " + c["good"].dump();
        if (c.contains("gain")) s += ", \"gain\": " + c["gain"].dump();
        if (c.contains("coils")) {
            s += ",\n   \"coils\": [";
            for (std::size_t j = 0; j < c["coils"].size(); ++j) {
                const json& k = c["coils"][j];
                s += (j ? ",\n             " : "") + std::string("{\"position\": ") + k["position"].dump() +
                     ", \"normal\": " + k["normal"].dump() + ", \"radius\": " + k["radius"].dump() +
                     ", \"turns\": " + k["turns"].dump() + ", \"weight\": " + k["weight"].dump() + "}";
            }
            s += "]";
        }
        if (c.contains("references")) {
            s += ",\n   \"references\": [";
            for (std::size_t r = 0; r < c["references"].size(); ++r)
                s += (r ? ", " : "") + c["references"][r].dump();
            s += "]";
        }
        s += i + 1 < channels.size() ? "},\n" : "}\n";
    }
    s += " ]}\n";
    return s;
}

void writeSensorArray(CMDTrialkw& trial, const std::string& path) {
    AtomicOutput out(path);
    out.write(sensorArrayText(trial));
    out.commit();
}

std::vector<std::string> reviewSensorArray(SensorArray& array) {
    std::vector<std::string> problems = array.notes;
    CMDTrialkw* trial = array.trial();
    if (!trial) return problems;
    const int n = trial->getTotalChannel();
    std::set<int> referenced;
    // The centre of the measurement sensors' first coils, to tell outward from
    // inward normals.
    double cen[3] = {0, 0, 0};
    int count = 0;
    for (int i = 0; i < n; ++i) {
        CMDChannelkw* ch = trial->getChannel(i);
        if (ch->isMEGMeasureChannel() && ch->pMEGSns && ch->pMEGSns->getCoil(0)) {
            for (int a = 0; a < 3; ++a) cen[a] += ch->pMEGSns->getCoil(0)->coilPos[a];
            ++count;
        }
        for (int r = 0; r < ch->numRefCoef; ++r) referenced.insert(ch->pRefCoef[r].chnlIdx);
    }
    if (count > 0)
        for (double& c : cen) c /= count;
    int withoutRefs = 0;
    std::vector<std::string> unused;
    for (int i = 0; i < n; ++i) {
        CMDChannelkw* ch = trial->getChannel(i);
        const std::string label = "channel '" + ch->chnlName + "' (#" + std::to_string(i + 1) + ")";
        if (ch->isMEGChannel() && !ch->isGood) problems.push_back(label + ": marked bad; left out of the computation");
        if (!ch->pMEGSns || !ch->isMEGChannel()) continue;
        if (ch->isMEGMeasureChannel() && ch->numRefCoef == 0) ++withoutRefs;
        if (ch->isMEGReferenceChannel() && !referenced.count(i)) unused.push_back(ch->chnlName);
        if (!(ch->pMEGSns->getSensorGain() > 0.0))
            problems.push_back(label + ": gain " + exactNumber(ch->pMEGSns->getSensorGain()) +
                               " is not positive; with sensor gains applied its leadfield changes sign");
        for (int j = 0; j < ch->pMEGSns->getTotalCoils(); ++j) {
            const CBscMagSnskw* c = ch->pMEGSns->getCoil(j);
            if (!c) continue;
            const std::string where = label + ", coil #" + std::to_string(j + 1);
            if (c->nTurns == 0) problems.push_back(where + ": 'turns' is 0; the coil adds nothing in the CTF sensor model");
            if (c->coilRadius == 0.0) problems.push_back(where + ": radius 0 (a point coil)");
            if (j == 0 && ch->isMEGMeasureChannel() && count > 1) {
                double dot = 0.0;
                for (int a = 0; a < 3; ++a) dot += (c->coilPos[a] - cen[a]) * c->coilNormal[a];
                if (dot < 0.0) problems.push_back(where + ": normal points inwards (towards the centre of the helmet)");
            }
        }
    }
    if (!unused.empty()) {
        std::string names;
        for (std::size_t k = 0; k < unused.size() && k < 6; ++k) names += (k ? ", " : "") + unused[k];
        if (unused.size() > 6) names += ", ...";
        problems.push_back(std::to_string(unused.size()) + " reference sensor" + (unused.size() == 1 ? " is" : "s are") +
                           " used by no measurement sensor (" + names + ")");
    }
    if (withoutRefs > 0)
        problems.push_back(std::to_string(withoutRefs) + " measurement sensor" + (withoutRefs == 1 ? " has" : "s have") +
                           " no reference weights (reference correction leaves them unchanged)");
    return problems;
}

}  // namespace megfwd

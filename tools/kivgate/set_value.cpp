// A /set message's payload read for one gate: the forms a subscriber may
// send, checked against the gate and unscaled to the registers' raw values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "tools/kivgate/publish.h"

namespace kivgate {

namespace {

// A block of KivBlockRegistersMax numbers in any spelling fits well within
// this; anything longer is refused unread.
constexpr size_t kSetPayloadMax = 16384;

using Json = nlohmann::json;

std::string Shown(const Json& item) {
    std::string text = item.dump();
    return text.size() > 40 ? text.substr(0, 40) + "..." : text;
}

bool IsBitGate(const GateSettings& gate) { return gate.area == AreaRegister && gate.bit != KivWholeRegister; }

// One number (or true/false for a bit) to its raw register value.
bool ToRaw(const Json& item, const GateSettings& gate, int32_t* raw, double* asked, std::string* error) {
    const bool bit = IsBitGate(gate);
    if (item.is_boolean()) {
        if (!bit) {
            *error = "true/false is for bit gates; " + gate.name + " takes a number";
            return false;
        }
        *raw = item.get<bool>() ? 1 : 0;
        *asked = *raw * gate.scale + gate.offset;
        return true;
    }
    if (!item.is_number()) {
        *error = "not a number: " + Shown(item);
        return false;
    }
    const double value = item.get<double>();
    if (!std::isfinite(value) || gate.scale == 0.0 || !std::isfinite(gate.scale)) {
        *error = "cannot be written: " + Shown(item);
        return false;
    }
    const double unscaled = std::round((value - gate.offset) / gate.scale);
    const double lowest = bit ? 0.0 : static_cast<double>(std::numeric_limits<int32_t>::min());
    const double highest = bit ? 1.0 : static_cast<double>(std::numeric_limits<int32_t>::max());
    if (!(unscaled >= lowest && unscaled <= highest)) {
        *error = bit ? "a bit takes 0 or 1 (or true/false), not " + Shown(item)
                     : Shown(item) + " is out of the register's range";
        return false;
    }
    *raw = static_cast<int32_t>(unscaled);
    *asked = value;
    return true;
}

// How deep arrays and objects nest in text, strings passed over. The forms
// taken nest two deep at most; the JSON reader and its values recurse as
// deep as the text nests, which a hostile payload could take past the stack.
int Nesting(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (inString) {
            if (c == '\\') ++at;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// The payload's value: {"value": V} is V; anything else is itself.
bool Unwrapped(const std::string& payload, Json* value, std::string* error) {
    if (payload.size() > kSetPayloadMax) {
        *error = "the value is too long (" + std::to_string(payload.size()) + " bytes)";
        return false;
    }
    if (Nesting(payload) > 2) {
        *error = "arrays or objects nested too deeply";
        return false;
    }
    Json parsed = Json::parse(payload, nullptr, false);
    if (parsed.is_discarded()) {
        *error = payload.find_first_not_of(" \t\r\n") == std::string::npos
                     ? "no value given"
                     : "not a number, true/false, an array or {\"value\": ...}";
        return false;
    }
    if (parsed.is_object()) {
        if (parsed.size() != 1 || !parsed.contains("value") || parsed["value"].is_object()) {
            *error = "an object must be {\"value\": ...} alone";
            return false;
        }
        parsed = Json(parsed["value"]);
    }
    *value = std::move(parsed);
    return true;
}

}  // namespace

bool ParseSetValue(const std::string& payload, const GateSettings& gate, std::vector<int32_t>* raw,
                   std::vector<double>* asked, std::string* error) {
    raw->clear();
    asked->clear();
    Json value;
    if (!Unwrapped(payload, &value, error)) return false;
    const size_t count = gate.count > 1 ? static_cast<size_t>(gate.count) : 1;
    if (value.is_array() && value.size() != count) {
        *error = gate.name + " takes " + std::to_string(count) + (count == 1 ? " value" : " values") + ", not " +
                 std::to_string(value.size());
        return false;
    }
    if (!value.is_array() && count > 1) {
        *error = gate.name + " is a block of " + std::to_string(count) + " registers: give an array of " +
                 std::to_string(count) + " numbers";
        return false;
    }
    const Json items = value.is_array() ? value : Json::array({value});
    for (const Json& item : items) {
        int32_t one = 0;
        double shown = 0;
        if (!ToRaw(item, gate, &one, &shown, error)) {
            raw->clear();
            asked->clear();
            return false;
        }
        raw->push_back(one);
        asked->push_back(shown);
    }
    return true;
}

}  // namespace kivgate

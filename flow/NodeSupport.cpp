#include "flow/NodeSupport.h"

#include <cmath>
#include <sstream>
#include <type_traits>

namespace FD {

std::string nodeLabel(const std::string& type, const std::string& name) { return type + " \"" + name + "\""; }

std::string formatNumber(float value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// ---------------------------------------------------------------- errors

void NodeErrors::refuse(const std::string& subject, const std::string& text) const {
    auto* e = new GeneralException(text);
    e->place(label_, subject);
    throw e;
}

void NodeErrors::atFrame(int frame, const std::string& subject, const std::string& text) const {
    auto* e = new GeneralException(text);
    e->place(label_, subject, frame);
    throw e;
}

// ---------------------------------------------------------------- parameters

template <class T>
T NodeParameters::cast(const std::string& name) const {
    try {
        if constexpr (std::is_same_v<T, std::string>)
            return object_cast<String>(params_.get(name));
        else
            return dereference_cast<T>(params_.get(name));
    } catch (BaseException* e) {
        e->place(errors_.label(), name);
        throw;
    }
}

int NodeParameters::integer(const std::string& name) const { return cast<int>(name); }
float NodeParameters::real(const std::string& name) const { return cast<float>(name); }
std::string NodeParameters::text(const std::string& name) const { return cast<std::string>(name); }

int NodeParameters::positive(const std::string& name, const std::string& unit) const {
    const int v = integer(name);
    if (v <= 0)
        errors_.refuse(name, name + " must be a positive number of " + unit + ", got " + std::to_string(v));
    return v;
}

int NodeParameters::inRange(const std::string& name, int low, int high, const std::string& range) const {
    const int v = integer(name);
    if (v < low || v > high) errors_.refuse(name, name + " must be " + range + ", got " + std::to_string(v));
    return v;
}

float NodeParameters::finite(const std::string& name, const std::string& what) const {
    const float v = real(name);
    if (!std::isfinite(v))
        errors_.refuse(name, name + " must be a finite number" + what + ", got " + formatNumber(v));
    return v;
}

float NodeParameters::nonNegativeSeconds(const std::string& name) const {
    const float v = real(name);
    if (!std::isfinite(v) || v < 0.0f)
        errors_.refuse(name,
                       name + " must be a finite, non-negative number of seconds, got " + formatNumber(v));
    return v;
}

std::string NodeParameters::oneOf(const std::string& name, const std::vector<std::string>& names) const {
    const std::string v = text(name);
    std::string choices;
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == v) return v;
        choices += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + ("\"" + names[i] + "\"");
    }
    errors_.refuse(name, name + " must be " + choices + ", got \"" + v + "\"");
}

// ---------------------------------------------------------------- frames

std::optional<int> framesAtLeastOne(float frames) {
    if (!(frames < 2147483648.0f)) return std::nullopt;  // 2^31, the first float past the int range
    return frames < 1.0f ? 1 : int(frames);
}

std::optional<int> nearestFrames(float frames, int low, int high) {
    const double rounded = double(frames) + 0.5;
    if (!(rounded >= double(low)) || !(rounded < double(high) + 1.0)) return std::nullopt;
    return int(rounded);
}

}  // namespace FD

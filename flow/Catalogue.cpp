#include "flow/Catalogue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>

namespace FD {

namespace {
// By type; entries never move, so pointers handed out stay valid.
std::map<std::string, std::unique_ptr<NodeInfo>>& descriptions() {
    static std::map<std::string, std::unique_ptr<NodeInfo>> byType;
    return byType;
}
}  // namespace

const ParamInfo* NodeInfo::param(const std::string& name) const {
    for (const ParamInfo& p : params)
        if (p.name == name) return &p;
    return nullptr;
}

void describeNode(const NodeInfo& info) {
    std::unique_ptr<NodeInfo>& held = descriptions()[info.type];
    if (held)
        *held = info;  // keeps pointers handed out earlier valid
    else
        held = std::make_unique<NodeInfo>(info);
}

const NodeInfo* nodeInfo(const std::string& type) {
    auto it = descriptions().find(type);
    return it == descriptions().end() ? nullptr : it->second.get();
}

ParamInfo oneOfParam(std::string name, std::string help, std::vector<std::string> choices) {
    ParamInfo info{std::move(name), "string", std::move(help)};
    info.choices = std::move(choices);
    info.help += ": " + unacceptable(info, "", 0.0);  // the list of accepted values
    return info;
}

ParamInfo boundedParam(std::string name, std::string type, std::string help, ParamInfo::Bound bound,
                       double minimum) {
    ParamInfo info{std::move(name), std::move(type), std::move(help)};
    info.bound = bound;
    info.minimum = minimum;
    std::ostringstream limit;
    limit << (bound == ParamInfo::Bound::Above ? " (> " : " (>= ") << minimum << ")";
    if (bound != ParamInfo::Bound::None) info.help += limit.str();
    return info;
}

std::string unacceptable(const ParamInfo& info, const std::string& text, double number) {
    if (!info.choices.empty()) {
        for (const std::string& c : info.choices)
            if (c == text && !c.empty()) return "";
        std::string list;
        for (size_t i = 0; i < info.choices.size(); ++i)
            list += (i == 0 ? "" : i + 1 == info.choices.size() ? " or " : ", ") + ("\"" + info.choices[i] + "\"");
        return list;
    }
    std::ostringstream bound;
    bound << info.minimum;
    if (info.bound == ParamInfo::Bound::AtLeast && !(number >= info.minimum)) return "at least " + bound.str();
    if (info.bound == ParamInfo::Bound::Above && !(number > info.minimum)) return "above " + bound.str();
    return "";
}

namespace {
std::vector<std::string> kindsOf(const std::string& kind) {
    std::vector<std::string> list;
    std::istringstream in(kind);
    for (std::string k; std::getline(in, k, '|');)
        if (!k.empty()) list.push_back(k);
    return list;
}
}  // namespace

std::string kindText(const std::string& kind) {
    std::string text;
    for (const std::string& k : kindsOf(kind)) {
        const std::string one = k == kinds::audio      ? "signal frames"
                                : k == kinds::spectrum ? "a spectrum"
                                : k == kinds::sources  ? "a source list"
                                                       : k;
        text += (text.empty() ? "" : " or ") + one;
    }
    return text.empty() ? "anything" : text;
}

bool kindsMatch(const std::string& output, const std::string& input) {
    const std::vector<std::string> out = kindsOf(output), in = kindsOf(input);
    if (out.empty() || in.empty()) return true;
    for (const std::string& k : out)
        if (std::find(in.begin(), in.end(), k) != in.end()) return true;
    return false;
}

double memoryBudget() {
    const char* text = std::getenv("ZELKBP_MEMORY_BUDGET");
    char* end = nullptr;
    const double mib = text && *text ? std::strtod(text, &end) : 0.0;
    return end && *end == '\0' && mib > 0 ? mib * 1048576.0 : 1073741824.0;
}

std::string mebibytes(double bytes) {
    std::ostringstream text;
    text << std::llround(std::ceil(bytes / 1048576.0)) << " MiB";
    return text.str();
}

}  // namespace FD

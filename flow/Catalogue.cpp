#include "flow/Catalogue.h"

#include <map>
#include <memory>

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

}  // namespace FD

#include "flow/Catalogue.h"

#include <map>
#include <memory>

namespace FD {

namespace {
struct Descriptions {
    std::map<std::string, std::unique_ptr<NodeInfo>> byType;
    std::vector<std::string> order;
};
Descriptions& descriptions() {
    static Descriptions d;
    return d;
}
}  // namespace

const ParamInfo* NodeInfo::param(const std::string& name) const {
    for (const ParamInfo& p : params)
        if (p.name == name) return &p;
    return nullptr;
}

bool NodeInfo::hasInput(const std::string& name) const {
    for (const PortInfo& p : inputs)
        if (p.name == name) return true;
    return false;
}

bool NodeInfo::hasOutput(const std::string& name) const {
    for (const PortInfo& p : outputs)
        if (p.name == name) return true;
    return false;
}

void describeNode(const NodeInfo& info) {
    Descriptions& d = descriptions();
    auto it = d.byType.find(info.type);
    if (it == d.byType.end()) {
        d.order.push_back(info.type);
        d.byType[info.type] = std::make_unique<NodeInfo>(info);
    } else {
        *it->second = info;  // keeps pointers handed out earlier valid
    }
}

const NodeInfo* nodeInfo(const std::string& type) {
    auto it = descriptions().byType.find(type);
    return it == descriptions().byType.end() ? nullptr : it->second.get();
}

std::vector<const NodeInfo*> nodeInfos() {
    std::vector<const NodeInfo*> all;
    for (const std::string& t : descriptions().order) all.push_back(nodeInfo(t));
    return all;
}

}  // namespace FD

#include "flow/NetworkFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "flow/Catalogue.h"
#include "flow/OutputFiles.h"

namespace FD {

std::string LoadError::message() const {
    std::string m;
    for (const std::string& p : problems_) m += (m.empty() ? "" : "; ") + p;
    return m;
}

ObjectRef parseValue(const std::string& type, const std::string& text) {
    if (type == "string") return ObjectRef(new String(text));
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return ObjectRef();
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    if (type == "int") {
        long v = std::strtol(begin, &end, 10);
        if (*end || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return ObjectRef();
        return ObjectRef(new Int(int(v)));
    }
    if (type == "float") {
        float v = std::strtof(begin, &end);
        if (*end || errno == ERANGE || !std::isfinite(v)) return ObjectRef();
        return ObjectRef(new Float(v));
    }
    if (type == "bool") {
        if (text == "true") return ObjectRef(new Bool(true));
        if (text == "false") return ObjectRef(new Bool(false));
    }
    return ObjectRef();
}

namespace {

bool knownType(const std::string& t) { return t == "int" || t == "float" || t == "string" || t == "bool"; }

std::string an(const std::string& type) { return (type == "int" ? "an " : "a ") + type; }

std::string joined(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
    return s.empty() ? "none" : s;
}

// Edits between two words, a swap of neighbours counting as one.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// Names longer than this get no suggestion: the edit distance costs their product in time.
constexpr size_t kLongestSuggested = 64;

// The closest of `names` to `word`, if close enough to be a misspelling: a few
// edits for the word's length, or one of the two cut short.
std::string closest(const std::string& word, const std::vector<std::string>& names) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    if (word.size() > kLongestSuggested) return best;
    for (const std::string& n : names) {
        if (n.size() > kLongestSuggested) continue;
        size_t d = editDistance(word, n);
        size_t allowed = std::max<size_t>(1, std::min(word.size(), n.size()) / 3);
        bool prefix = word.size() >= 2 && n.size() >= 2 &&
                      (n.compare(0, word.size(), word) == 0 || word.compare(0, n.size(), n) == 0);
        if ((d <= allowed && d < word.size()) || prefix) {
            if (d < bestDistance) {
                bestDistance = d;
                best = n;
            }
        }
    }
    return best;
}

std::string suggestion(const std::string& word, const std::vector<std::string>& names) {
    std::string c = closest(word, names);
    return c.empty() ? "" : " (did you mean " + c + "?)";
}

// The problems of command-line arguments that `declared` does not hold.
std::vector<std::string> unknownArguments(const std::string& path,
                                          const std::map<std::string, std::string>& args,
                                          const std::vector<std::string>& declared) {
    std::vector<std::string> problems;
    for (const auto& kv : args)
        if (std::find(declared.begin(), declared.end(), kv.first) == declared.end())
            problems.push_back(path + ": unknown argument " + shownText(kv.first) +
                               suggestion(kv.first, declared) + "; the network takes " + joined(declared));
    return problems;
}

struct ParamEntry {
    std::string name, type, text;
    ObjectRef value;
    int line = 0;
    std::string arg;  // the network argument the value comes from, if any
};

struct NodeEntry {
    std::string name, type;
    int line = 0;
    std::vector<ParamEntry> params;
    Node* built = nullptr;
    bool valid = true;  // false once a problem was found with its declaration
};

struct LinkEntry {
    std::string from, output, to, input;
    int line = 0;
};

}  // namespace

// Text from the command line as a message shows it: control characters, escape sequences
// and bytes outside printable ASCII written as \xNN, and cut after 80 characters.
std::string shownText(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shown.size() >= 80) return shown + "... (" + std::to_string(text.size()) + " bytes)";
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            shown += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        }
    }
    return shown;
}

// The file as read once: its text (for line numbers), the XML tree, the main network.
struct NetworkFile::Parsed {
    std::string path, text;
    std::vector<size_t> lineStarts;  // offset of the first character of each line
    pugi::xml_document doc;
    pugi::xml_node main;
    std::vector<std::string> problems;
    std::unique_ptr<ReadFile> reading;  // no output of the run may replace the file

    void problem(int line, const std::string& what) {
        problems.push_back(path + (line > 0 ? ":" + std::to_string(line) : "") + ": " + what);
    }
    int lineAt(ptrdiff_t offset) const {
        return int(std::upper_bound(lineStarts.begin(), lineStarts.end(), size_t(std::max<ptrdiff_t>(offset, 0))) -
                   lineStarts.begin());
    }
    int lineOf(const pugi::xml_node& n) const {
        ptrdiff_t offset = n.offset_debug();
        return offset < 0 || size_t(offset) > text.size() ? 0 : lineAt(offset);
    }
    bool read();
    bool strictXml();
    bool findMainNetwork();
};

bool NetworkFile::Parsed::read() {
    // A network file is text of a few kB: anything far larger (/dev/zero, a recording
    // named by mistake) is refused before it fills the memory.
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        problems.push_back("cannot read " + path + ": it is a directory");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problems.push_back("cannot read " + path + ": " + std::strerror(errno));
        return false;
    }
    reading = std::make_unique<ReadFile>(path, "the network file");
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, size_t(in.gcount()));
        if (text.size() > kMaxNetworkFileBytes) {
            problems.push_back(path + ": a network file may hold at most " +
                               std::to_string(kMaxNetworkFileBytes >> 20) + " MiB; this one holds more");
            return false;
        }
    }
    lineStarts.assign(1, 0);
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') lineStarts.push_back(i + 1);
    pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size());
    if (!r) problem(lineAt(r.offset), std::string("not well-formed XML: ") + r.description());
    return bool(r) && strictXml();
}

// pugixml takes what a strict reader refuses: a second top-level element, and an
// attribute given twice (of which only the first would count).
bool NetworkFile::Parsed::strictXml() {
    int elements = 0;
    for (pugi::xml_node top : doc.children())
        if (top.type() == pugi::node_element && ++elements == 2) {
            problem(lineOf(top), std::string("a second top-level element <") + top.name() +
                                     "> after the document: one document per file");
            return false;
        }
    bool clean = true;
    std::vector<pugi::xml_node> pending{doc.document_element()};
    while (!pending.empty()) {
        pugi::xml_node e = pending.back();
        pending.pop_back();
        std::set<std::string> seen;
        for (pugi::xml_attribute a : e.attributes())
            if (!seen.insert(a.name()).second) {
                problem(lineOf(e), std::string("<") + e.name() + "> gives attribute " + a.name() + " twice");
                clean = false;
            }
        for (pugi::xml_node c : e.children())
            if (c.type() == pugi::node_element) pending.push_back(c);
    }
    return clean;
}

bool NetworkFile::Parsed::findMainNetwork() {
    pugi::xml_node root = doc.document_element();
    if (std::string(root.name()) != "document") {
        problem(lineOf(root),
                std::string("the file must hold a <document> element, found <") + root.name() + ">");
        return false;
    }
    std::vector<pugi::xml_node> networks;
    for (pugi::xml_node n : root.children("network")) networks.push_back(n);
    for (pugi::xml_node n : networks)
        if (std::string(n.attribute("name").value()) == "MAIN") {
            if (main) {
                problem(lineOf(n), "a second network named MAIN (the first is on line " +
                                       std::to_string(lineOf(main)) + ")");
                return false;
            }
            main = n;
        }
    if (!main && networks.size() == 1) main = networks[0];
    if (!main)
        problem(lineOf(root), networks.empty()
                                  ? "the document holds no <network>"
                                  : "the document holds several networks and none is named MAIN");
    return bool(main);
}

namespace {

// Builds the main network of a parsed file, collecting every problem on the way.
class Loader {
public:
    Loader(const NetworkFile::Parsed& file, const std::map<std::string, std::string>& args)
        : file_(file), args_(args) {}

    std::unique_ptr<Network> load();

private:
    void readArguments(pugi::xml_node net);
    void checkElements(pugi::xml_node net);
    void readNodes(pugi::xml_node net);
    bool readParam(pugi::xml_node element, NodeEntry& node, std::set<std::string>& seen);
    bool argumentValue(const std::string& argName, const std::string& what, int line, ParamEntry& p);
    void readLinks(pugi::xml_node net);
    void checkAgainstCatalogue(NodeEntry& node, const NodeInfo& info);
    void build(NodeEntry& node);
    void reportRefusal(BaseException* e, const NodeEntry& node);
    void connect();
    bool kindsAgree(const LinkEntry& l, const NodeEntry& from, const NodeEntry& to);
    void checkInputs();
    void checkCycles();

    int lineOf(const pugi::xml_node& n) const { return file_.lineOf(n); }
    void problem(int line, const std::string& text) {
        problems_.push_back(path_ + (line > 0 ? ":" + std::to_string(line) : "") + ": " + text);
    }
    // A problem with the value of `param` of `node`. When the value comes from a network
    // argument that other nodes refused already, the first report stands for all: a wrong
    // ADVANCE=0 is one line, not one per node that takes ADVANCE.
    void valueProblem(const NodeEntry& node, const std::string& param, int line, const std::string& text) {
        for (const ParamEntry& p : node.params) {
            if (p.name != param || p.arg.empty()) continue;
            auto first = refusedArguments_.find(p.arg);
            if (first != refusedArguments_.end()) {
                first->second.others.push_back(node.name);
                return;
            }
            refusedArguments_[p.arg] = {problems_.size(), {}};
        }
        problem(line, text);
    }
    void noteOtherRefusals() {
        for (const auto& [arg, refused] : refusedArguments_) {
            const size_t n = refused.others.size();
            if (n == 0) continue;
            std::string names;
            for (size_t i = 0; i < n && i < 3; ++i) names += (i ? (i + 1 == n ? " and " : ", ") : "") + refused.others[i];
            if (n > 3) names += " and " + std::to_string(n - 3) + " more";
            problems_[refused.problem] += " (argument " + arg + "; node" + (n == 1 ? " " : "s ") + names +
                                          " refuse" + (n == 1 ? "s" : "") + " it too)";
        }
    }
    NodeEntry* findNode(const std::string& name) {
        for (NodeEntry& n : nodes_)
            if (n.name == name) return &n;
        return nullptr;
    }
    std::vector<std::string> argumentNames() const {
        std::vector<std::string> names;
        for (const NetworkArgument& a : declared_) names.push_back(a.name);
        return names;
    }

    const NetworkFile::Parsed& file_;
    const std::string& path_ = file_.path;
    std::map<std::string, std::string> args_;
    std::vector<std::string> problems_;
    std::vector<NetworkArgument> declared_;
    std::map<std::string, ObjectRef> values_;  // argument values that parsed
    struct Refusal {
        size_t problem;                   // index of its line in problems_
        std::vector<std::string> others;  // further nodes refusing the same argument's value
    };
    std::map<std::string, Refusal> refusedArguments_;
    std::vector<NodeEntry> nodes_;
    std::vector<LinkEntry> links_;
    std::unique_ptr<Network> net_;
};

void Loader::readArguments(pugi::xml_node net) {
    std::set<std::string> names;
    for (pugi::xml_node a : net.children("arg")) {
        int line = lineOf(a);
        NetworkArgument arg;
        arg.name = a.attribute("name").value();
        arg.type = a.attribute("type").value();
        if (arg.name.empty()) {
            problem(line, "<arg> without a name");
            continue;
        }
        if (!knownType(arg.type)) {
            problem(line,
                    "argument " + arg.name + ": type \"" + arg.type + "\" is not int, float, string or bool");
            continue;
        }
        if (!names.insert(arg.name).second) {
            problem(line, "argument " + arg.name + " is declared twice");
            continue;
        }
        if (pugi::xml_attribute d = a.attribute("default")) {
            arg.hasDefault = true;
            arg.defaultValue = d.value();
            if (!parseValue(arg.type, arg.defaultValue))
                problem(line, "argument " + arg.name + ": default \"" + arg.defaultValue + "\" is not " +
                                  an(arg.type));
        }
        declared_.push_back(arg);
    }

    for (const std::string& p : unknownArguments(path_, args_, argumentNames())) problems_.push_back(p);
    for (const NetworkArgument& a : declared_) {
        auto given = args_.find(a.name);
        std::string text;
        if (given != args_.end()) {
            text = given->second;
        } else if (a.hasDefault) {
            text = a.defaultValue;
        } else {
            problems_.push_back(path_ + ": argument " + a.name + " (" + a.type + ") has no value: give " +
                                a.name + "=... on the command line");
            continue;
        }
        ObjectRef v = parseValue(a.type, text);
        if (!v) {
            if (given != args_.end())
                problems_.push_back(path_ + ": argument " + a.name + "=" + text + " is not " + an(a.type));
            continue;
        }
        values_[a.name] = v;
    }
}

void Loader::checkElements(pugi::xml_node net) {
    for (pugi::xml_node child : net.children()) {
        if (child.type() != pugi::node_element) continue;
        std::string tag = child.name();
        if (tag != "node" && tag != "link" && tag != "arg")
            problem(lineOf(child),
                    "unknown element <" + tag + "> in the network (expected <arg>, <node> or <link>)");
    }
}

void Loader::readNodes(pugi::xml_node net) {
    for (pugi::xml_node n : net.children("node")) {
        NodeEntry node;
        node.line = lineOf(n);
        node.name = n.attribute("name").value();
        node.type = n.attribute("type").value();
        if (node.name.empty() || node.type.empty()) {
            problem(node.line, "<node> needs a name and a type");
            continue;
        }
        if (findNode(node.name)) {
            problem(node.line, "two nodes are named " + node.name);
            continue;
        }
        std::set<std::string> seen;
        for (pugi::xml_node child : n.children())
            if (child.type() == pugi::node_element && !readParam(child, node, seen)) node.valid = false;
        nodes_.push_back(node);
    }
}

// One <param> of `node`: its name, type and value, literal or from an argument.
// False (after reporting it) when it is unusable.
bool Loader::readParam(pugi::xml_node element, NodeEntry& node, std::set<std::string>& seen) {
    const int line = lineOf(element);
    if (std::string(element.name()) != "param") {
        problem(line, "node " + node.name + ": unknown element <" + element.name() + "> (expected <param>)");
        return false;
    }
    ParamEntry p;
    p.line = line;
    p.name = element.attribute("name").value();
    p.type = element.attribute("type").value();
    pugi::xml_attribute value = element.attribute("value"), arg = element.attribute("arg");
    if (p.name.empty()) {
        problem(line, "node " + node.name + ": <param> without a name");
        return false;
    }
    const std::string what = p.name + " of node " + node.name;
    if (!seen.insert(p.name).second) {
        problem(line, what + " is given twice");
        return false;
    }
    if (!knownType(p.type)) {
        problem(line, what + ": type \"" + p.type + "\" is not int, float, string or bool");
        return false;
    }
    if (bool(value) == bool(arg)) {
        problem(line, what + " needs either a value or an arg attribute");
        return false;
    }
    bool ok = true;
    if (value) {
        p.text = value.value();
        p.value = parseValue(p.type, p.text);
        if (!p.value) {
            problem(line, what + ": \"" + p.text + "\" is not " + an(p.type));
            ok = false;
        }
    } else {
        ok = argumentValue(arg.value(), what, line, p);
    }
    node.params.push_back(p);
    return ok;
}

// The value of parameter `p` from argument `argName`: declared, of the same type,
// and given a value (a missing value is reported once, with the argument).
bool Loader::argumentValue(const std::string& argName, const std::string& what, int line, ParamEntry& p) {
    const NetworkArgument* decl = nullptr;
    for (const NetworkArgument& a : declared_)
        if (a.name == argName) decl = &a;
    if (!decl) {
        std::vector<std::string> names = argumentNames();
        problem(line, what + " takes argument " + argName + suggestion(argName, names) +
                          ", which the network does not declare (declared: " + joined(names) + ")");
        return false;
    }
    if (decl->type != p.type) {
        problem(line, what + " is " + an(p.type) + " but argument " + argName + " is " + an(decl->type));
        return false;
    }
    auto v = values_.find(argName);
    if (v == values_.end()) return false;
    p.value = v->second;
    p.text = describeValue(p.value.get());
    p.arg = argName;
    return true;
}

void Loader::readLinks(pugi::xml_node net) {
    for (pugi::xml_node l : net.children("link")) {
        LinkEntry link;
        link.line = lineOf(l);
        link.from = l.attribute("from").value();
        link.output = l.attribute("output").value();
        link.to = l.attribute("to").value();
        link.input = l.attribute("input").value();
        if (link.from.empty() || link.output.empty() || link.to.empty() || link.input.empty()) {
            problem(link.line, "<link> needs from, output, to and input");
            continue;
        }
        links_.push_back(link);
    }
}

void Loader::checkAgainstCatalogue(NodeEntry& node, const NodeInfo& info) {
    std::vector<std::string> accepted;
    for (const ParamInfo& p : info.params) accepted.push_back(p.name);
    for (const ParamEntry& p : node.params) {
        const ParamInfo* expected = info.param(p.name);
        if (!expected) {
            problem(p.line, "node " + node.name + " (" + node.type + ") has no parameter " + p.name +
                                suggestion(p.name, accepted) + "; it takes " + joined(accepted));
            node.valid = false;
        } else if (expected->type != p.type) {
            std::string found = p.type + (p.value ? " " + describeValue(p.value.get()) : "");
            problem(p.line,
                    p.name + " of node " + node.name + " expects " + expected->type + ", got " + found);
            node.valid = false;
        } else if (p.value) {
            // A value the node would ignore or could not use is refused with the accepted ones.
            const Object* v = p.value.get();
            std::string text;
            double number = 0.0;
            if (auto* str = dynamic_cast<const String*>(v)) text = *str;
            else if (auto* i = dynamic_cast<const GenericType<int>*>(v)) number = i->val();
            else if (auto* f = dynamic_cast<const GenericType<float>*>(v)) number = f->val();
            const std::string accepted = unacceptable(*expected, text, number);
            if (!accepted.empty()) {
                valueProblem(node, p.name, p.line,
                             p.name + " of node " + node.name + " must be " + accepted + ", got " + describeValue(v));
                node.valid = false;
            }
        }
    }
    if (info.memoryNeeds && node.valid) {
        auto number = [&](const std::string& name) {
            for (const ParamEntry& p : node.params) {
                if (p.name != name || !p.value) continue;
                if (auto* i = dynamic_cast<const GenericType<int>*>(p.value.get())) return double(i->val());
                if (auto* f = dynamic_cast<const GenericType<float>*>(p.value.get())) return double(f->val());
            }
            return 0.0;
        };
        const double budget = memoryBudget();
        for (const MemoryNeed& need : info.memoryNeeds(number)) {
            if (!(need.bytes > budget)) continue;
            int line = node.line;
            for (const ParamEntry& p : node.params)
                if (p.name == need.param) line = p.line;
            valueProblem(node, need.param, line, need.param + " of node " + node.name + " asks for " + need.what + ", about " +
                              mebibytes(need.bytes) + ", more than the memory budget of " +
                              mebibytes(budget) +
                              " (flowrun --memory-budget MIB or ZELKBP_MEMORY_BUDGET raises it)");
            node.valid = false;
        }
    }
    for (const ParamInfo& expected : info.params) {
        if (expected.optional) continue;
        bool given = false;
        for (const ParamEntry& p : node.params) given = given || p.name == expected.name;
        if (!given) {
            problem(node.line, "node " + node.name + " (" + node.type + ") is missing parameter " +
                                   expected.name + " (" + expected.type + ")");
            node.valid = false;
        }
    }
}

void Loader::reportRefusal(BaseException* e, const NodeEntry& node) {
    // The error names the parameter it is about; a wrong type is worded as the
    // catalogue check words it.
    int line = node.line;
    for (const ParamEntry& p : node.params)
        if (!e->subject().empty() && p.name == e->subject()) line = p.line;
    auto* type = dynamic_cast<TypeError*>(e);
    if (type && !e->subject().empty())
        problem(line, e->subject() + " of node " + node.name + " expects " + type->expected() + ", got " +
                          type->found());
    else if (e->node().empty())
        valueProblem(node, e->subject(), line, "node " + node.name + " (" + node.type + "): " + e->message());
    else
        valueProblem(node, e->subject(), line, e->message());
    delete e;
}

void Loader::build(NodeEntry& node) {
    if (!Node::getFactory(node.type)) {
        std::vector<std::string> known = Node::factoryNames();
        problem(node.line, "node " + node.name + ": unknown node type " + node.type +
                               suggestion(node.type, known) + "; known types: " + joined(known));
        node.valid = false;
        return;
    }
    if (const NodeInfo* info = nodeInfo(node.type)) checkAgainstCatalogue(node, *info);
    if (!node.valid) return;
    ParameterSet params;
    for (const ParamEntry& p : node.params) params.add(p.name, p.value);
    try {
        node.built = net_->addNode(node.type, node.name, params);
    } catch (BaseException* e) {
        reportRefusal(e, node);
        node.valid = false;
    } catch (const std::bad_alloc&) {
        problem(node.line, "node " + node.name + " (" + node.type + "): " + kOutOfMemory);
        node.valid = false;
    } catch (const std::exception& e) {
        problem(node.line, "node " + node.name + " (" + node.type + "): " + e.what());
        node.valid = false;
    }
}

void Loader::connect() {
    for (const LinkEntry& l : links_) {
        NodeEntry* from = findNode(l.from);
        NodeEntry* to = findNode(l.to);
        std::string where = "link from " + l.from + " " + l.output + " to " + l.to + " " + l.input;
        if (!from || !to) {
            std::vector<std::string> names;
            for (const NodeEntry& n : nodes_) names.push_back(n.name);
            const std::string& missing = !from ? l.from : l.to;
            problem(l.line, where + ": there is no node " + missing + suggestion(missing, names));
            continue;
        }
        // Ports: of the built node, or of the catalogue when the node could not be built.
        std::vector<std::string> outputs, inputs;
        bool knowFrom = false, knowTo = false;
        if (from->built) {
            outputs = from->built->getOutputNames();
            knowFrom = true;
        } else if (const NodeInfo* info = nodeInfo(from->type)) {
            for (const PortInfo& p : info->outputs) outputs.push_back(p.name);
            knowFrom = true;
        }
        if (to->built) {
            for (const NodeInput& in : to->built->getInputs()) inputs.push_back(in.name);
            knowTo = true;
        } else if (const NodeInfo* info = nodeInfo(to->type)) {
            for (const PortInfo& p : info->inputs) inputs.push_back(p.name);
            knowTo = true;
        }
        bool ok = true;
        if (knowFrom && std::find(outputs.begin(), outputs.end(), l.output) == outputs.end()) {
            problem(l.line, where + ": node " + l.from + " (" + from->type + ") has no output " + l.output +
                                suggestion(l.output, outputs) + "; its outputs: " + joined(outputs));
            ok = false;
        }
        if (knowTo && std::find(inputs.begin(), inputs.end(), l.input) == inputs.end()) {
            problem(l.line, where + ": node " + l.to + " (" + to->type + ") has no input " + l.input +
                                suggestion(l.input, inputs) + "; its inputs: " + joined(inputs));
            ok = false;
        }
        if (ok && !kindsAgree(l, *from, *to)) ok = false;
        if (!ok || !from->built || !to->built) continue;
        try {
            net_->connect(l.from, l.output, l.to, l.input);
        } catch (BaseException* e) {
            problem(l.line, where + ": " + e->message());
            delete e;
        }
    }
}

// A link between ports whose catalogue entries state kinds of frames with none in
// common is refused here, with its line, instead of at the first frame.
bool Loader::kindsAgree(const LinkEntry& l, const NodeEntry& from, const NodeEntry& to) {
    auto port = [](const std::vector<PortInfo>& ports, const std::string& name) -> const PortInfo* {
        for (const PortInfo& p : ports)
            if (p.name == name) return &p;
        return nullptr;
    };
    const NodeInfo* fromInfo = nodeInfo(from.type);
    const NodeInfo* toInfo = nodeInfo(to.type);
    const PortInfo* out = fromInfo ? port(fromInfo->outputs, l.output) : nullptr;
    const PortInfo* in = toInfo ? port(toInfo->inputs, l.input) : nullptr;
    if (!out || !in || kindsMatch(out->kind, in->kind)) return true;
    problem(l.line, "link from " + l.from + " " + l.output + " to " + l.to + " " + l.input + ": output " +
                        l.output + " of node " + l.from + " (" + from.type + ") gives " +
                        kindText(out->kind) + ", but input " + l.input + " of node " + l.to + " (" + to.type +
                        ") takes " + kindText(in->kind));
    return false;
}

void Loader::checkInputs() {
    for (const auto& [node, input] : net_->unconnectedInputs())
        problem(findNode(node->getName())->line,
                "input " + input + " of node " + node->getName() + " is not connected");
}

void Loader::checkCycles() {
    // Over the links as written, so that nodes that could not be built count too.
    std::vector<std::string> names;
    for (const NodeEntry& n : nodes_) names.push_back(n.name);
    std::map<std::string, std::vector<std::string>> upstream;
    for (const LinkEntry& l : links_)
        if (findNode(l.from) && findNode(l.to)) upstream[l.to].push_back(l.from);
    const GraphWalk walk = walkGraph(names, upstream);
    for (const std::vector<std::string>& cycle : walk.cycles)
        problems_.push_back(path_ + ": the network has a cycle: " + cycleText(cycle));
    const std::string tooLong = chainTooLong(walk);
    if (!tooLong.empty()) problems_.push_back(path_ + ": " + tooLong);
}

std::unique_ptr<Network> Loader::load() {
    pugi::xml_node net = file_.main;
    net_ = std::make_unique<Network>();
    readArguments(net);
    checkElements(net);
    readNodes(net);
    readLinks(net);
    if (nodes_.empty()) problem(lineOf(net), "the network has no node");
    for (NodeEntry& n : nodes_) build(n);
    connect();
    checkCycles();
    if (problems_.empty()) checkInputs();
    if (problems_.empty()) {
        try {
            net_->initialize();
        } catch (BaseException* e) {
            problems_.push_back(path_ + ": " + e->message());
            delete e;
        } catch (const std::bad_alloc&) {
            problems_.push_back(path_ + ": preparing the nodes' buffers: " + kOutOfMemory);
        }
    }
    noteOtherRefusals();
    if (!problems_.empty()) throw new LoadError(problems_);
    return std::move(net_);
}

}  // namespace

NetworkFile::NetworkFile(const std::string& path) : parsed_(std::make_unique<Parsed>()) {
    parsed_->path = path;
    if (!parsed_->read() || !parsed_->findMainNetwork()) throw new LoadError(parsed_->problems);
}

NetworkFile::~NetworkFile() = default;

const std::string& NetworkFile::path() const { return parsed_->path; }

std::vector<std::string> NetworkFile::nodeTypes() const {
    std::vector<std::string> types;
    for (pugi::xml_node n : parsed_->main.children("node")) types.push_back(n.attribute("type").value());
    return types;
}

std::vector<std::string> NetworkFile::argumentNames() const {
    std::vector<std::string> names;
    for (pugi::xml_node a : parsed_->main.children("arg"))
        if (*a.attribute("name").value()) names.push_back(a.attribute("name").value());
    return names;
}

std::vector<std::string> NetworkFile::undeclaredArguments(
    const std::map<std::string, std::string>& args) const {
    return unknownArguments(parsed_->path, args, argumentNames());
}

std::unique_ptr<Network> NetworkFile::build(const std::map<std::string, std::string>& args) const {
    return Loader(*parsed_, args).load();
}

std::unique_ptr<Network> loadNetwork(const std::string& path,
                                     const std::map<std::string, std::string>& args) {
    return NetworkFile(path).build(args);
}

}  // namespace FD

#include "Session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <regex>
#include <set>

#include "flow/Stream.h"

namespace zelkbp {

namespace {

// Replacement node type for each host type that reads or writes a file.
const std::map<std::string, std::string>& replacements() {
    static const std::map<std::string, std::string> r = {{"AudioFileSource", "ArraySource"},
                                                         {"AudioFileSink", "AudioCollector"},
                                                         {"SourceListWriter", "SourceListCollector"},
                                                         {"SegmentWriter", "SegmentCollector"},
                                                         {"MatrixWriter", "MatrixCollector"}};
    return r;
}

pugi::xml_node mainNetwork(const pugi::xml_document& doc) {
    pugi::xml_node root = doc.document_element();
    if (std::string(root.name()) != "document") return pugi::xml_node();
    pugi::xml_node only;
    int count = 0;
    for (pugi::xml_node n : root.children("network")) {
        if (std::string(n.attribute("name").value()) == "MAIN") return n;
        only = n, ++count;
    }
    return count == 1 ? only : pugi::xml_node();
}

// The argument a node's FILE parameter takes, empty when it has a fixed value.
std::string fileArgument(const pugi::xml_node& node) {
    for (pugi::xml_node p : node.children("param"))
        if (std::string(p.attribute("name").value()) == "FILE") return p.attribute("arg").value();
    return "";
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Sets the type attribute of the element starting at `at` (its '<') to `type`.
void retype(std::string& text, size_t at, const std::string& type) {
    static const std::regex attribute(R"(\stype\s*=\s*(["'])[^"']*(["']))");
    const size_t end = text.find('>', at);
    std::smatch m;
    std::string tag = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!std::regex_search(tag, m, attribute)) return;
    const size_t value = at + size_t(m.position(1)) + 1;
    text.replace(value, size_t(m.position(2)) - size_t(m.position(1)) - 1, type);
}

std::string hostMessage(FD::BaseException* e) {
    std::string m = e->message();
    delete e;
    return m;
}

}  // namespace

LoadFailure::LoadFailure(std::vector<std::string> problems)
    : std::runtime_error([&] {
          std::string m;
          for (const std::string& p : problems) m += (m.empty() ? "" : "; ") + p;
          return m;
      }()),
      problems_(std::move(problems)) {}

NetworkPorts networkPorts(const std::string& path) {
    NetworkPorts ports;
    pugi::xml_document doc;
    pugi::xml_parse_result read = doc.load_file(path.c_str());
    if (!read) throw LoadFailure({path + ": cannot read the network: " + read.description()});
    pugi::xml_node net = mainNetwork(doc);
    if (!net) throw LoadFailure({path + ": the file holds no main network"});
    for (pugi::xml_node a : net.children("arg")) {
        FD::NetworkArgument arg;
        arg.name = a.attribute("name").value();
        arg.type = a.attribute("type").value();
        if (pugi::xml_attribute d = a.attribute("default"))
            arg.hasDefault = true, arg.defaultValue = d.value();
        ports.arguments.push_back(arg);
    }
    for (pugi::xml_node n : net.children("node")) {
        std::string type = n.attribute("type").value(), arg = fileArgument(n);
        if (arg.empty() || !replacements().count(type)) continue;
        if (type == "AudioFileSource") {
            if (std::find(ports.inputs.begin(), ports.inputs.end(), arg) == ports.inputs.end())
                ports.inputs.push_back(arg);
        } else {
            ports.outputs[arg] = type;
        }
    }
    return ports;
}

// ---------------------------------------------------------------- building

Session::Session(std::string path, std::map<std::string, std::string> args)
    : path_(std::move(path)), args_(std::move(args)) {
    // The replaced nodes get their new type in the file's own text, every other
    // character left in place so that the loader's line numbers stay the caller's.
    std::ifstream in(path_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    pugi::xml_document doc;
    // A file the loader would refuse is handed to it as it is, for its own messages.
    pugi::xml_node net;
    if (in && doc.load_buffer(text.data(), text.size())) net = mainNetwork(doc);
    if (net) {
        std::vector<std::string> arrayInputs;
        std::set<std::string> declared;
        for (pugi::xml_node a : net.children("arg")) declared.insert(a.attribute("name").value());
        std::vector<std::pair<ptrdiff_t, std::string>> edits;  // node offset in the text, new type
        for (pugi::xml_node n : net.children("node")) {
            std::string type = n.attribute("type").value(), arg = fileArgument(n);
            auto to = replacements().find(type);
            // (an undeclared argument is left to the loader to report)
            if (to == replacements().end() || arg.empty() || !declared.count(arg)) continue;
            if (args_.count(arg)) {
                if (type != "AudioFileSource") fileWriters_ = true;
                continue;  // the caller gave a file
            }
            edits.emplace_back(n.offset_debug(), to->second);
            if (type == "AudioFileSource") {
                if (std::find(arrayInputs.begin(), arrayInputs.end(), arg) == arrayInputs.end())
                    arrayInputs.push_back(arg);
            } else {
                collected_[arg] = type;
            }
        }
        if (arrayInputs.size() > 1) {
            std::string names;
            for (const std::string& a : arrayInputs) names += (names.empty() ? "" : ", ") + a;
            throw LoadFailure({path_ + ": the network reads several audio files (" + names +
                               "); give all of them but one as NAME=path"});
        }
        if (!arrayInputs.empty()) input_ = arrayInputs[0];
        // The replaced nodes are told the argument they stand for (collectors
        // hand out their results under it).
        if (!input_.empty()) args_[input_] = input_;
        for (const auto& kv : collected_) args_[kv.first] = kv.first;
        for (auto e = edits.rbegin(); e != edits.rend(); ++e) retype(text, size_t(e->first), e->second);
        if (!edits.empty()) text_ = text;
    }
    fileWriters_ = fileWriters_ && !input_.empty();
    net_ = load(FeedPlan{});
    adopt();
}

Session::~Session() = default;

std::string Session::ownWords(std::string text) const {
    text = replaceAll(std::move(text), loadedAs_, path_);
    for (const auto& kv : replacements()) text = replaceAll(std::move(text), kv.second, kv.first);
    return text;
}

std::unique_ptr<FD::Network> Session::load(const FeedPlan& plan) {
    pendingFeedPlan() = plan;
    struct Forget {
        ~Forget() { pendingFeedPlan() = FeedPlan{}; }
    } forget;
    if (text_.empty()) {
        loadedAs_ = path_;
        try {
            return FD::loadNetwork(path_, args_);
        } catch (FD::LoadError* e) {
            std::vector<std::string> p = e->problems();
            delete e;
            throw LoadFailure(p);
        } catch (FD::BaseException* e) {
            throw LoadFailure({path_ + ": " + hostMessage(e)});
        }
    }
    // The loader reads a path: the rewritten file lives in memory only.
    int fd = memfd_create("network", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot hold the network in memory");
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closer{fd};
    size_t done = 0;
    while (done < text_.size()) {
        ssize_t n = ::write(fd, text_.data() + done, text_.size() - done);
        if (n <= 0) throw std::runtime_error("cannot hold the network in memory");
        done += size_t(n);
    }
    loadedAs_ = "/proc/self/fd/" + std::to_string(fd);
    try {
        return FD::loadNetwork(loadedAs_, args_);
    } catch (FD::LoadError* e) {
        std::vector<std::string> problems;
        for (const std::string& p : e->problems()) problems.push_back(ownWords(p));
        delete e;
        throw LoadFailure(problems);
    } catch (FD::BaseException* e) {
        throw LoadFailure({path_ + ": " + ownWords(hostMessage(e))});
    }
}

void Session::adopt() {
    sources_.clear();
    collectors_.clear();
    for (const auto& n : net_->nodes()) {
        if (auto* s = dynamic_cast<ArraySource*>(n.get())) sources_.push_back(s);
        if (auto* c = dynamic_cast<Collector*>(n.get())) collectors_.push_back(c);
    }
}

void Session::reset() {
    net_.reset();
    net_ = load(FeedPlan{});
    adopt();
    next_ = 0;
    started_ = closed_ = false;
    failed_.clear();
    held_.clear();
}

// ---------------------------------------------------------------- running

int Session::samplingRate() const { return sources_.empty() ? 0 : sources_[0]->sampleRate(); }

int Session::channels() const {
    if (!held_.empty()) return int(held_.size());
    return sources_.empty() ? 0 : sources_[0]->channelCount();
}

int Session::lookAhead() const {
    int ahead = 0;
    for (ArraySource* s : sources_) ahead = std::max(ahead, s->lookAhead());
    return ahead;
}

double Session::audioSeconds() const {
    for (const auto& n : net_->nodes())
        if (auto* s = dynamic_cast<const FD::SampleStream*>(n.get()))
            return s->sampleRate() > 0 ? double(s->sampleCount()) / s->sampleRate() : 0.0;
    return 0.0;
}

void Session::fail(const std::string& message) {
    failed_ = ownWords(message);
    throw RunFailure(failed_);
}

void Session::append(const float* data, int channels, long long samples, long long stride) {
    if (input_.empty())
        throw std::invalid_argument("the network reads no array: its input is a file (" + path_ + ")");
    if (closed_) throw std::invalid_argument("the stream is closed; reset() or a new Network starts another");
    if (!failed_.empty()) throw RunFailure("the network stopped at an earlier error: " + failed_);
    int known = this->channels();
    if (known > 0 && channels != known)
        throw std::invalid_argument("the array has " + std::to_string(channels) +
                                    " channels, the stream started with " + std::to_string(known));
    started_ = true;
    if (fileWriters_) {
        held_.resize(size_t(channels));
        for (int r = 0; r < channels; ++r)
            held_[size_t(r)].insert(held_[size_t(r)].end(), data + r * stride, data + r * stride + samples);
        return;
    }
    for (ArraySource* s : sources_) s->append(data, channels, samples, stride);
}

void Session::processUpTo(long long frames) {
    // The tracker draws from the process-wide rand(): every stream starts it where a
    // fresh flowrun process has it, so that a run gives what flowrun gives.
    if (next_ == 0 && frames > 0) std::srand(1);
    for (; next_ < frames; ++next_) {
        try {
            net_->process(int(next_));
        } catch (FD::BaseException* e) {
            std::string m = hostMessage(e);
            fail(m.find("frame ") == std::string::npos ? "frame " + std::to_string(next_) + ": " + m : m);
        } catch (const std::exception& e) {
            fail("frame " + std::to_string(next_) + ": " + e.what());
        }
    }
}

void Session::process() {
    if (sources_.empty() || fileWriters_ || !failed_.empty()) return;
    long long available = sources_[0]->framesAvailable();
    processUpTo(sources_[0]->closed() ? available : available - lookAhead());
}

void Session::finish() {
    if (input_.empty()) throw std::invalid_argument("the network reads no array: run() reads its input file");
    if (!failed_.empty()) throw RunFailure("the network stopped at an earlier error: " + failed_);
    if (closed_) return;
    closed_ = true;
    started_ = true;
    if (fileWriters_) {
        // Built again now that the length is known, then run whole.
        FeedPlan plan{held_.empty() ? 0 : (long long)held_[0].size(), int(held_.size())};
        net_.reset();
        net_ = load(plan);
        adopt();
        for (ArraySource* s : sources_) {
            if (held_.empty()) continue;
            std::vector<float> all;
            for (const auto& row : held_) all.insert(all.end(), row.begin(), row.end());
            s->append(all.data(), plan.channels, plan.samples, plan.samples);
        }
        held_.clear();
    }
    for (ArraySource* s : sources_) s->close();
    processUpTo(sources_.empty() ? 0 : sources_[0]->framesAvailable());
    try {
        FD::endStream(net_->nodes(), int(next_));
    } catch (FD::BaseException* e) {
        fail(hostMessage(e));
    }
}

void Session::runFile() {
    if (!input_.empty())
        throw std::invalid_argument("the network reads its input " + input_ + " from arrays: give " + input_ +
                                    "=path to read a file, or pass an array");
    if (!failed_.empty()) throw RunFailure("the network stopped at an earlier error: " + failed_);
    if (closed_) reset();
    started_ = closed_ = true;
    int frames = net_->streamLength();
    if (frames < 0)
        fail("nothing in the network ends the stream: it needs a source that does, such as AudioFileSource");
    processUpTo(frames);
    try {
        FD::endStream(net_->nodes(), int(next_));
    } catch (FD::BaseException* e) {
        fail(hostMessage(e));
    }
}

}  // namespace zelkbp

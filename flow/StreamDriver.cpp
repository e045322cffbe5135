#include "flow/StreamDriver.h"

#include <algorithm>

namespace FD {

StreamDriver::StreamDriver(Network& net) : net_(net) {
    net_.initialize();
    for (const RCPtr<Node>& n : net_.nodes()) {
        if (auto* s = dynamic_cast<SampleStream*>(n.get())) {
            sources_.push_back({n.get(), s});
            live_ = live_ || !s->ended();
        }
    }
    for (size_t i = 0; i < net_.sinks().size(); ++i) furthest_ = std::max(furthest_, net_.sinkLead(i));
    common_ = -furthest_ - 1;
    updateFrames();
    if (frames_ < 0 && !live_)
        throw new GeneralException(
            "nothing in the network ends the stream: it needs a source that does, such as AudioFileSource");
}

void StreamDriver::updateFrames() {
    for (const Source& s : sources_)
        if (!s.stream->ended()) return;
    frames_ = net_.streamLength();
}

void StreamDriver::readSources(int frame) {
    if (frame <= read_ || frames_ >= 0) return;
    for (const Source& s : sources_) {
        if (s.stream->ended()) continue;
        for (size_t o = 0; o < s.node->getOutputNames().size(); ++o) s.node->getOutput(int(o), frame);
    }
    read_ = frame;
    updateFrames();
}

bool StreamDriver::finished() const {
    if (frames_ < 0) return false;
    for (size_t i = 0; i < net_.sinks().size(); ++i)
        if (std::max(0, common_ + 1 + net_.sinkLead(i)) < frames_) return false;
    return true;
}

bool StreamDriver::step() {
    if (finished()) return false;
    const int count = common_ + 1;
    const std::vector<Node*>& sinks = net_.sinks();
    for (size_t i = 0; i < sinks.size(); ++i) {
        const int frame = count + net_.sinkLead(i);
        if (frame < 0) continue;
        readSources(frame);
        if (frames_ >= 0 && frame >= frames_) continue;
        for (size_t o = 0; o < sinks[i]->getOutputNames().size(); ++o) sinks[i]->getOutput(int(o), frame);
    }
    common_ = count;
    return !finished();
}

int StreamDriver::framesDone() const {
    int done = std::max(0, common_ + 1);
    return frames_ >= 0 ? std::min(done, frames_) : done;
}

int StreamDriver::frames() const { return frames_; }

void StreamDriver::endStream(long long samples) {
    for (const Source& s : sources_) s.stream->endAfter(samples);
    updateFrames();
}

long long StreamDriver::overruns() const {
    long long n = 0;
    for (const Source& s : sources_) n += s.stream->overruns();
    return n;
}

double StreamDriver::secondsWaiting() const {
    double t = 0;
    for (const Source& s : sources_) t += s.stream->secondsWaiting();
    return t;
}

}  // namespace FD

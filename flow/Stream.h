// What a sink can learn about the stream it is fed: how many frames it has and,
// when an audio source starts it, how many samples. Sinks look upstream through
// their inputs, so they work the same under the runner and in a test harness.
#pragma once

namespace FD {

class Node;

// Implemented by nodes that start a stream of audio samples of known length
// (an audio file source). Frame k of such a stream carries, in its last ADVANCE
// columns, samples k * ADVANCE to k * ADVANCE + ADVANCE - 1.
class SampleStream {
public:
    virtual ~SampleStream() = default;
    virtual long long sampleCount() const = 0;  // samples per channel in the stream
    virtual int sampleRate() const = 0;         // samples per second
    virtual int frameAdvance() const = 0;       // samples between frames
    virtual int channelCount() const = 0;       // rows of its frames
};

// Implemented by sinks that finish a file. The driver calls endOfStream() once,
// after the last frame of a run that went through; a sink dropped without it
// (an error, an interruption) leaves no file under its final name.
class StreamEnd {
public:
    virtual ~StreamEnd() = default;
    virtual void endOfStream(int frames) = 0;  // frames: how many were processed
};

// Calls endOfStream() on every node of `nodes` that is a StreamEnd, in order.
template <class NodeList>
void endStream(const NodeList& nodes, int frames);

// The nearest sample stream upstream of `node` (its inputs, their inputs, ...),
// searching its first input first; nullptr when there is none.
const SampleStream* findSampleStream(const Node* node);

template <class NodeList>
void endStream(const NodeList& nodes, int frames) {
    for (const auto& n : nodes)
        if (auto* e = dynamic_cast<StreamEnd*>(&*n)) e->endOfStream(frames);
}

}  // namespace FD

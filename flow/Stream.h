// What a sink can learn about the stream it is fed: how many frames it has and,
// when an audio source starts it, how many samples. Sinks look upstream through
// their inputs, so they work the same under the runner and in a test harness.
#pragma once

#include "flow/OutputFiles.h"

namespace FD {

class Node;

// Implemented by nodes that start a stream of audio samples (an audio source).
// Frame k of such a stream carries, in its last ADVANCE columns, samples
// k * ADVANCE to k * ADVANCE + ADVANCE - 1.
//
// A file's length is known up front. A live stream (a pipe, a capture) has ended()
// false until its last sample came: sampleCount() then counts the samples that came
// so far, and the node's streamLength() is -1. Frames asked for past the end are
// silent either way.
class SampleStream {
public:
    virtual ~SampleStream() = default;
    virtual long long sampleCount() const = 0;  // samples per channel in the stream (so far)
    virtual int sampleRate() const = 0;         // samples per second
    virtual int frameAdvance() const = 0;       // samples between frames
    virtual int channelCount() const = 0;       // rows of its frames
    virtual bool ended() const { return true; }

    // Ends the stream after `samples` samples per channel, or after those already
    // read when more came (an interruption asks for 0).
    virtual void endAfter(long long samples) { (void)samples; }
    // Capture overruns recovered from, and seconds spent waiting for samples to come.
    virtual long long overruns() const { return 0; }
    virtual double secondsWaiting() const { return 0; }
};

// Implemented by sinks that finish a file. The driver calls endOfStream() once,
// after the last frame of a run that went through; a sink dropped without it
// (an error, an interruption) leaves no file under its final name.
class StreamEnd {
public:
    virtual ~StreamEnd() = default;
    virtual void endOfStream(int frames) = 0;  // frames: how many were processed
};

// Asks every live input blocked in a read to give up as if its stream had ended
// (an interruption). Async-signal-safe: the runner calls it from its signal handler.
void requestStop();
bool stopRequested();

// Calls endOfStream() on every node of `nodes` that is a StreamEnd, in order; the
// files they finish take their final names together once all are finished.
template <class NodeList>
void endStream(const NodeList& nodes, int frames);

// The nearest sample stream upstream of `node` (its inputs, their inputs, ...),
// searching its first input first; nullptr when there is none.
const SampleStream* findSampleStream(const Node* node);

template <class NodeList>
void endStream(const NodeList& nodes, int frames) {
    OutputRenames renames;
    for (const auto& n : nodes)
        if (auto* e = dynamic_cast<StreamEnd*>(&*n)) e->endOfStream(frames);
    renames.done();
}

}  // namespace FD

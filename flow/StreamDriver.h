// Drives an initialised network over its stream, frame by frame, as the input
// comes: the runner's loop, usable without it.
//
// Each step advances a common count c and runs, for every sink, frame c plus the
// sink's lead (Network::sinkLead): a sink that reads less far ahead than another
// does not wait for the other's look-ahead (localized directions go out as their
// frame comes, while the tracker still waits for its window). Before a sink's frame
// runs, live sources are read up to that frame, so a frame past the end of a stream
// is never run: when the stream ends, each sink finishes the frames that hold
// samples, its look-ahead reading silence past the end as at the end of a file.
#pragma once

#include <vector>

#include "flow/Network.h"
#include "flow/Stream.h"

namespace FD {

class StreamDriver {
public:
    // Throws a GeneralException when nothing in the network ends the stream.
    explicit StreamDriver(Network& net);

    // Runs the next step; false once every sink has every frame of the stream.
    bool step();
    bool finished() const;

    int framesDone() const;  // frames every sink has finished
    int frames() const;      // frames in the stream, -1 while a live source goes on
    bool live() const { return live_; }
    // The input frame the next step waits for (pacing, latency).
    int nextInputFrame() const { return common_ + 1 + furthest_; }

    // Ends the live sources' streams after `samples` samples per channel, or after
    // those already read (0): the sinks then finish as at the end of a file.
    void endStream(long long samples = 0);

    // The first audio source (rate, frame shift, samples), nullptr when none.
    const SampleStream* clock() const { return sources_.empty() ? nullptr : sources_.front().stream; }
    long long overruns() const;
    double secondsWaiting() const;

private:
    struct Source {
        Node* node;
        SampleStream* stream;
    };
    void readSources(int frame);
    void updateFrames();

    Network& net_;
    std::vector<Source> sources_;
    bool live_ = false;
    int furthest_ = 0;  // largest sink lead
    int common_;        // last common count done
    int read_ = -1;     // highest frame read of the live sources
    int frames_ = -1;
};

}  // namespace FD

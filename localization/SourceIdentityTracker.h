// Node: follows talkers frame by frame and keeps their identity (see identity_tracker.h):
// a constant-velocity Kalman filter per track, global assignment within a gate, M-of-N
// confirmation, survival through pauses and merging of twin tracks. Causal: frame k's
// output uses input frames up to k only.
//
// Input "ESTIMATED_DOA": FD::Vector<FD::ObjectRef> of FD::Source, the directions of one
// frame (the localization's output, or a tracker's).
// Output "TRACKED_DOA": FD::Vector<FD::ObjectRef> of FD::Source, one per confirmed track
// in id order: `id` lasting (0, 1, 2, ... in order of confirmation, never reused),
// `x` the filtered direction, `power` the smoothed detection score.
#pragma once

#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "localization/identity_tracker.h"

class SourceIdentityTracker : public FD::BufferedNode {
public:
    SourceIdentityTracker(std::string nodeName, const FD::ParameterSet& params);
    static FD::NodeInfo description();

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    int secondsToFrames(const char* name, float seconds, int minimum, int maximum) const;

    FD::NodeErrors errors_;
    int inputID_;
    int outputID_;

    int advance_;       // samples per frame
    int samplingRate_;  // Hz
    localization::IdentityTrackerSettings settings_;
    localization::IdentityTracker tracker_;
    std::vector<localization::TrackDetection> detections_;  // of the current frame
};

// Node: smooths the localized directions over a window of N frames centred on the
// output frame by a growing k-means over whole degrees (see direction_clustering.h).
//
// Input "ESTIMATED_DOA": FD::Vector<FD::ObjectRef> of FD::Source, read N / 2 frames ahead.
// Output "TRACKED_DOA": FD::Vector<FD::ObjectRef> of FD::Source, one per cluster holding
// more than 30 % of the window's detections, ids 0, 1, ... in cluster order, power 1.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "localization/direction_clustering.h"

class BinauralMultisourceTracker : public FD::BufferedNode {
public:
    BinauralMultisourceTracker(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    // One frame of the window: the input list (sharing its records) and their angles.
    struct WindowFrame {
        FD::RCPtr<FD::Vector<FD::ObjectRef>> sources;
        std::vector<int> angles;  // whole degrees, one per finite direction
    };

    const FD::NodeErrors errors_;
    int inputID_;
    int outputID_;

    int advance_;               // samples per frame
    int samplingRate_;          // Hz
    float clusteringDuration_;  // s
    int windowFrames_;          // N: frames in the clustering window

    std::deque<WindowFrame> history_;  // oldest first, at most N frames
    std::vector<int> angles_;          // all angles of the window, oldest first
    localization::DirectionClustering clustering_;
};

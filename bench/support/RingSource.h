// A source node for benchmarks: frame k is frames[k % n], so a short list of
// prepared frames stands for an endless stream without per-frame work.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "flow/Node.h"

class RingSource : public FD::Node {
public:
    RingSource(const std::string& name, std::vector<FD::ObjectRef> frames, const std::string& output = "OUTPUT")
        : FD::Node(name, FD::ParameterSet()), frames_(std::move(frames)) {
        addOutput(output);
    }
    FD::ObjectRef getOutput(int, int count) override { return frames_[size_t(count) % frames_.size()]; }

private:
    std::vector<FD::ObjectRef> frames_;
};

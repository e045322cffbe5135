#include "localization/BinauralMultisourceTracker.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "flow/Source.h"
#include "plugin/Descriptions.h"

namespace {

// Window length in frames: trunc(duration / advance * rate + 0.5), the quotient and
// product in single precision, the rounding in double. False when it is not a
// count of frames the host can keep (negative, not finite, or beyond 2^30).
bool windowFrames(float durationSeconds, int advance, int samplingRate, int* frames) {
    if (!std::isfinite(durationSeconds) || durationSeconds < 0.0f) return false;
    const double rounded = double((durationSeconds / float(advance)) * float(samplingRate)) + 0.5;
    if (!(rounded < 1073741824.0)) return false;
    *frames = int(rounded);
    return true;
}

}  // namespace

FD::NodeInfo BinauralMultisourceTracker::description() {
    return {"BinauralMultisourceTracker",
            "clusters localized directions over a sliding window of frames",
            {{"ESTIMATED_DOA", zelkbp::kSourceLists}},
            {{"TRACKED_DOA", zelkbp::kSourceLists}},
            {zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             {"CLUSTERING_DURATION", "float", "seconds of the clustering window"}}};
}

BinauralMultisourceTracker::BinauralMultisourceTracker(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params) {
    inputID_ = addInput("ESTIMATED_DOA");
    outputID_ = addOutput("TRACKED_DOA");

    advance_ = FD::dereference_cast<int>(parameters.get("ADVANCE"));
    samplingRate_ = FD::dereference_cast<int>(parameters.get("SAMPLING_RATE"));
    clusteringDuration_ = FD::dereference_cast<float>(parameters.get("CLUSTERING_DURATION"));

    if (advance_ <= 0) fail("ADVANCE must be a positive number of samples, got " + std::to_string(advance_));
    if (samplingRate_ <= 0)
        fail("SAMPLING_RATE must be a positive number of samples per second, got " +
             std::to_string(samplingRate_));
    if (!windowFrames(clusteringDuration_, advance_, samplingRate_, &windowFrames_)) {
        std::ostringstream v;
        v << clusteringDuration_;
        fail(
            "CLUSTERING_DURATION must be a finite, non-negative number of seconds giving at most 2^30 "
            "frames, got " +
            v.str());
    }

    inOrder = true;
    // The window reaches N / 2 frames ahead of the output frame; the host keeps the
    // window's frames behind it as well.
    inputsCache[inputID_].lookAhead = windowFrames_ / 2;
    inputsCache[inputID_].lookBack = windowFrames_;
}

void BinauralMultisourceTracker::fail(const std::string& what) const {
    throw new FD::GeneralException("BinauralMultisourceTracker \"" + name + "\": " + what);
}

void BinauralMultisourceTracker::calculate(int, int count, FD::Buffer& out) {
    const int ahead = count + windowFrames_ / 2;
    const FD::ObjectRef input = getInput(inputID_, ahead);
    auto* list = dynamic_cast<FD::Vector<FD::ObjectRef>*>(input.get());
    if (!list)
        fail("frame " + std::to_string(count) + ": ESTIMATED_DOA of frame " + std::to_string(ahead) +
             " expects a Vector<ObjectRef> of Source, got " + FD::describeType(input.get()));

    WindowFrame frame;
    frame.sources = FD::RCPtr<FD::Vector<FD::ObjectRef>>(new FD::Vector<FD::ObjectRef>(*list));
    frame.angles.reserve(list->size());
    for (size_t e = 0; e < list->size(); ++e) {
        const auto* source = dynamic_cast<const FD::Source*>((*list)[e].get());
        if (!source)
            fail("frame " + std::to_string(count) + ": element " + std::to_string(e) +
                 " of ESTIMATED_DOA frame " + std::to_string(ahead) + " expects a Source, got " +
                 FD::describeType((*list)[e].get()));
        int degrees;
        // A direction that is not finite has no azimuth: it takes no part in the clustering.
        if (localization::wholeDegrees(source->x[0], source->x[1], &degrees)) frame.angles.push_back(degrees);
    }
    history_.push_back(std::move(frame));
    if (int(history_.size()) > windowFrames_) history_.pop_front();

    angles_.clear();
    for (const WindowFrame& f : history_) angles_.insert(angles_.end(), f.angles.begin(), f.angles.end());

    const std::vector<int>& selected = clustering_.run(angles_, [] { return std::rand(); });

    auto* tracked = new FD::Vector<FD::ObjectRef>();
    out[count] = FD::ObjectRef(tracked);
    for (size_t p = 0; p < selected.size(); ++p) {
        auto* source = new FD::Source();
        source->id = int(p);
        source->power = 1.0f;
        localization::centreDirection(selected[p], &source->x[0], &source->x[1]);
        tracked->push_back(FD::ObjectRef(source));
    }
}

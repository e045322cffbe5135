#include "localization/BinauralMultisourceTracker.h"

#include <algorithm>

#include <cstdlib>
#include <optional>

#include "flow/NodeSupport.h"
#include "flow/Source.h"
#include "plugin/Descriptions.h"

FD::NodeInfo BinauralMultisourceTracker::description() {
    FD::NodeInfo info{"BinauralMultisourceTracker",
            "clusters localized directions over a sliding window of frames",
            {{"ESTIMATED_DOA", zelkbp::kSourceLists, FD::kinds::sources}},
            {{"TRACKED_DOA", zelkbp::kSourceLists, FD::kinds::sources}},
            {zelkbp::advanceParam(),
             zelkbp::samplingRateParam(),
             FD::boundedParam("CLUSTERING_DURATION", "float", "seconds of the clustering window", FD::ParamInfo::Bound::AtLeast, 0.0)}};
    // The window's source lists are kept back and ahead, and clustered together: about
    // 4 kB per frame of the window (measured).
    info.memoryNeeds = [](const FD::NumberOf& number) {
        const double frames =
            number("CLUSTERING_DURATION") * number("SAMPLING_RATE") / std::max(1.0, number("ADVANCE"));
        return std::vector<FD::MemoryNeed>{{"CLUSTERING_DURATION", frames * 4096.0,
                                            "a window of " + std::to_string((long long)frames) + " frames"}};
    };
    return info;
}

BinauralMultisourceTracker::BinauralMultisourceTracker(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), errors_("BinauralMultisourceTracker", name) {
    inputID_ = addInput("ESTIMATED_DOA");
    outputID_ = addOutput("TRACKED_DOA");

    const FD::NodeParameters p(errors_, parameters);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    clusteringDuration_ = p.nonNegativeSeconds("CLUSTERING_DURATION");

    // N = trunc(CLUSTERING_DURATION / ADVANCE * SAMPLING_RATE + 0.5), a count the host can keep.
    const std::optional<int> frames =
        FD::nearestFrames(FD::framesIn(clusteringDuration_, advance_, samplingRate_), 0, (1 << 30) - 1);
    if (!frames)
        errors_.refuse("CLUSTERING_DURATION",
                       "CLUSTERING_DURATION must be a finite, non-negative number of seconds giving at most 2^30 "
                       "frames, got " +
                           FD::formatNumber(clusteringDuration_));
    windowFrames_ = *frames;

    inOrder = true;
    // The window reaches N / 2 frames ahead of the output frame; the host keeps the
    // window's frames behind it as well.
    readsAhead(inputID_, windowFrames_ / 2);
    keepsBack(inputID_, windowFrames_);
}

void BinauralMultisourceTracker::calculate(int, int count, FD::Buffer& out) {
    const int ahead = count + windowFrames_ / 2;
    const FD::ObjectRef input = getInput(inputID_, ahead);
    auto* list = dynamic_cast<FD::Vector<FD::ObjectRef>*>(input.get());
    if (!list)
        errors_.atFrame(count, "ESTIMATED_DOA",
                        "ESTIMATED_DOA of frame " + std::to_string(ahead) +
                            " expects a Vector<ObjectRef> of Source, got " + FD::describeType(input.get()));

    WindowFrame frame;
    frame.sources = FD::RCPtr<FD::Vector<FD::ObjectRef>>(new FD::Vector<FD::ObjectRef>(*list));
    frame.angles.reserve(list->size());
    for (size_t e = 0; e < list->size(); ++e) {
        const auto* source = dynamic_cast<const FD::Source*>((*list)[e].get());
        if (!source)
            errors_.atFrame(count, "ESTIMATED_DOA",
                            "element " + std::to_string(e) + " of ESTIMATED_DOA frame " +
                                std::to_string(ahead) + " expects a Source, got " +
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

#include "localization/SourceIdentityTracker.h"

#include <cmath>
#include <optional>

#include "flow/Catalogue.h"
#include "flow/NodeSupport.h"
#include "flow/Source.h"

namespace {

// Defaults, for 10-ms frames (ADVANCE 160 at 16 kHz) and talkers heard by a pair of
// microphones: a gate that keeps talkers 20 degrees apart separate, confirmation after
// 8 detections within 0.2 s, survival through 1.5 s of silence.
constexpr float kGate = 10.0f;             // degrees
constexpr float kMergeDistance = 5.0f;     // degrees
constexpr int kConfirmationHits = 8;       // detections ...
constexpr float kConfirmationTime = 0.2f;  // ... within this many seconds
constexpr float kSurvivalTime = 1.5f;      // s
constexpr float kProcessNoise = 5.0f;      // degrees per second per sqrt(s)
constexpr float kMeasurementNoise = 2.0f;  // degrees
constexpr float kScoreTime = 0.2f;         // s

constexpr double kPi = 3.141592653589793;

}  // namespace

FD::NodeInfo SourceIdentityTracker::description() {
    auto byDefault = [](float v) { return " (default " + FD::formatNumber(v) + ")"; };
    return {"SourceIdentityTracker",
         "follows talkers with lasting ids: Kalman filter per track, global gated assignment, M-of-N "
         "confirmation, survival through pauses; causal (no look-ahead)",
         {{"ESTIMATED_DOA", "Vector<ObjectRef> of Source records: one frame's directions", FD::kinds::sources}},
         {{"TRACKED_DOA",
           "Vector<ObjectRef> of Source records, one per confirmed track in id order: lasting id, filtered "
           "direction, power = smoothed detection score",
           FD::kinds::sources}},
         {{"ADVANCE", "int", "frame shift in samples"},
          {"SAMPLING_RATE", "int", "samples per second"},
          {"GATE", "float",
           "degrees around a track's predicted azimuth within which a detection may feed it" +
               byDefault(kGate),
           true},
          {"MERGE_DISTANCE", "float",
           "degrees: two tracks fed at once and closer than this are merged" + byDefault(kMergeDistance),
           true},
          {"CONFIRMATION_HITS", "int",
           "frames with a detection needed within CONFIRMATION_TIME to confirm a track" +
               byDefault(kConfirmationHits),
           true},
          {"CONFIRMATION_TIME", "float",
           "seconds of the confirmation window, at most 64 frames" + byDefault(kConfirmationTime), true},
          {"SURVIVAL_TIME", "float",
           "seconds a track lasts without detections (at most two frames per detection it had)" +
               byDefault(kSurvivalTime),
           true},
          {"PROCESS_NOISE", "float",
           "angular-speed drift of a talker, degrees per second per sqrt(s)" + byDefault(kProcessNoise),
           true},
          {"MEASUREMENT_NOISE", "float",
           "degrees of spread of a detected azimuth of score 1 (score c: MEASUREMENT_NOISE / c)" +
               byDefault(kMeasurementNoise),
           true},
          {"SCORE_TIME", "float",
           "seconds over which the reported power is smoothed, 0 for none" + byDefault(kScoreTime), true}}};
}

SourceIdentityTracker::SourceIdentityTracker(std::string nodeName, const FD::ParameterSet& params)
    : FD::BufferedNode(std::move(nodeName), params), errors_("SourceIdentityTracker", name), tracker_(settings_) {
    inputID_ = addInput("ESTIMATED_DOA");
    outputID_ = addOutput("TRACKED_DOA");

    const FD::NodeParameters p(errors_, parameters);
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    auto real = [&p](const char* name, float fallback) { return p.has(name) ? p.real(name) : fallback; };
    const float gate = real("GATE", kGate);
    const float mergeDistance = real("MERGE_DISTANCE", kMergeDistance);
    const int hits = p.has("CONFIRMATION_HITS") ? p.integer("CONFIRMATION_HITS") : kConfirmationHits;
    const float confirmationTime = real("CONFIRMATION_TIME", kConfirmationTime);
    const float survivalTime = real("SURVIVAL_TIME", kSurvivalTime);
    const float processNoise = real("PROCESS_NOISE", kProcessNoise);
    const float measurementNoise = real("MEASUREMENT_NOISE", kMeasurementNoise);
    const float scoreTime = real("SCORE_TIME", kScoreTime);

    if (!(gate > 0.0f && gate <= 180.0f))
        errors_.refuse("GATE", "GATE must be more than 0 and at most 180 degrees, got " + FD::formatNumber(gate));
    if (!(mergeDistance >= 0.0f && mergeDistance <= 180.0f))
        errors_.refuse("MERGE_DISTANCE",
                       "MERGE_DISTANCE must be 0 to 180 degrees, got " + FD::formatNumber(mergeDistance));
    const int window = secondsToFrames("CONFIRMATION_TIME", confirmationTime, 1,
                                       localization::IdentityTracker::kMaxConfirmationFrames);
    if (hits < 1 || hits > window)
        errors_.refuse("CONFIRMATION_HITS", "CONFIRMATION_HITS must be 1 to " + std::to_string(window) +
                                                " (the frames of CONFIRMATION_TIME), got " + std::to_string(hits));
    const int survival = secondsToFrames("SURVIVAL_TIME", survivalTime, 1, 1 << 30);
    if (!(processNoise >= 0.0f && processNoise <= 1e4f))
        errors_.refuse("PROCESS_NOISE", "PROCESS_NOISE must be 0 to 10000 degrees per second per sqrt(s), got " +
                                            FD::formatNumber(processNoise));
    if (!(measurementNoise > 0.0f && measurementNoise <= 180.0f))
        errors_.refuse("MEASUREMENT_NOISE", "MEASUREMENT_NOISE must be more than 0 and at most 180 degrees, got " +
                                                FD::formatNumber(measurementNoise));
    const int scoreFrames = secondsToFrames("SCORE_TIME", scoreTime, 0, 1 << 30);

    settings_.frameSeconds = double(advance_) / double(samplingRate_);
    settings_.gateDegrees = gate;
    settings_.mergeDegrees = mergeDistance;
    settings_.confirmationHits = hits;
    settings_.confirmationFrames = window;
    settings_.survivalFrames = survival;
    settings_.processNoise = processNoise;
    settings_.measurementNoise = measurementNoise;
    settings_.scoreSmoothingFrames = scoreFrames;
    tracker_ = localization::IdentityTracker(settings_);
    detections_.reserve(localization::IdentityTracker::kMaxDetections);

    inOrder = true;  // causal: reads only the current frame, keeps nothing of the host's
}

// round(seconds / ADVANCE * SAMPLING_RATE), the quotient and product in single precision.
int SourceIdentityTracker::secondsToFrames(const char* name, float seconds, int minimum, int maximum) const {
    const std::optional<int> frames =
        std::isfinite(seconds) && seconds >= 0.0f
            ? FD::nearestFrames(FD::framesIn(seconds, advance_, samplingRate_), minimum, maximum)
            : std::nullopt;
    if (!frames)
        errors_.refuse(name, std::string(name) + " must be a number of seconds giving " + std::to_string(minimum) +
                                 " to " + std::to_string(maximum) + " frames of " + std::to_string(advance_) +
                                 " samples at " + std::to_string(samplingRate_) + " Hz, got " +
                                 FD::formatNumber(seconds));
    return *frames;
}

void SourceIdentityTracker::calculate(int, int count, FD::Buffer& out) {
    const FD::ObjectRef input = getInput(inputID_, count);
    auto* list = &errors_.frameAs<FD::Vector<FD::ObjectRef>>(input, count, "ESTIMATED_DOA",
                                                               "a Vector<ObjectRef> of Source");

    detections_.clear();
    for (size_t e = 0; e < list->size(); ++e) {
        const auto* source = dynamic_cast<const FD::Source*>((*list)[e].get());
        if (!source)
            errors_.atFrame(count, "ESTIMATED_DOA",
                            "element " + std::to_string(e) + " of ESTIMATED_DOA expects a Source, got " +
                                FD::describeType((*list)[e].get()));
        const double azimuth = std::atan2(double(source->x[1]), double(source->x[0])) * (180.0 / kPi);
        detections_.push_back({azimuth, double(source->power)});
    }
    const std::vector<localization::TrackReport>& tracks =
        tracker_.step(detections_.data(), int(detections_.size()));

    auto* tracked = new FD::Vector<FD::ObjectRef>();
    out[count] = FD::ObjectRef(tracked);
    tracked->reserve(tracks.size());
    for (const localization::TrackReport& t : tracks) {
        auto* source = new FD::Source();
        const double radians = t.azimuth * (kPi / 180.0);
        source->x[0] = float(std::cos(radians));
        source->x[1] = float(std::sin(radians));
        source->power = float(t.power);
        source->id = t.id;
        tracked->push_back(FD::ObjectRef(source));
    }
}

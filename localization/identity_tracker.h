// Causal multi-talker tracking with lasting identities, on azimuth only.
//
// Every track carries a constant-velocity Kalman filter on its azimuth (state: azimuth
// in degrees and angular speed in degrees per second; continuous white-acceleration
// process noise; detections measure the azimuth with a fixed noise). Each frame:
//
//   1. predict every track one frame ahead;
//   2. assign detections to tracks globally: a detection farther than the gate from a
//      track's predicted azimuth cannot go to it; among the rest, the assignment that
//      maximises the summed gain (gate^2 - distance^2) / S is chosen by the Hungarian
//      method (S: the track's predicted innovation variance, so a well-followed track
//      wins a contested detection over one that has been coasting);
//   3. update the tracks that got a detection, a detection of score c (taken in 0.1 .. 1)
//      counting with noise measurementNoise / c; the others coast, their speed fading
//      over 0.5 s (a talker who falls silent often stops moving too);
//   4. a detection that fell within no track's gate starts a tentative track;
//   5. a tentative track becomes confirmed, and gets the next id (increasing, never
//      reused), once it has had detections in M of the last N frames; it is dropped
//      when it has had none in the last N frames;
//   6. a confirmed track is dropped after `survivalFrames` frames without a detection,
//      or after twice as many frames as it has had detections if that is sooner (a
//      stray peak that got confirmed fades soon; a talker heard for a while lasts);
//   7. two tracks both fed within the last N frames and closer than the merge distance
//      are one talker seen twice: they become one track with the senior id (confirmed
//      before tentative, then the older id) and the filter of the one fed more often
//      lately. A coasting track is never merged, so a silent talker keeps its id while
//      another one walks past.
//
// Only confirmed tracks are reported, in id order: the filtered azimuth and the
// detection score smoothed exponentially, frames without a detection counting as 0.
// Frame k's report depends on frames up to k only. Azimuths wrap at +-180 degrees.
#pragma once

#include <cstdint>
#include <vector>

namespace localization {

struct IdentityTrackerSettings {
    double frameSeconds = 0.01;        // time between frames, s
    double gateDegrees = 10.0;         // assignment gate around a predicted azimuth
    double mergeDegrees = 5.0;         // two fed tracks closer than this are merged
    int confirmationHits = 8;          // M: frames with a detection ...
    int confirmationFrames = 20;       // ... among the last N frames (1 .. 64)
    int survivalFrames = 150;          // frames a confirmed track coasts before it is dropped
    double processNoise = 5.0;         // angular-speed drift, degrees per second per sqrt(s)
    double measurementNoise = 2.0;     // standard deviation of an azimuth detected with score 1, degrees
    double scoreSmoothingFrames = 20;  // time constant of the reported power, frames (0: none)
};

struct TrackDetection {
    double azimuth;  // degrees; non-finite ones are ignored
    double score;    // strength; a non-finite score counts as 0
};

struct TrackReport {
    int id;
    double azimuth;  // filtered, degrees in [-180, 180]
    double power;    // smoothed detection score
};

class IdentityTracker {
public:
    static constexpr int kMaxTracks = 32;      // tracks alive at once; further births wait
    static constexpr int kMaxDetections = 32;  // per frame; the strongest are kept
    static constexpr int kMaxConfirmationFrames = 64;

    explicit IdentityTracker(const IdentityTrackerSettings& settings);

    // Advances one frame with its detections and returns the confirmed tracks, in id
    // order. The reference stays valid until the next call.
    const std::vector<TrackReport>& step(const TrackDetection* detections, int count);

    int tracksAlive() const { return trackCount_; }  // tentative and confirmed

private:
    struct Track {
        double azimuth;        // degrees
        double speed;          // degrees per second
        double p00, p01, p11;  // covariance of (azimuth, speed)
        double score;          // smoothed detection score
        uint64_t hits;         // bit k: a detection k frames ago
        int64_t detections;    // frames with a detection since birth
        int missed;            // frames since the last detection
        int id;                // -1 while tentative
        int64_t birth;         // frame of birth, for seniority among tentative tracks
    };

    void predict(Track& t) const;
    void update(Track& t, const TrackDetection& d) const;
    int gatherDetections(const TrackDetection* detections, int count);
    void assign(int detectionCount);
    void bear(int detectionCount);
    void confirmAndDrop();
    void merge();
    bool senior(const Track& a, const Track& b) const;
    void remove(int index);

    IdentityTrackerSettings s_;
    double r_;                    // measurement variance, degrees^2
    double q00_, q01_, q11_;      // process noise per frame
    double scoreAlpha_;           // smoothing factor of the reported power
    double coastingSpeedFactor_;  // per-frame decay of a coasting track's speed
    uint64_t window_;             // mask of the last N frames

    Track tracks_[kMaxTracks] = {};
    int trackCount_ = 0;
    int nextId_ = 0;
    int64_t frame_ = 0;

    // Per-frame working data, sized once.
    TrackDetection kept_[kMaxDetections] = {};
    bool inSomeGate_[kMaxDetections] = {};  // per kept detection: within some track's gate
    std::vector<TrackReport> reports_;
};

// Minimum-cost assignment of `rows` rows to distinct columns out of `cols` >= rows
// (Hungarian method with potentials, O(rows^2 cols)). `cost` is row-major, rows x cols;
// `columnOf` receives each row's column. Sizes up to kMaxRows x kMaxCols.
constexpr int kAssignMaxRows = IdentityTracker::kMaxTracks;
constexpr int kAssignMaxCols = IdentityTracker::kMaxTracks + IdentityTracker::kMaxDetections;
void assignMinimumCost(const double* cost, int rows, int cols, int* columnOf);

}  // namespace localization

// Tracking of directions by a growing one-dimensional k-means over whole degrees.
//
// The directions detected in a window of frames are turned into whole degrees of
// azimuth (truncated towards 0) and clustered: start with one centre drawn at
// random among the angles, run k-means to convergence (nearest centre by absolute
// difference, lowest centre on ties; each centre moves to the truncated integer mean
// of its angles; a centre left without angles jumps to a random angle), and add one
// more random centre until the mean distance of the angles to their centres,
// in whole degrees, is 3 or less. Every cluster holding more than 30 % of the angles
// is a tracked direction. All arithmetic on the angles is integer.
//
// Random positions come from a caller-supplied draw of a raw value in 0 .. RAND_MAX,
// so the node can use the process-wide generator and tests a scripted one.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace localization {

constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr int kMaxCentres = 60;              // clusters tried at most per frame
constexpr int kMeanDistanceLimit = 3;        // whole degrees
constexpr float kSelectedShare = 0.3f;       // a cluster must hold more than this share
constexpr int kMaxIterationsPerPass = 1000;  // guard: k-means passes converge in a handful

// Whole degrees of the direction vector (x0, x1) = (cos, sin): the single-precision
// arc tangent in degrees, truncated towards 0. False when the vector is not finite.
bool wholeDegrees(float x0, float x1, int* degrees);

// A position in 0 .. n - 1 from a raw draw r in 0 .. RAND_MAX:
// trunc(float(r) * float(n) * 2^-31), kept below n when rounding carries it up to n.
int randomPosition(int r, int n);

// Turns a tracked centre (whole degrees) into a unit direction vector.
void centreDirection(int degrees, float* x0, float* x1);

class DirectionClustering {
public:
    using Draw = std::function<int()>;

    explicit DirectionClustering(int maxCentres = kMaxCentres);

    // Clusters `angles` and returns the centres holding more than 30 % of them, in the
    // order the clusters were created. Two or fewer angles give no centre and draw nothing.
    const std::vector<int>& run(const std::vector<int>& angles, const Draw& draw);

    // Details of the last run, for inspection.
    const std::vector<int>& centres() const { return centres_; }
    const std::vector<int>& nearest() const { return nearest_; }  // centre of each angle
    int lastMeanDistance() const { return meanDistance_; }

private:
    // One k-means pass to convergence with the current centres; returns the total distance.
    int64_t converge(const std::vector<int>& angles, const Draw& draw);

    int maxCentres_;
    std::vector<int> centres_;   // whole degrees, creation order
    std::vector<int> previous_;  // centres before the last update
    std::vector<int> nearest_;   // per angle: index of its nearest centre
    std::vector<int64_t> sums_;  // per centre: sum of its angles
    std::vector<int> counts_;    // per centre: number of its angles
    std::vector<int> selected_;  // the result of the last run
    int meanDistance_ = 0;       // total distance / n of the last pass, whole degrees
};

}  // namespace localization

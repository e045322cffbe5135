// The direction of each separated talker, from the mixing of its block.
//
// Column n of a block's mixing (separation/block_alignment.h) is talker n as heard at
// each microphone. Between the first two microphones its cross term
// g(k) = A(0, n, k) conj(A(1, n, k)) has the phase -w_k tau of the talker's delay, the
// same quantity the localization node reads from the microphone cross-spectrum. So the
// talker's azimuth is scored exactly as there, with the same delay models and steering
// tables (localization/gcc_phat.h): for each of the 181 azimuths, the weighted band
// average of Re(g / |g| e^(j w_k tau_a)), each bin weighted by its share of the row's
// energy (bins where the talker is strong carry a well-determined column). The best
// azimuth is refined between grid points by a parabola through its score and its
// neighbours'; its score (at most 1) tells how well the band agrees.
#pragma once

#include <vector>

#include "localization/gcc_phat.h"
#include "separation/block_kernel.h"

namespace separation {

struct TalkerDirection {
    float azimuth = 0.0f;  // degrees, -90 .. +90, positive towards the second microphone
    float score = 0.0f;    // weighted band average at the azimuth; 0 when nothing was scored
};

class DirectionFinder {
public:
    static constexpr float kLowestHz = 200.0f;   // below, the phase difference is too small to read
    static constexpr float kHighestHz = 6000.0f; // above, little speech energy

    DirectionFinder(localization::HeadModel model, float micsDistanceCm, int samplingRate);

    // One direction per row (column of the mixing). `bins` is the column count of the
    // spectrum frames, the Nyquist bin included. Needs at least two microphones; with
    // one, every direction is 0 with score 0.
    std::vector<TalkerDirection> directions(const MixingView& mixing, int bins);

private:
    localization::HeadModel model_;
    float micsDistanceCm_;
    int samplingRate_;
    int tableBins_ = -1;  // the spectrum size the tables were built for
    localization::SteeringTables tables_;
};

// With the rows in a stable order: a row holding less than kQuietShare of the block's
// energy (its talker silent) has no direction of its own; it keeps the one `held` has
// for it, with score 0. Other rows update `held`.
constexpr float kQuietShare = 0.05f;
void holdQuietRows(const MixingView& mixing, std::vector<TalkerDirection>& directions,
                   std::vector<TalkerDirection>& held);

}  // namespace separation

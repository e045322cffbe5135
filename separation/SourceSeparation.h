// SourceSeparation: blind separation of a multichannel spectrum stream into N sources by
// independent vector analysis over blocks of T frames (separation/block_separation.h).
//
// Input  INPUT_AUDIO_SPECTRUM   Matrix<complex<float>>, M channels x B bins (0 Hz .. Nyquist).
// Output OUTPUT_AUDIO_SPECTRUM  the same shape; row n < N is separated source n as observed
//                               at channel n, rows N .. M-1 and the Nyquist column are zero.
// Parameters: ITERATION_METHOD (string), NUMBER_OF_SOURCES_TO_BE_SEPARATED (int, N),
// MAX_ITERATION (int), SEPARATION_TIME_LENGTH (float, seconds per block), ADVANCE (int,
// samples per frame), SAMPLING_RATE (int, Hz); optional CLOSED_FORM_2X2 (bool, default false):
// closed-form 2 x 2 arithmetic instead of LAPACK for the natural-gradient and fixed-point
// rules (the auxiliary-function rule always uses it), results within rounding.
//
// Talkers across blocks (optional parameters):
// KEEP_SOURCE_ORDER (bool, default false): reorder each block's rows so that every row
//   keeps the talker it carried in the earlier blocks (separation/block_alignment.h).
// Output SOURCE_DIRECTIONS  Vector<ObjectRef> of Source, per frame one record per row
//   (id = row) with the azimuth of that row's talker, estimated from its block's mixing
//   (separation/source_directions.h); power = how well the band agrees (at most 1).
//   With KEEP_SOURCE_ORDER, a row whose talker is silent in the block repeats its
//   channel's last measured direction, with power 0.
//   Needs MICS_DISTANCE (float, cm; reading the port without it is an error) and takes
//   SOUND_DIFFRACTION_COMPENSATION ("FREE_SPACE", the default, or "SPHERICAL_HEAD"), as
//   the localization node.
//
// Blocks start at frames 0, T, 2T, ... The frame that starts a block reads the input T
// frames ahead, separates the whole block and writes the output frames of all its
// frames; the other frames only create their (zeroed) output. Each block is separated
// from scratch. Progress lines of the iterations go to standard output.
#pragma once

#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "separation/block_kernel.h"
#include "separation/source_directions.h"

class SourceSeparation : public FD::BufferedNode {
public:
    SourceSeparation(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~SourceSeparation() override;

    void calculate(int outputID, int count, FD::Buffer& out) override;
    // Refuses SOURCE_DIRECTIONS when MICS_DISTANCE was not given.
    FD::ObjectRef getOutput(int outputID, int count) override;

private:
    using Spectrum = FD::Matrix<std::complex<float>>;

    FD::RCPtr<Spectrum> inputFrame(int frame);
    void separateBlockAt(int first, int channels, int columns);
    void readTalkerOptions(const FD::NodeParameters& p);
    void followTalkers(int columns);
    void writeDirections(int first);

    const FD::NodeErrors errors_;
    int inputID;                  // INPUT_AUDIO_SPECTRUM
    int outputID;                 // OUTPUT_AUDIO_SPECTRUM
    std::string iterationMethod;  // text of ITERATION_METHOD
    int numSources;               // N
    int maxIteration;             // upper bound on iterations per block
    float separationTimeLength;   // seconds per block
    int advance;                  // samples per frame shift
    int samplingRate;             // Hz
    int blockLength;              // T, frames per block
    bool closedForm2x2 = false;   // CLOSED_FORM_2X2

    separation::UpdateRule rule_;           // from iterationMethod
    std::unique_ptr<separation::BlockKernel> separator_;  // the block arrays, the separation and
                                                          // the talkers' order, made by the first block

    int directionsID;              // SOURCE_DIRECTIONS
    bool keepSourceOrder = false;  // KEEP_SOURCE_ORDER
    std::unique_ptr<separation::DirectionFinder> finder_;  // with MICS_DISTANCE only
    std::vector<separation::TalkerDirection> directions_;      // of the current block
    std::vector<separation::TalkerDirection> heldDirections_;  // each channel's last measured one
};

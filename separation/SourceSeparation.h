// SourceSeparation: blind separation of a multichannel spectrum stream into N sources by
// independent vector analysis over blocks of T frames (separation/block_separation.h).
//
// Input  INPUT_AUDIO_SPECTRUM   Matrix<complex<float>>, M channels x B bins (0 Hz .. Nyquist).
// Output OUTPUT_AUDIO_SPECTRUM  the same shape; row n < N is separated source n as observed
//                               at channel n, rows N .. M-1 and the Nyquist column are zero.
// Parameters: ITERATION_METHOD (string), NUMBER_OF_SOURCES_TO_BE_SEPARATED (int, N),
// MAX_ITERATION (int), SEPARATION_TIME_LENGTH (float, seconds per block), ADVANCE (int,
// samples per frame), SAMPLING_RATE (int, Hz).
//
// Blocks start at frames 0, T, 2T, ... The frame that starts a block reads the input T
// frames ahead, separates the whole block and writes the output frames of all its
// frames; the other frames only create their (zeroed) output. Each block is separated
// from scratch. Progress lines of the iterations go to standard output.
#pragma once

#include <complex>
#include <memory>
#include <string>

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/NodeSupport.h"
#include "separation/block_kernel.h"

class SourceSeparation : public FD::BufferedNode {
public:
    SourceSeparation(std::string nodeName, const FD::ParameterSet& params);
    // Ports and parameters, for the catalogue.
    static FD::NodeInfo description();
    ~SourceSeparation() override;

    void calculate(int outputID, int count, FD::Buffer& out) override;

private:
    using Spectrum = FD::Matrix<std::complex<float>>;

    FD::RCPtr<Spectrum> inputFrame(int frame);
    void separateBlockAt(int first, int channels, int columns);

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

    separation::UpdateRule rule_;           // from iterationMethod
    std::unique_ptr<separation::BlockKernel> separator_;  // the block arrays and the separation,
                                                          // made by the first block
};

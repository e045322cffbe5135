// Module initialisation: runs once when the library is loaded and registers the
// module version, then one factory per node type, in catalogue order, without icons.

#include "flow/Node.h"
#include "flow/Object.h"

// Node headers, one per registered type (uncommented as each type lands):
#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "visualization/SSLvisualization.h"
#include "separation/SourceSeparation.h"
#include "visualization/SpectrumVisualization.h"
#include "enhancement/SpeechEnhancement.h"
#include "visualization/VADvisualization.h"
#include "vad/VoiceActivityDetection.h"
#include "visualization/WaveVisualization.h"
#include "localization/SourceIdentityTracker.h"

namespace {

template <class T>
void registerNode(const char* typeName) {
    FD::Node::addFactory(typeName, new FD::NodeFactory<T>(typeName));
    FD::Node::addXPM(typeName, nullptr);
}

int registerModule() {
    FD::Object::setModuleVersion("ZELKBP", "7993", "2.2.0");
    registerNode<BinauralMultisourceLocalization>("BinauralMultisourceLocalization");
    registerNode<BinauralMultisourceTracker>("BinauralMultisourceTracker");
    registerNode<SSLvisualization>("SSLvisualization");
    registerNode<SourceSeparation>("SourceSeparation");
    registerNode<SpectrumVisualization>("SpectrumVisualization");
    registerNode<SpeechEnhancement>("SpeechEnhancement");
    registerNode<VADvisualization>("VADvisualization");
    registerNode<VoiceActivityDetection>("VoiceActivityDetection");
    registerNode<WaveVisualization>("WaveVisualization");
    registerNode<SourceIdentityTracker>("SourceIdentityTracker");
    return 0;
}

[[maybe_unused]] const int registered = registerModule();

}  // namespace

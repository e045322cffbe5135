// Module initialisation: runs once when the library is loaded and registers the
// module version, then one factory per node type, in catalogue order, without
// icons; each type's description (ports, parameters, help) comes from the node
// itself and goes to the catalogue beside its factory.

#include "flow/Catalogue.h"
#include "flow/Node.h"
#include "flow/Object.h"

#include "enhancement/SpeechEnhancement.h"
#include "localization/BinauralMultisourceLocalization.h"
#include "localization/BinauralMultisourceTracker.h"
#include "separation/SourceSeparation.h"
#include "vad/VoiceActivityDetection.h"
#include "visualization/SSLvisualization.h"
#include "visualization/SpectrumVisualization.h"
#include "visualization/VADvisualization.h"
#include "visualization/WaveVisualization.h"
#include "localization/SourceIdentityTracker.h"

namespace {

template <class T>
void registerNode(const char* typeName) {
    FD::Node::addFactory(typeName, new FD::NodeFactory<T>(typeName));
    FD::Node::addXPM(typeName, nullptr);
    FD::describeNode(T::description());
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

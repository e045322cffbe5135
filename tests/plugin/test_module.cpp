// Loading the plug-in registers its module version and exactly its node types, in order,
// and nothing that only some networks need.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "flow/Module.h"
#include "flow/Node.h"
#include "tests/support/NodeHarness.h"

using namespace FD;

TEST(Module, LoadingRegistersVersionAndTheNodeTypesInOrder) {
    size_t typesBefore = Node::factoryNames().size();
    size_t versionsBefore = Object::moduleVersions().size();
    ASSERT_EQ(FD::testing::hostError([] { loadModule(ZELKBP_MODULE_FILE); }), "");
    ASSERT_EQ(Object::moduleVersions().size(), versionsBefore + 1);
    const ModuleVersion& v = Object::moduleVersions().back();
    EXPECT_EQ(v.name + " " + v.revision + " " + v.version, "ZELKBP 7993 2.2.0");

    std::vector<std::string> added(Node::factoryNames().begin() + long(typesBefore),
                                   Node::factoryNames().end());
    EXPECT_EQ(added, (std::vector<std::string>{
                         "BinauralMultisourceLocalization", "BinauralMultisourceTracker", "SSLvisualization",
                         "SourceSeparation", "SpectrumVisualization", "SpeechEnhancement", "VADvisualization",
                         "VoiceActivityDetection", "WaveVisualization", "SourceIdentityTracker"}));
    for (const std::string& type : added) EXPECT_EQ(Node::getFactory(type)->getName(), type);

    loadModule(ZELKBP_MODULE_FILE);  // again: nothing registered twice
    EXPECT_EQ(Object::moduleVersions().size(), versionsBefore + 1);
    EXPECT_EQ(Node::factoryNames().size(), typesBefore + 10);
}

// Only a window that opens loads the window toolkit, and only a block to separate the
// linear algebra: loading the plug-in pulls in neither.
TEST(Module, LoadingLoadsNeitherTheWindowToolkitNorLinearAlgebra) {
    ASSERT_EQ(FD::testing::hostError([] { loadModule(ZELKBP_MODULE_FILE); }), "");
    for (const char* library :
         {"libgtk-x11-2.0.so.0", "libX11.so.6", "libopenblas.so.0", "liblapack.so.3", "libarmadillo.so.11"})
        EXPECT_EQ(dlopen(library, RTLD_NOW | RTLD_NOLOAD), nullptr) << library << " is loaded";
}

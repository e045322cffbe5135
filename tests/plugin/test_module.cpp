// Loading the plug-in registers its module version and exactly its node types, in order,
// and nothing that only some networks need.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "flow/Module.h"
#include "flow/Node.h"
#include "tests/support/Files.h"
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

// A cut-off copy of the plug-in used to load and then die of SIGBUS on the first page
// past the end of the file; now each is refused with a reason before dlopen.
TEST(Module, TruncatedLibrariesAreRefusedBeforeLoading) {
    const std::string bytes = FD::testing::slurp(ZELKBP_MODULE_FILE);
    ASSERT_GT(bytes.size(), 100000u);
    FD::testing::TempDir dir;
    for (size_t size : {size_t(0), size_t(10), size_t(64), size_t(4096), bytes.size() / 2, bytes.size() - 4096,
                        bytes.size() - 1}) {
        const std::string path = dir / ("cut" + std::to_string(size) + ".so");
        std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(size));
        const std::string error = FD::testing::hostError([&] { loadModule(path); });
        EXPECT_NE(error.find("cannot load module " + path + ": "), std::string::npos) << size << ": " << error;
    }
}

// Only a window that opens loads the window toolkit, and only a block to separate the
// linear algebra: loading the plug-in pulls in neither.
TEST(Module, LoadingLoadsNeitherTheWindowToolkitNorLinearAlgebra) {
    ASSERT_EQ(FD::testing::hostError([] { loadModule(ZELKBP_MODULE_FILE); }), "");
    for (const char* library :
         {"libgtk-x11-2.0.so.0", "libX11.so.6", "libopenblas.so.0", "liblapack.so.3", "libarmadillo.so.11"})
        EXPECT_EQ(dlopen(library, RTLD_NOW | RTLD_NOLOAD), nullptr) << library << " is loaded";
}

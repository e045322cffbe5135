// The window tests run on a private Xvfb display, started before the first test
// and stopped after the last one.
#include <gtest/gtest.h>

#include "flow/Gui.h"
#include "tests/visualization/XvfbServer.h"

namespace vistest {

namespace {

// One Xvfb for the whole program, and the runner's toolkit set-up (thread support
// with the recursive GDK lock) before any node opens a window.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.start(error)) << error;
        ASSERT_TRUE(FD::gui::start()) << "the toolkit cannot open " << server_.display();
    }
    void TearDown() override { server_.stop(); }

private:
    XvfbServer server_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

}  // namespace

}  // namespace vistest

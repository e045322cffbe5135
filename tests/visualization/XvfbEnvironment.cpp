// One private Xvfb for the whole window test program, and the runner's toolkit
// set-up (recursive GDK lock) before any node opens a window.
#include <gtest/gtest.h>

#include "flow/Gui.h"
#include "tests/visualization/XvfbServer.h"

namespace {

class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_.start(error)) << error;
        ASSERT_TRUE(FD::gui::start()) << "cannot open " << server_.display();
    }
    void TearDown() override { server_.stop(); }

private:
    vistest::XvfbServer server_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

}  // namespace

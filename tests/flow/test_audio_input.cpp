// Samples pushed in by another thread while a network runs: the stream ends when
// the producer says so, every sample lands in its frame, channels are picked.
#include <gtest/gtest.h>

#include <thread>

#include "flow/Network.h"
#include "flow/StreamDriver.h"
#include "flow/nodes/AudioFileSource.h"
#include "flow/nodes/AudioInput.h"
#include "flow/nodes/ShortTimeSpectrum.h"
#include "tests/support/NodeHarness.h"

using namespace FD;
using namespace FD::testing;

TEST(PushedInput, FramesFollowThePushedSamplesUntilTheProducerEnds) {
    const long long total = 1000;
    nodes::PushedInput* pushed = nullptr;
    nodes::provideAudioInput("test:pushed", [&pushed](int rate) {
        auto in = std::make_unique<nodes::PushedInput>(3, rate);
        pushed = in.get();
        return in;
    });
    Params p;
    p.s("FILE", "test:pushed")
        .i("LENGTH", 512)
        .i("ADVANCE", 160)
        .i("SAMPLING_RATE", 16000)
        .s("CHANNELS", "2,0");
    Network net;
    auto* source = new AudioFileSource("audio", p);
    net.addNode(source);
    net.addNode(new Resynthesis("resynthesis", Params().i("LENGTH", 512).i("ADVANCE", 160)));
    net.addNode(new ShortTimeSpectrum("stft", Params().i("LENGTH", 512).i("ADVANCE", 160)));
    net.connect("audio", "AUDIO", "stft", "AUDIO");
    net.connect("stft", "SPECTRUM", "resynthesis", "SPECTRUM");
    StreamDriver driver(net);
    ASSERT_TRUE(driver.live());
    ASSERT_NE(pushed, nullptr);

    // Channel c of sample i is i * 10 + c, pushed in uneven blocks.
    std::thread producer([&] {
        std::vector<float> block;
        for (long long i = 0; i < total; ++i) {
            for (int c = 0; c < 3; ++c) block.push_back(float(i * 10 + c));
            if (block.size() == 3 * 97 || i + 1 == total) {
                pushed->push(block.data(), (long long)block.size() / 3);
                block.clear();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        pushed->end();
    });
    while (driver.step()) {
    }
    producer.join();
    EXPECT_EQ(driver.frames(), int((total - 1 + 352) / 160 + 1));
    EXPECT_EQ(source->sampleCount(), total);
    // The last frame that holds samples: sample 999 in row 0 (channel 2), row 1 (channel 0).
    const int last = driver.frames() - 1;
    RCPtr<Matrix<float>> frame = source->getOutput(0, last);
    const long long first = 160LL * last - 352;
    for (int i = 0; i < 512; ++i) {
        long long s = first + i;
        bool inside = s >= 0 && s < total;
        EXPECT_EQ(frame->row(0)[i], inside ? float(s * 10 + 2) : 0.0f) << i;
        EXPECT_EQ(frame->row(1)[i], inside ? float(s * 10) : 0.0f) << i;
    }
}

// The runner as a live tool: streams on standard input and FIFOs, ALSA capture,
// outputs written in place or to TCP clients, stopping by signal, channel choice.
// Every live run is compared with the run of the same recording as a file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/Files.h"
#include "tests/support/Spawn.h"

using namespace FD::testing;

namespace {

const std::string kNetworks = NETWORKS_DIR;
const std::string kDemo = DEMO_WAV;  // two talkers at -30 and +40 degrees, 5 s, 16 kHz

struct RunResult {
    int status;
    std::string out, err;
};

// flowrun with `args`; `feed`, when given, is written to its standard input.
RunResult flowrun(const TempDir& dir, std::vector<std::string> args, const std::string* feed = nullptr,
                  const std::vector<std::pair<std::string, std::string>>& env = {}) {
    args.insert(args.begin(), FLOWRUN);
    Child c(args, feed != nullptr, true, dir / "stderr", env);
    std::thread writer;
    if (feed)
        writer = std::thread([&] {
            c.write(feed->data(), feed->size());
            c.closeIn();
        });
    RunResult r;
    r.out = c.readAll();
    if (writer.joinable()) writer.join();
    r.status = c.wait();
    r.err = slurp(dir / "stderr");
    return r;
}

// The WAV bytes of `path` with both size fields replaced, as a capture program
// writing into a pipe leaves them.
std::string openEnded(const std::string& path, uint32_t size) {
    std::string wav = slurp(path);
    size_t data = wav.find("data");
    std::memcpy(&wav[4], &size, 4);
    std::memcpy(&wav[data + 4], &size, 4);
    return wav;
}

std::vector<short> wavSamples(const std::string& bytes) {
    size_t data = bytes.find("data") + 8;
    std::vector<short> s((bytes.size() - data) / 2);
    std::memcpy(s.data(), bytes.data() + data, s.size() * 2);
    return s;
}

size_t lineCount(const std::string& s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

// flowrun's arguments for the localization network reading `input`, its detections to `localized`.
std::vector<std::string> localize(const TempDir& dir, const std::string& input,
                                  const std::string& localized = "-") {
    return {kNetworks + "/localize.n", "INPUT=" + input, "LOCALIZED=" + localized, "TRACKED=" + (dir / "t"),
            "TRACKS=" + (dir / "k")};
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct FileRun {
    std::string localized, tracked;
};
const FileRun& demoFileRun() {
    static FileRun r = [] {
        TempDir dir;
        RunResult run = flowrun(dir, localize(dir, kDemo, dir / "l"));
        EXPECT_EQ(run.status, 0) << run.err;
        return FileRun{slurp(dir / "l"), slurp(dir / "t")};
    }();
    return r;
}

const bool pipesIgnored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

}  // namespace

TEST(LiveInput, StdinAndFifoGiveTheLinesOfTheFileRun) {
    const FileRun& file = demoFileRun();
    ASSERT_EQ(lineCount(file.localized), 503u);
    struct Case {
        const char* name;
        std::string bytes;
        bool fifo;
    } cases[] = {
        {"plain WAV on stdin", slurp(kDemo), false},
        {"sizes 0xffffffff on stdin", openEnded(kDemo, 0xffffffffu), false},
        {"sizes 0 into a FIFO", openEnded(kDemo, 0), true},
        {"sizes 0x7ffff000 on stdin", openEnded(kDemo, 0x7ffff000u), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RunResult r;
        if (c.fifo) {
            ASSERT_EQ(mkfifo((dir / "in").c_str(), 0600), 0);
            std::thread producer([&] { std::ofstream(dir / "in", std::ios::binary) << c.bytes; });
            r = flowrun(dir, localize(dir, dir / "in"));
            producer.join();
        } else {
            r = flowrun(dir, localize(dir, "-"), &c.bytes);
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == file.localized) << r.out.substr(0, 200);
        EXPECT_TRUE(slurp(dir / "t") == file.tracked);
    }
}

TEST(LiveInput, OpenEndedWavThroughEnhanceKeepsEverySampleAndStdoutHoldsOnlyTheWav) {
    TempDir dir;
    RunResult file = flowrun(dir, {kNetworks + "/enhance.n", "INPUT=" + kDemo, "OUTPUT=" + (dir / "e.wav")});
    ASSERT_EQ(file.status, 0) << file.err;
    std::string feed = openEnded(kDemo, 0xffffffffu);
    RunResult live = flowrun(dir, {kNetworks + "/enhance.n", "INPUT=-", "OUTPUT=-"}, &feed);
    ASSERT_EQ(live.status, 0) << live.err;
    // A WAV stream: open-ended sizes, then every sample of the file run.
    ASSERT_GT(live.out.size(), 44u);
    EXPECT_EQ(live.out.compare(0, 8, std::string("RIFF\xff\xff\xff\xff", 8)), 0);
    EXPECT_EQ(live.out.compare(36, 8, std::string("data\xff\xff\xff\xff", 8)), 0);
    EXPECT_TRUE(wavSamples(live.out) == readWav(dir / "e.wav").samples);
    EXPECT_EQ(wavSamples(live.out).size(), 2u * 80000u);

    // The separation node's progress text goes to stderr, unchanged, when the WAV
    // goes to stdout.
    RunResult sep = flowrun(dir, {kNetworks + "/separate.n", "INPUT=" + kDemo, "OUTPUT=-", "BLOCK_SECONDS=1",
                                  "MAX_ITERATION=50", "METHOD=[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION",
                                  "DIRECTIONS=" + (dir / "d.jsonl")});
    ASSERT_EQ(sep.status, 0) << sep.err;
    EXPECT_EQ(sep.out.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(sep.out.find("KW_BSS"), std::string::npos);
    EXPECT_EQ(sep.err.find("KW_BSS::IVA::Fixed-point === [ iterations: "), 0u) << sep.err;
}

TEST(AlsaCapture, FilePluginDeliversTheRecordingAndBadNamesGiveOneLine) {
    TempDir dir;
    Wav demo = readWav(kDemo);
    std::ofstream(dir / "rec.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(demo.samples.data()), std::streamsize(demo.samples.size() * 2));
    // A capture PCM that reads a raw recording through ALSA's own library.
    std::ofstream(dir / "asound.conf") << "</usr/share/alsa/alsa.conf>\n"
                                       << "pcm.zelkbp_test {\n  type file\n  slave.pcm \"null\"\n"
                                       << "  file \"" << (dir / "played.raw") << "\"\n"
                                       << "  infile \"" << (dir / "rec.raw") << "\"\n  format \"raw\"\n}\n";
    const std::vector<std::pair<std::string, std::string>> env = {{"ALSA_CONFIG_PATH", dir / "asound.conf"}};
    std::vector<std::string> args = localize(dir, "alsa:zelkbp_test");
    args.insert(args.end(), {"--duration", "5"});
    RunResult r = flowrun(dir, args, nullptr, env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == demoFileRun().localized) << r.out.substr(0, 300);
    const std::string tracked = slurp(dir / "t");
    EXPECT_TRUE(tracked == demoFileRun().tracked);
    EXPECT_NE(tracked.find("\"azimuth\":-3"), std::string::npos);
    EXPECT_NE(tracked.find("\"azimuth\":4"), std::string::npos);

    const struct {
        const char* input;
        const char* says;
    } bad[] = {
        {"alsa:zelkbp_nosuch", "AudioFileSource \"audio\": cannot open ALSA capture device zelkbp_nosuch: "},
        {"alsa:", "AudioFileSource \"audio\": \"alsa:\" names no device"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.input);
        RunResult e = flowrun(dir, localize(dir, b.input, dir / "l"), nullptr, env);
        EXPECT_EQ(e.status, 1);
        EXPECT_EQ(lineCount(e.err), 1u) << e.err;
        EXPECT_NE(e.err.find(b.says), std::string::npos) << e.err;
    }
}

TEST(Stopping, SignalsInAPacedStreamKeepCompleteResults) {
    const struct {
        int signal;
        int status;
        const char* network;
    } cases[] = {{SIGINT, 130, "localize.n"}, {SIGTERM, 143, "enhance.n"}};
    const std::string wav = openEnded(kDemo, 0xffffffffu);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.network);
        TempDir dir;
        std::vector<std::string> args = std::string(c.network) == "enhance.n"
                                            ? std::vector<std::string>{kNetworks + "/enhance.n", "INPUT=-",
                                                                       "OUTPUT=" + (dir / "e.wav")}
                                            : localize(dir, "-", dir / "l");
        args.insert(args.begin(), FLOWRUN);
        Child child(args, true, false, dir / "stderr");
        // The recording at its own pace, one hop (160 samples) every 10 ms; the
        // signal comes half a second in, once flowrun has taken every hop so far
        // (it is running its frames, not still starting).
        auto start = std::chrono::steady_clock::now();
        child.write(wav.data(), 44);
        bool sent = false;
        for (size_t at = 44, k = 0; at < wav.size(); at += 640, ++k) {
            int unread = 1;
            if (k >= 50 && !sent && ioctl(child.in(), FIONREAD, &unread) == 0 && unread == 0)
                sent = kill(child.pid(), c.signal) == 0;
            if (!child.write(wav.data() + at, std::min<size_t>(640, wav.size() - at))) break;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (k + 1)));
        }
        child.closeIn();
        EXPECT_EQ(child.wait(), c.status);
        const std::string err = slurp(dir / "stderr");
        size_t said = err.find("stopped by ");
        ASSERT_NE(said, std::string::npos) << err;
        const int kept = std::atoi(err.c_str() + err.find(": ", said) + 2);
        EXPECT_TRUE(sent);
        EXPECT_GT(kept, 40);
        EXPECT_LT(kept, 200);
        if (std::string(c.network) == "localize.n") {
            for (const char* f : {"l", "t"}) {
                std::string lines = slurp(dir / f);
                EXPECT_EQ(lineCount(lines), size_t(kept)) << f;
                EXPECT_EQ(lines.substr(lines.size() - 3), "]}\n");
                EXPECT_NE(lines.find("{\"frame\":" + std::to_string(kept - 1) + ","), std::string::npos);
            }
        } else {
            Wav e = readWav(dir / "e.wav");  // the header's count is the data's: no sample left out
            EXPECT_LE(std::filesystem::file_size(dir / "e.wav"), 128 + e.samples.size() * 2);
            EXPECT_GE(e.frames(), (kept - 3) * 160);
            EXPECT_LE(e.frames(), kept * 160);
        }
    }
}

TEST(StreamingOutputs, FifoWithAReaderSymlinkAndStdoutWrittenInPlace) {
    const FileRun& file = demoFileRun();
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::string fromFifo;
    std::thread reader([&] { fromFifo = slurp(dir / "fifo"); });
    std::ofstream(dir / "real.jsonl") << "old\n";
    std::filesystem::create_symlink("real.jsonl", dir / "link");
    RunResult r = flowrun(dir, {kNetworks + "/localize.n", "INPUT=" + kDemo, "LOCALIZED=" + (dir / "fifo"),
                                "TRACKED=" + (dir / "link"), "TRACKS=" + (dir / "k")});
    reader.join();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fromFifo == file.localized);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
    EXPECT_TRUE(slurp(dir / "real.jsonl") == file.tracked);
    EXPECT_EQ(dir.files().size(), 5u);  // fifo, link, real.jsonl, k, stderr: no hidden leftovers

    r = flowrun(dir, localize(dir, kDemo));
    EXPECT_TRUE(r.out == file.localized);
    EXPECT_EQ(r.err.find("{"), std::string::npos);
}

TEST(StreamingOutputs, CharacterDeviceStaysADevice) {
    TempDir dir;
    if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "mknod is not permitted here: " << std::strerror(errno);
    RunResult r = flowrun(dir, {kNetworks + "/enhance.n", "INPUT=" + kDemo, "OUTPUT=" + (dir / "null")});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((dir / "null").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(dir.files().size(), 2u);  // the device and stderr
}

TEST(StreamingOutputs, TcpClientsGetTheLinesWhileAStalledOneIsDropped) {
    TempDir dir;
    int port = 0;
    {  // a free port on 127.0.0.1
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        close(s);
    }
    // 60 s of noise: far more lines than a stalled client's queue holds.
    std::vector<short> samples = noise(2 * 16000 * 60, 3);
    for (short& s : samples) s = short(s / 8);
    writeWav(dir / "n.wav", 16000, 2, samples);
    const std::string feed = slurp(dir / "n.wav");
    std::vector<std::string> args = localize(dir, "-", "tcp://127.0.0.1:" + std::to_string(port));
    args.insert(args.begin(), FLOWRUN);
    Child run(args, true, false, dir / "stderr");
    auto connectTo = [port](int rcvbuf) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
            sockaddr_in a = loopback(port);
            if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return s;
            close(s);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    };
    int stalled = connectTo(4096), reader = connectTo(0);
    ASSERT_GE(stalled, 0);
    ASSERT_GE(reader, 0);
    std::thread producer([&] {
        run.write(feed.data(), feed.size());
        run.closeIn();
    });
    std::string lines;
    char buf[65536];
    ssize_t n;
    while ((n = recv(reader, buf, sizeof(buf), 0)) > 0) lines.append(buf, size_t(n));
    producer.join();
    EXPECT_EQ(run.wait(), 0) << slurp(dir / "stderr");
    EXPECT_EQ(lineCount(lines), 6003u);
    EXPECT_EQ(lines.compare(0, 10, "{\"frame\":0"), 0);
    size_t stalledGot = 0;
    while ((n = recv(stalled, buf, sizeof(buf), 0)) > 0) stalledGot += size_t(n);
    EXPECT_LT(stalledGot, lines.size());  // dropped on the way
    close(reader);
    close(stalled);

    int again = socket(AF_INET, SOCK_STREAM, 0);  // the port was released
    int on = 1;
    setsockopt(again, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = loopback(port);
    EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(listen(again, 1), 0);
    close(again);
}

TEST(InputChannels, PicksAPairOfAFourChannelFileAndNamesTheCount) {
    TempDir dir;
    Wav demo = readWav(kDemo);
    std::vector<short> four;
    std::vector<short> other = noise(demo.samples.size(), 9);
    for (size_t i = 0; i < demo.samples.size(); i += 2)
        four.insert(four.end(), {other[i], other[i + 1], demo.samples[i], demo.samples[i + 1]});
    writeWav(dir / "four.wav", 16000, 4, four);
    auto pick = [&](const std::string& channels) {
        std::vector<std::string> args = localize(dir, dir / "four.wav");
        args.push_back("INPUT_CHANNELS=" + channels);
        return flowrun(dir, args);
    };
    RunResult r = pick("2,3");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == demoFileRun().localized);
    EXPECT_EQ(r.err.find("channels 0 and 1 are taken"), std::string::npos) << r.err;

    r = pick("");  // all four: the pair used is said
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("AUDIO_SPECTRUM has 4 channels; channels 0 and 1 are taken"), std::string::npos)
        << r.err;

    r = pick("2,4");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lineCount(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("CHANNELS names channel 4, but " + (dir / "four.wav") + " has 4 channels"),
              std::string::npos)
        << r.err;
}

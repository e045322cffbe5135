// The runner as a user meets it: exit status, one readable line per error, the
// round trip of a recording, resampling, interruption, the listing, modules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "flow/Catalogue.h"
#include "flow/Module.h"
#include "flow/Node.h"
#include "tests/support/Files.h"

using namespace FD::testing;

namespace {

const std::string kRoundTrip = network("roundtrip.n");

std::string roundTrip(const TempDir& dir, const std::string& in, const std::string& extra = "") {
    return kRoundTrip + " INPUT=" + (dir / in) + " OUTPUT=" + (dir / "b.wav") + extra;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the shadow memory needs an unlimited address space
#else
constexpr bool kSanitized = false;
#endif

// flowrun ARGS started without a shell, as a shell starts it (SIGPIPE at its default):
// standard output on `out` (-1: /dev/null), `input` piped to its standard input, its
// address space limited to `memoryLimit` bytes when not 0. Standard error is kept.
Outcome direct(const TempDir& dir, const std::vector<std::string>& args, int out = -1,
               const std::string& input = "", rlim_t memoryLimit = 0) {
    const std::string errPath = dir / "stderr.txt";
    int in[2];
    if (pipe(in) != 0 || write(in[1], input.data(), input.size()) != ssize_t(input.size())) std::abort();
    close(in[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        rlimit limit{memoryLimit, memoryLimit};
        if (memoryLimit) setrlimit(RLIMIT_AS, &limit);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in[0], 0), dup2(out >= 0 ? out : open("/dev/null", O_WRONLY), 1), dup2(err, 2);
        std::vector<char*> argv{const_cast<char*>(FLOWRUN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(FLOWRUN, argv.data());
        _exit(127);
    }
    close(in[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.err = slurp(errPath);
    unlink(errPath.c_str());
    return run;
}

}  // namespace

TEST(Flowrun, RoundTripReproducesAStereoRecording) {
    TempDir dir;
    std::vector<short> s = noise(2 * 16037, 11);
    writeWav(dir / "a.wav", 16000, 2, s);
    Outcome r = flowrun(roundTrip(dir, "a.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    // 16037 samples: frames up to the one whose 512 samples still reach the last sample.
    EXPECT_EQ(r.err.find("flowrun: " + kRoundTrip + ": 103 frames, 1.00 s of audio in "), 0u) << r.err;
    Wav b = readWav(dir / "b.wav");
    EXPECT_EQ(b.rate, 16000);
    EXPECT_EQ(b.channels, 2);
    EXPECT_TRUE(b.samples == s);
}

TEST(Flowrun, ResamplesToTheNetworkRate) {
    TempDir dir;
    std::vector<short> s(2 * 44100);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = short(5000 * std::sin(2 * M_PI * 440 * double(i / 2) / 44100));
    writeWav(dir / "a.wav", 44100, 2, s);
    Outcome r = flowrun(roundTrip(dir, "a.wav", " SAMPLING_RATE=16000"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("is at 44100 Hz: resampling to 16000 Hz"), std::string::npos) << r.err;
    Wav b = readWav(dir / "b.wav");
    EXPECT_EQ(b.rate, 16000);
    EXPECT_EQ(b.frames(), 16000);
}

TEST(Flowrun, ErrorsAreOneLineEachAndFail) {
    TempDir dir;
    const std::string run = "flowrun: " + kRoundTrip + ": ";
    Outcome r = flowrun(kRoundTrip + " OUTPUT=" + (dir / "b.wav") + " LENGTH=5l2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, run + "argument INPUT (string) has no value: give INPUT=... on the command line\n" +
                         run + "argument LENGTH=5l2 is not an int\n");

    // One value refused by every node that takes it: one line, the others named in it.
    r = flowrun(roundTrip(dir, "none.wav") + " ADVANCE=0");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines(), 1u) << r.err;
    EXPECT_NE(r.err.find("ADVANCE must be 1 to LENGTH (512), got 0 (argument ADVANCE; nodes stft, "
                         "resynthesis and output refuse it too)"),
              std::string::npos)
        << r.err;

    r = flowrun(roundTrip(dir, "none.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines(), 1u) << r.err;
    EXPECT_NE(r.err.find("AudioFileSource \"audio\": cannot open " + (dir / "none.wav")), std::string::npos);

    // A file that breaks off in the middle of the run: an error naming it and the frame, no output.
    writeWav(dir / "cut.flac", 16000, 1, noise(64000, 5), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::filesystem::resize_file(dir / "cut.flac", std::filesystem::file_size(dir / "cut.flac") / 2);
    r = flowrun(roundTrip(dir, "cut.flac"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines(), 1u) << r.err;
    EXPECT_NE(r.err.find("AudioFileSource \"audio\": frame "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cut.flac is truncated"), std::string::npos) << r.err;
    EXPECT_EQ(dir.files(), std::vector<std::string>{"cut.flac"});

    // A spectrum wired into the audio writer: refused at load with the link's line.
    std::string text = slurp(kRoundTrip);
    const std::string wire = "from=\"resynthesis\" output=\"AUDIO\"";
    const size_t at = text.find(wire);
    text.replace(at, wire.size(), "from=\"stft\" output=\"SPECTRUM\"");
    std::ofstream(dir / "wire.n") << text;
    r = flowrun((dir / "wire.n") + " INPUT=" + (dir / "cut.flac") + " OUTPUT=" + (dir / "b.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "flowrun: " + (dir / "wire.n") + ":" +
                  std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 1) +
                  ": link from stft SPECTRUM to output AUDIO: output SPECTRUM of node stft "
                  "(ShortTimeSpectrum) gives a spectrum, but input AUDIO of node output (AudioFileSink) "
                  "takes signal frames\n");

    std::ofstream(dir / "bad.n")
        << "<document><network>\n<node name='a' type='AudioFileSource'>\n</document>";
    r = flowrun(dir / "bad.n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "flowrun: " + (dir / "bad.n") + ":3: not well-formed XML: Start-end tags mismatch\n");
}

TEST(Flowrun, AWrongCommandLineIsStatus2WithTheUsage) {
    for (const std::string& args :
         {std::string("--frobnicate"), std::string(), std::string("--snapshot"), kRoundTrip + " X=1 X=2",
          kRoundTrip + " --memory-budget 0", kRoundTrip + " --memory-budget=-5",
          kRoundTrip + " --memory-budget x", kRoundTrip + " --memory-budget",
          kRoundTrip + " \"--duration=$(printf '\\033[31m')\""}) {
        SCOPED_TRACE(args);
        Outcome r = flowrun(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.find("flowrun: "), 0u) << r.err;
        EXPECT_EQ(r.err.find('\033'), std::string::npos) << "an escape sequence echoed raw";
        EXPECT_NE(r.err.find("\nusage: flowrun NETWORK.n"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(Flowrun, AnInterruptStopsWithStatus130AndKeepsACompleteResult) {
    TempDir dir;
    writeWav(dir / "a.wav", 16000, 2, noise(2 * 16000 * 20, 3));  // 20 s, paced at its own rate
    Outcome r = flowrun(roundTrip(dir, "a.wav", " --realtime"), "", 1000);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("stopped by SIGINT: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" frames kept, every result is complete\n"), std::string::npos) << r.err;
    std::vector<std::string> files = dir.files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"a.wav", "b.wav"}));  // no hidden part left
    const Wav kept = readWav(dir / "b.wav");  // a valid file: the header matches the data
    EXPECT_EQ(kept.rate, 16000);
    EXPECT_GT(kept.frames(), 0);
    EXPECT_LT(kept.frames(), 16000 * 20);
}

TEST(Flowrun, ListsEveryNodeTypeWithItsPortsAndParameters) {
    Outcome r = flowrun("--list");
    ASSERT_EQ(r.status, 0) << r.err;
    // The same modules in this process: every type, in registration order, one block each.
    FD::loadModule(std::string(FLOW_MODULE_DIR) + "/libzelkbp.so");
    FD::loadModule(std::string(FLOW_MODULE_DIR) + "/libflownodes.so");
    size_t block = 0, types = 0;  // where the next type's block starts
    for (const std::string& type : FD::Node::factoryNames()) {
        if (type.compare(0, 4, "Test") == 0) continue;  // the other tests' own node types
        ++types;
        const FD::NodeInfo* info = FD::nodeInfo(type);
        ASSERT_NE(info, nullptr) << type;
        ASSERT_EQ(r.out.find(type + "\n  " + info->help + "\n", block), block) << type;
        const size_t end = r.out.find("\n\n", block);
        for (const FD::ParamInfo& p : info->params)
            EXPECT_LT(
                r.out.find(
                    p.name + std::string(std::max<size_t>(1, 33 - std::min<size_t>(33, p.name.size())), ' ') +
                        p.type,
                    block),
                end)
                << p.name;
        block = end + 2;
    }
    EXPECT_EQ(block, r.out.size());
    EXPECT_EQ(types, 17u);  // the host's seven and the plug-in's ten
}

TEST(Flowrun, AModuleThatCannotBeLoadedIsOneLine) {
    TempDir dir;
    std::ofstream(dir / "libzelkbp.so") << "not a shared library";
    Outcome r = flowrun("--list", "ZELKBP_MODULE_DIR=" + dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines(), 1u) << r.err;
    EXPECT_EQ(r.err.find("flowrun: "), 0u) << r.err;
    EXPECT_NE(r.err.find(dir / "libzelkbp.so"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// Small inputs that asked for gigabytes: LENGTH=262144 took 6.8 GB on a 2-s recording,
// CLUSTERING_DURATION=10000 4.2 GB, BLOCK_SECONDS=1000 2.7 GB, and a 20,000-character
// misspelt name 3.1 GB for its "did you mean". Each is refused at load, naming the
// parameter and the memory it would need; ZELKBP_MEMORY_BUDGET moves the limit.
TEST(Flowrun, MemoryBombsAreRefusedAtLoadNamingTheParameter) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(2 * 3200, 9));
    const std::string in = " INPUT=" + (dir / "in.wav");
    const std::string tracked = " LOCALIZED=" + (dir / "l.jsonl") + " TRACKS=" + (dir / "s.jsonl") + " TRACKED=";
    const struct {
        std::string args, expected;
    } cases[] = {
        {"roundtrip.n OUTPUT=" + (dir / "o.wav") + " LENGTH=262144", "LENGTH of node stft asks for 1640 overlapping"},
        {"localize.n" + tracked + (dir / "t.jsonl") + " CLUSTERING_DURATION=10000",
         "CLUSTERING_DURATION of node tracker asks for a window of 1000000 frames, about 3907 MiB"},
        {"separate.n OUTPUT=" + (dir / "o.wav") + " BLOCK_SECONDS=1000",
         "SEPARATION_TIME_LENGTH of node separation asks for blocks of 100000 frames"},
    };
    for (const auto& c : cases) {
        const Outcome run = flowrun(network(c.args.substr(0, c.args.find(' '))) + c.args.substr(c.args.find(' ')) + in);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("more than the memory budget of 1024 MiB"), std::string::npos) << run.err;
    }
    auto withBudget = [&](const std::string& option, const std::string& mib) {
        return flowrun(network("localize.n") + tracked + (dir / "t.jsonl") +
                           " CLUSTERING_DURATION=300 --quiet" + option + in,
                       "ZELKBP_MEMORY_BUDGET=" + mib);
    };
    const Outcome raised = withBudget("", "2048");
    EXPECT_EQ(raised.status, 0) << raised.err;
    const Outcome raisedByOption = withBudget(" --memory-budget=2048", "");
    EXPECT_EQ(raisedByOption.status, 0) << raisedByOption.err;
    const Outcome refused = withBudget(" --memory-budget 64", "2048");  // the option comes first
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_NE(
        refused.err.find("about 118 MiB, more than the memory budget of 64 MiB (flowrun --memory-budget"),
        std::string::npos)
        << refused.err;

    // Echoed cut and escaped: 20,000 characters and an escape sequence.
    const Outcome longName = flowrun(network("roundtrip.n") + " OUTPUT=" + (dir / "o.wav") + " '" +
                                     std::string(20000, 'Q') + "\033[2J=1'" + in);
    EXPECT_NE(longName.status, 0);
    EXPECT_EQ(longName.errLines(), 1u) << longName.err.substr(0, 300);
    EXPECT_LT(longName.err.size(), 400u);
    EXPECT_NE(longName.err.find(std::string(80, 'Q') + "... (20004 bytes)"), std::string::npos)
        << longName.err.substr(0, 300);
    const Outcome escape = flowrun(network("roundtrip.n") + " OUTPUT=" + (dir / "o.wav") + " 'A\033[2J=1'" + in);
    EXPECT_EQ(escape.status, 2);
    EXPECT_NE(escape.err.find("unknown argument A\\x1b[2J"), std::string::npos) << escape.err;
}

// An argument the network does not declare is a wrong command line (it was status 1 with
// the load errors): one line naming what the network takes, nothing run.
TEST(Flowrun, AnUndeclaredArgumentIsStatus2) {
    TempDir dir;
    const struct {
        std::string args, line;
    } cases[] = {
        {" FOO=1",
         "unknown argument FOO; the network takes INPUT, INPUT_CHANNELS, OUTPUT, LENGTH, ADVANCE, "
         "SAMPLING_RATE\n"},
        {" LENGHT=256", "unknown argument LENGHT (did you mean LENGTH?); the network takes "},
    };
    for (const auto& c : cases) {
        const Outcome r = flowrun(kRoundTrip + " OUTPUT=" + (dir / "b.wav") + c.args);  // INPUT missing too
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.errLines(), 1u) << r.err;
        EXPECT_EQ(r.err.find("flowrun: " + kRoundTrip + ": " + c.line), 0u) << r.err;
    }
    EXPECT_EQ(dir.files(), std::vector<std::string>{});
}

// --list, --version and --help to an output that cannot take them: a reader that went
// away killed the runner silently, a full device gave status 0.
TEST(Flowrun, AnUnwritableStandardOutputIsOneLineAndStatus1) {
    TempDir dir;
    const bool full = geteuid() == 0 && mknod((dir / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0;
    for (const auto& [option, what] :
         {std::pair{"--list", "list"}, {"--version", "versions"}, {"--help", "usage"}}) {
        int closed[2];
        ASSERT_EQ(pipe(closed), 0);
        close(closed[0]);  // no reader
        const Outcome gone = direct(dir, {option}, closed[1]);
        close(closed[1]);
        EXPECT_EQ(gone.status, 1) << option;
        EXPECT_EQ(gone.err, std::string("flowrun: cannot write the ") + what + ": Broken pipe\n") << option;
        if (!full) continue;  // a device node needs root
        const int device = open((dir / "full").c_str(), O_WRONLY);
        const Outcome noSpace = direct(dir, {option}, device);
        close(device);
        EXPECT_EQ(noSpace.status, 1) << option;
        EXPECT_EQ(noSpace.err,
                  std::string("flowrun: cannot write the ") + what + ": No space left on device\n")
            << option;
    }
}

// --snapshot is checked before anything runs: pictures need a display (without one the
// run ended with status 0 and none), and its folder is made first, with its parents.
TEST(Flowrun, SnapshotNeedsADisplayAndAFolderBeforeTheRun) {
    TempDir dir;
    std::ofstream(dir / "file") << "x";
    const std::string run = roundTrip(dir, "a.wav") + " --snapshot ";
    const struct {
        std::string environment, args, line;
    } cases[] = {
        {"-u DISPLAY", run + (dir / "p"), "--snapshot needs a display (DISPLAY is not set)"},
        {"DISPLAY=", run + (dir / "p"), "--snapshot needs a display (DISPLAY is not set)"},
        // Before the network is read: it does not exist.
        {"DISPLAY=:97", (dir / "none.n") + " --snapshot " + (dir / "file/p"),
         "cannot create the snapshot folder " + (dir / "file/p") + ": Not a directory"},
    };
    for (const auto& c : cases) {
        const Outcome r = flowrun(c.args, c.environment);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.errLines(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    }
    EXPECT_EQ(dir.files(), std::vector<std::string>{"file"});
    // Made up front: there even when the network then fails to load (no a.wav).
    EXPECT_EQ(flowrun(run + (dir / "p/q/r"), "DISPLAY=:97").status, 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "p/q/r"));
}

// A frame that asks for more memory than the machine gives: one line saying so and
// where, instead of a bare "std::bad_alloc". LENGTH=65536 is within the budget
// (about 430 MiB of overlapping frames) but not within a 300 MiB address space.
TEST(Flowrun, RunningOutOfMemoryIsOneLineNamingTheNodeAndFrame) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer runtime needs an unlimited address space";
    TempDir dir;
    writeWav(dir / "a.wav", 16000, 2, noise(2 * 16000, 4));
    const Outcome r =
        direct(dir, {kRoundTrip, "INPUT=" + (dir / "a.wav"), "OUTPUT=" + (dir / "b.wav"), "LENGTH=65536"}, -1,
               "", rlim_t(300) << 20);
    EXPECT_EQ(r.status, 1);
    // The node that asked and its own frame (the source reads ahead of the sink).
    EXPECT_EQ(r.err.find("flowrun: " + kRoundTrip + ": node audio: frame "), 0u) << r.err;
    EXPECT_NE(r.err.find(": out of memory (the machine could not provide the memory asked for)\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.errLines(), 1u) << r.err;
    EXPECT_EQ(dir.files(), std::vector<std::string>{"a.wav"});
}

// A network piped into standard input, named /dev/stdin: read once (it was read twice,
// the second time empty).
TEST(Flowrun, ANetworkReadFromStandardInput) {
    TempDir dir;
    const std::vector<short> s = noise(2 * 4000, 8);
    writeWav(dir / "a.wav", 16000, 2, s);
    const Outcome r =
        direct(dir, {"/dev/stdin", "INPUT=" + (dir / "a.wav"), "OUTPUT=" + (dir / "b.wav"), "--quiet"}, -1,
               slurp(kRoundTrip));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readWav(dir / "b.wav").samples == s);
}

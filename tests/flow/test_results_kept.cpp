// What a run leaves behind when it fails, is stopped or is given careless output
// names: every result complete under its final name or not replaced at all, never
// a hidden part file, never an input or a second output overwritten.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/Files.h"
#include "tests/support/Spawn.h"

using namespace FD::testing;

namespace {

const std::string kNetworks = NETWORKS_DIR;
const std::string kEarlier = "an earlier result\n";

// flowrun ARGS in `dir`, standard error kept; `signals` are (milliseconds, signal)
// sent while it runs; `shell` runs before it (e.g. "ulimit -f 64").
Outcome run(const TempDir& dir, const std::vector<std::string>& args,
        const std::vector<std::pair<int, int>>& signals = {}, const std::string& shell = "") {
    std::vector<std::string> argv{FLOWRUN};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!shell.empty()) {
        std::string line = shell + "; exec";
        for (const std::string& a : argv) line += " '" + a + "'";
        argv = {"/bin/sh", "-c", line};
    }
    Child child(argv, false, true, dir / "stderr");
    std::thread signaller([&] {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& [ms, sig] : signals) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
            kill(child.pid(), sig);
        }
    });
    Outcome r;
    r.out = child.readAll();
    r.status = child.wait();
    signaller.join();
    r.err = slurp(dir / "stderr");
    return r;
}

// Hidden names in `dir` (part files of outputs), none expected.
std::vector<std::string> hidden(const TempDir& dir) {
    std::vector<std::string> found;
    for (const std::string& f : dir.files())
        if (f[0] == '.') found.push_back(f);
    return found;
}

void put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

size_t lines(const std::string& s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

std::vector<std::string> localize(const TempDir& dir, const std::string& input) {
    return {kNetworks + "/localize.n", "INPUT=" + input, "LOCALIZED=" + (dir / "l.jsonl"),
            "TRACKED=" + (dir / "t.jsonl"), "TRACKS=" + (dir / "k.jsonl"), "--quiet"};
}

}  // namespace

// Three outputs; the file size limit lets the first two be written whole and stops
// the last one in its final flush, after the others are complete.
TEST(KeptResults, AFailedRunReplacesNoEarlierResult) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(2 * 16000 * 2, 3));
    ASSERT_EQ(run(dir, localize(dir, dir / "in.wav")).status, 0);
    const size_t sizes[] = {slurp(dir / "l.jsonl").size(), slurp(dir / "t.jsonl").size(),
                            slurp(dir / "k.jsonl").size()};
    const size_t largest = *std::max_element(std::begin(sizes), std::end(sizes));
    const size_t limit = (largest - 1) / 512;  // in the shell's blocks of 512 bytes
    for (size_t s : sizes) ASSERT_TRUE(s == largest || s <= limit * 512) << "the sizes do not suit the case";
    for (const char* f : {"l.jsonl", "t.jsonl", "k.jsonl"}) put(dir / f, kEarlier);

    Outcome r = run(dir, localize(dir, dir / "in.wav"), {}, "ulimit -f " + std::to_string(limit));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    for (const char* f : {"l.jsonl", "t.jsonl", "k.jsonl"}) EXPECT_TRUE(slurp(dir / f) == kEarlier) << f;
    EXPECT_EQ(hidden(dir), std::vector<std::string>());
}

// Every signal that asks a process to end stops the stream at a frame boundary with
// every result complete; one that means a crash removes the part files.
TEST(KeptResults, EverySignalLeavesCompleteResultsOrNothingAndNoHiddenFile) {
    const struct {
        int signal;
        const char* name;
        bool complete;  // results kept, else earlier ones untouched
    } cases[] = {{SIGHUP, "SIGHUP", true},   {SIGQUIT, "SIGQUIT", true},  {SIGALRM, "SIGALRM", true},
                 {SIGUSR1, "SIGUSR1", true}, {SIGUSR2, "SIGUSR2", true},  {SIGSEGV, "", false},
                 {SIGABRT, "", false},       {SIGBUS, "", false}};
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(3 * 16000 * 2, 5));
    std::vector<std::string> args = localize(dir, dir / "in.wav");
    args.push_back("--realtime");
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        for (const char* f : {"l.jsonl", "t.jsonl", "k.jsonl"}) put(dir / f, kEarlier);
        Outcome r = run(dir, args, {{400, c.signal}}, "ulimit -c 0");  // no core file
        EXPECT_EQ(hidden(dir), std::vector<std::string>());
        if (c.complete) {
            EXPECT_EQ(r.status, 128 + c.signal);
            const size_t said = r.err.find(std::string("stopped by ") + c.name + ": ");
            ASSERT_NE(said, std::string::npos) << r.err;
            const size_t kept = size_t(std::atoi(r.err.c_str() + r.err.find(": ", said) + 2));
            EXPECT_GT(kept, 10u);
            EXPECT_LT(kept, 200u);
            const std::string l = slurp(dir / "l.jsonl");
            EXPECT_EQ(lines(l), kept);
            EXPECT_EQ(l.substr(l.size() - 3), "]}\n");
        } else {
            EXPECT_NE(r.status, 0);
            for (const char* f : {"l.jsonl", "t.jsonl", "k.jsonl"}) EXPECT_TRUE(slurp(dir / f) == kEarlier) << f;
        }
    }
}

// An interrupt before the first frame (the input, a FIFO, has no producer yet) runs
// nothing and writes nothing; a second interrupt while an output blocks (its FIFO's
// reader stopped reading) ends the run at once, leaving the earlier results.
TEST(KeptResults, InterruptsWhileLoadingOrTwiceReplaceNothing) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "in.fifo").c_str(), 0600), 0);
    // The writer comes before the source, so its output is open while the source waits.
    put(dir / "net.n", R"(<?xml version="1.0"?>
<document><network name="MAIN">
  <arg name="INPUT" type="string"/><arg name="OUTPUT" type="string"/>
  <node name="out" type="AudioFileSink"><param name="FILE" type="string" arg="OUTPUT"/>
    <param name="LENGTH" type="int" value="512"/><param name="ADVANCE" type="int" value="160"/>
    <param name="SAMPLING_RATE" type="int" value="16000"/></node>
  <node name="in" type="AudioFileSource"><param name="FILE" type="string" arg="INPUT"/>
    <param name="LENGTH" type="int" value="512"/><param name="ADVANCE" type="int" value="160"/>
    <param name="SAMPLING_RATE" type="int" value="16000"/></node>
  <link from="in" output="AUDIO" to="out" input="AUDIO"/>
</network></document>)");
    put(dir / "out.wav", kEarlier);
    Outcome loading = run(dir, {dir / "net.n", "INPUT=" + (dir / "in.fifo"), "OUTPUT=" + (dir / "out.wav")},
                      {{300, SIGINT}});
    EXPECT_EQ(loading.status, 130) << loading.err;
    EXPECT_NE(loading.err.find("stopped by SIGINT"), std::string::npos) << loading.err;
    EXPECT_EQ(slurp(dir / "out.wav"), kEarlier);
    EXPECT_EQ(hidden(dir), std::vector<std::string>());

    // LOCALIZED into a FIFO nobody reads: the run blocks on it; TRACKS is a file.
    writeWav(dir / "in.wav", 16000, 2, noise(20 * 16000 * 2, 7));
    ASSERT_EQ(mkfifo((dir / "l.fifo").c_str(), 0600), 0);
    const int reader = open((dir / "l.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::vector<std::string> args = localize(dir, dir / "in.wav");
    args[2] = "LOCALIZED=" + (dir / "l.fifo");
    for (const char* f : {"t.jsonl", "k.jsonl"}) put(dir / f, kEarlier);
    Outcome twice = run(dir, args, {{500, SIGINT}, {900, SIGINT}});
    close(reader);
    EXPECT_EQ(twice.status, 130);
    for (const char* f : {"t.jsonl", "k.jsonl"}) EXPECT_EQ(slurp(dir / f), kEarlier) << f;
    EXPECT_EQ(hidden(dir), std::vector<std::string>());
}

// `flowrun separate.n ... | head -1`: the separation's progress text meets a closed
// pipe; the run goes on and writes its results.
TEST(KeptResults, ProgressTextIntoAClosedPipeDoesNotEndTheRun) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(4 * 16000 * 2, 9));
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);  // the reader went away before the first line
    const std::string command = std::string("exec ") + FLOWRUN + " " + kNetworks +
                                "/separate.n INPUT=in.wav OUTPUT=out.wav DIRECTIONS=d.jsonl BLOCK_SECONDS=1 "
                                "MAX_ITERATION=3 --quiet 1>&" +
                                std::to_string(ends[1]);
    Child child({"/bin/sh", "-c", "cd '" + dir.path() + "' && " + command}, false, false, dir / "stderr");
    close(ends[1]);
    EXPECT_EQ(child.wait(), 0) << slurp(dir / "stderr");
    EXPECT_EQ(readWav(dir / "out.wav").frames(), 4 * 16000);
    EXPECT_GT(lines(slurp(dir / "d.jsonl")), 300u);
}

// Output names that would lose data are refused before anything is written.
TEST(OutputNames, ClashesWithAnotherOutputOrAnInputAreRefused) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(16000 * 2, 11));
    const std::string input = slurp(dir / "in.wav");
    ASSERT_EQ(link((dir / "in.wav").c_str(), (dir / "hard.wav").c_str()), 0);
    ASSERT_EQ(symlink("in.wav", (dir / "soft.wav").c_str()), 0);
    put(dir / "net.n", slurp(kNetworks + "/roundtrip.n"));
    put(dir / "x.jsonl", kEarlier);
    const std::string rt = dir / "net.n", in = "INPUT=" + (dir / "in.wav");
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {"two outputs, one file", {kNetworks + "/localize.n", in, "LOCALIZED=" + (dir / "x.jsonl"),
                                   "TRACKED=" + (dir / "t.jsonl"), "TRACKS=" + dir.path() + "/./x.jsonl"},
         "x.jsonl"},
        {"output is the input", {rt, in, "OUTPUT=" + (dir / "in.wav")}, "in.wav"},
        {"output is a hard link of the input", {rt, in, "OUTPUT=" + (dir / "hard.wav")}, "hard.wav"},
        {"output is a link to the input", {rt, in, "OUTPUT=" + (dir / "soft.wav")}, "soft.wav"},
        {"output is the network file", {rt, in, "OUTPUT=" + rt}, "net.n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.args;
        args.push_back("--quiet");
        Outcome r = run(dir, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(slurp(dir / "in.wav"), input);
        EXPECT_TRUE(slurp(dir / "x.jsonl") == kEarlier);
        EXPECT_EQ(slurp(rt), slurp(kNetworks + "/roundtrip.n"));
        EXPECT_EQ(hidden(dir), std::vector<std::string>());
    }
}

// A rerun keeps the mode the user gave a result; the longest legal names work.
TEST(OutputNames, ModesAreKeptAndNamesUpToTheLimitWork) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(16000 * 2, 13));
    const std::string rt = kNetworks + "/roundtrip.n", in = "INPUT=" + (dir / "in.wav");
    ASSERT_EQ(run(dir, {rt, in, "OUTPUT=" + (dir / "out.wav"), "--quiet"}).status, 0);
    ASSERT_EQ(chmod((dir / "out.wav").c_str(), 0600), 0);
    ASSERT_EQ(run(dir, {rt, in, "OUTPUT=" + (dir / "out.wav"), "--quiet"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "out.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    for (size_t length : {244u, 250u, 255u}) {
        const std::string name = std::string(length - 4, 'n') + ".wav";
        Outcome r = run(dir, {rt, in, "OUTPUT=" + (dir / name), "--quiet"});
        EXPECT_EQ(r.status, 0) << length << ": " << r.err;
        EXPECT_EQ(readWav(dir / name).frames(), 16000) << length;
    }
    EXPECT_EQ(hidden(dir), std::vector<std::string>());
}

// A run killed outright (SIGKILL) cannot remove its part file: the next run writing
// that output does, unless a live run holds it.
TEST(OutputNames, PartsOfKilledRunsGoWithTheNextRunAndLiveOnesStay) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(16000 * 2, 17));
    put(dir / ".out.wav.partAbC123", "abandoned");
    put(dir / ".out.wav.partLive00", "a run still writing");
    const int live = open((dir / ".out.wav.partLive00").c_str(), O_RDONLY);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    put(dir / ".other.wav.partAbC123", "another output's");
    Outcome r = run(dir, {kNetworks + "/roundtrip.n", "INPUT=" + (dir / "in.wav"), "OUTPUT=" + (dir / "out.wav"),
                          "--quiet"});
    close(live);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(hidden(dir), (std::vector<std::string>{".other.wav.partAbC123", ".out.wav.partLive00"}));
}

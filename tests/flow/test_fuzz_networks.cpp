// The example networks, mutated: cut short, lines deleted or repeated, types and values
// changed. Each mutant runs in a child under CPU, memory and wall-clock limits. Whatever
// it does, flowrun ends by itself with status 0, 1 or 2 (never a signal), leaves no hidden
// file, and leaves the earlier results in place unless it succeeded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/Files.h"

using FD::testing::network;
using FD::testing::noise;
using FD::testing::slurp;
using FD::testing::TempDir;
using FD::testing::writeWav;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the shadow memory needs an unlimited address space
#else
constexpr bool kSanitized = false;
#endif

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    bool hung = false;
    std::string err;
};

// flowrun with `args`, in `dir`, under limits: 20 s of CPU, 30 s of wall clock, 3 GiB.
Outcome limitedRun(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string errPath = dir / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        rlimit cpu{20, 20}, core{0, 0}, memory{3UL << 30, 3UL << 30};
        setrlimit(RLIMIT_CPU, &cpu);
        setrlimit(RLIMIT_CORE, &core);
        if (!kSanitized) setrlimit(RLIMIT_AS, &memory);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0), dup2(null, 1), dup2(err, 2);
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        std::vector<char*> argv{const_cast<char*>(FLOWRUN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(FLOWRUN, argv.data());
        _exit(127);
    }
    Outcome run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            run.hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    run.err = slurp(errPath);
    unlink(errPath.c_str());
    return run;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// One mutation of `text`, chosen and placed by `rng`.
std::string mutate(const std::string& text, std::mt19937& rng, std::string& what) {
    std::vector<std::string> lines = linesOf(text);
    auto pick = [&](size_t n) { return size_t(rng() % n); };
    const size_t at = pick(lines.size());
    switch (rng() % 5) {
        case 0: {
            const size_t cut = pick(text.size());
            what = "cut at byte " + std::to_string(cut);
            return text.substr(0, cut);
        }
        case 1:
            what = "line " + std::to_string(at + 1) + " deleted";
            lines.erase(lines.begin() + long(at));
            break;
        case 2:
            what = "line " + std::to_string(at + 1) + " repeated";
            lines.insert(lines.begin() + long(at), lines[at]);
            break;
        case 3: {
            static const char* types[] = {"type=\"int\"", "type=\"float\"", "type=\"string\"", "type=\"bool\""};
            for (size_t k = 0; k < lines.size(); ++k) {
                std::string& l = lines[(at + k) % lines.size()];
                for (const char* t : types)
                    if (size_t p = l.find(t); p != std::string::npos) {
                        const char* other = types[rng() % 4];
                        l.replace(p, std::strlen(t), other);
                        what = "line " + std::to_string((at + k) % lines.size() + 1) + ": " + other;
                        return joined(lines);
                    }
            }
            break;
        }
        default: {
            static const char* values[] = {"0", "-1", "1", "7", "99999", "-0.5", "1e9", "x", "", "USE"};
            for (size_t k = 0; k < lines.size(); ++k) {
                std::string& l = lines[(at + k) % lines.size()];
                for (const char* key : {"default=\"", "value=\""})
                    if (size_t p = l.find(key); p != std::string::npos) {
                        p += std::strlen(key);
                        const std::string v = values[rng() % 10];
                        l.replace(p, l.find('"', p) - p, v);
                        what = "line " + std::to_string((at + k) % lines.size() + 1) + ": value " + v;
                        return joined(lines);
                    }
            }
            break;
        }
    }
    return joined(lines);
}

}  // namespace

TEST(FuzzNetworks, MutantsEndCleanlyAndKeepEarlierResults) {
    TempDir dir;
    writeWav(dir / "in.wav", 16000, 2, noise(2 * 6400, 5));  // 0.4 s
    const struct {
        const char* file;
        std::vector<std::string> args, outputs;
    } networks[] = {
        {"roundtrip.n", {"OUTPUT=out.wav"}, {"out.wav"}},
        {"localize.n", {"LOCALIZED=a.jsonl", "TRACKED=b.jsonl", "TRACKS=c.jsonl"}, {"a.jsonl", "b.jsonl", "c.jsonl"}},
        {"enhance.n", {"OUTPUT=out.wav"}, {"out.wav"}},
        {"vad.n", {"OUTPUT=out.txt"}, {"out.txt"}},
        {"separate.n", {"OUTPUT=out.wav", "MAX_ITERATION=3", "BLOCK_SECONDS=0.2"}, {"out.wav"}},
    };
    std::mt19937 rng(20261206);
    int succeeded = 0, refused = 0;
    for (const auto& n : networks) {
        const std::string original = slurp(network(n.file));
        ASSERT_FALSE(original.empty()) << n.file;
        for (int m = 0; m < 10; ++m) {
            std::string what;
            std::ofstream(dir / "net.n", std::ios::binary) << mutate(original, rng, what);
            for (const std::string& o : n.outputs) std::ofstream(dir / o) << "earlier result";
            std::vector<std::string> args{"--quiet", "net.n", "INPUT=in.wav"};
            args.insert(args.end(), n.args.begin(), n.args.end());
            const Outcome run = limitedRun(dir, args);
            const std::string mutant = std::string(n.file) + ", " + what + ": " + run.err;
            EXPECT_FALSE(run.hung) << mutant;
            (run.status == 0 ? succeeded : refused) += 1;
            EXPECT_TRUE(run.status == 0 || run.status == 1 || run.status == 2) << run.status << " " << mutant;
            for (const std::string& f : dir.files()) EXPECT_NE(f[0], '.') << f << " left by " << mutant;
            if (run.status != 0)
                for (const std::string& o : n.outputs) EXPECT_EQ(slurp(dir / o), "earlier result") << o << " " << mutant;
            for (const std::string& f : dir.files())
                if (f != "in.wav") unlink((dir / f).c_str());
        }
    }
    // The mutations reach both ends: some mutants still run, most are refused.
    EXPECT_GT(succeeded, 3);
    EXPECT_GT(refused, 10);
    std::printf("%d mutants ran, %d were refused\n", succeeded, refused);
}

// flowrun: loads the plug-in and the host's node module, builds a network from
// its file and pulls its outputs frame by frame until the source's stream ends.
//
//   flowrun NETWORK.n [NAME=VALUE ...] [--quiet] [--realtime] [--duration S] [--hold] [--snapshot DIR]
//           [--memory-budget MIB]
//   flowrun --list | --version | --help
//
// Exit status: 0 when the stream ended (end of the input, --duration), 1 when
// loading or running fails (running out of memory included) or standard output
// cannot be written, 2 for a wrong command line (an argument the network does not
// declare included), 128 + N when signal N ended the run (every result is still
// complete; Signals.h). Every error is printed as one line. The outputs take their
// names together once all are complete.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "flow/Catalogue.h"
#include "flow/Gui.h"
#include "flow/Module.h"
#include "flow/NetworkFile.h"
#include "flow/Stream.h"
#include "flow/StreamDriver.h"
#include "flow/runner/Signals.h"

namespace {

const char* kProgram = "flowrun";
const char* kModuleDirVariable = "ZELKBP_MODULE_DIR";
const char* kMemoryBudgetVariable = "ZELKBP_MEMORY_BUDGET";  // read by FD::memoryBudget()

struct Options {
    std::string network;
    std::map<std::string, std::string> args;
    bool quiet = false, realtime = false, hold = false, list = false, help = false, version = false;
    std::string snapshotDir;
    std::string memoryBudget;  // MiB, as given
    double duration = -1;  // seconds of audio after which the run ends, -1: the whole stream
};

struct UsageError {
    std::string text;
};

// NAME=VALUE arguments the network does not declare: a wrong command line, told
// in one line each without the usage (the lines name what the network takes).
struct ArgumentError {
    std::vector<std::string> problems;
};

void usage(std::ostream& out) {
    out << "usage: " << kProgram
        << " NETWORK.n [NAME=VALUE ...] [--quiet] [--realtime] [--duration S] [--hold] [--snapshot DIR]\n"
        << "               [--memory-budget MIB]\n"
        << "       " << kProgram << " --list | --version | --help\n"
        << "  NAME=VALUE       sets an argument the network declares\n"
        << "  --quiet          no progress display and no summary\n"
        << "  --realtime       pace the frames at the stream's own rate, as a live input would come\n"
        << "  --duration S     end the run after S seconds of audio\n"
        << "  --hold           after the last frame, keep the windows open until closed\n"
        << "  --snapshot DIR   after the last frame, save each window as DIR/<title>.png (needs a display)\n"
        << "  --memory-budget MIB\n"
        << "                   the most memory one node may ask for, in MiB (default $"
        << kMemoryBudgetVariable << " or 1024)\n"
        << "  --list           list every node type with its inputs, outputs and parameters\n"
        << "  --version        print the versions of the loaded modules\n"
        << "  --help           print this usage\n"
        << "Modules are loaded from the program's directory, or from $" << kModuleDirVariable << ".\n";
}

// "--name VALUE" or "--name=VALUE".
bool isOption(const std::string& a, const std::string& name) {
    return a == name || a.compare(0, name.size() + 1, name + "=") == 0;
}

std::string optionValue(const std::string& a, const std::string& name, const std::string& what, int argc,
                        char** argv, int& i) {
    if (a != name) return a.substr(name.size() + 1);
    if (i + 1 >= argc) throw UsageError{name + " needs " + what};
    return argv[++i];
}

// The number `text` gives, if positive and below `limit`; else a usage error.
double positiveNumber(const std::string& text, double limit, const std::string& need) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end || !(v > 0) || !(v < limit))
        throw UsageError{need + ", got \"" + FD::shownText(text) + "\""};
    return v;
}

Options parseCommandLine(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a == "--realtime") {
            o.realtime = true;
        } else if (a == "--hold") {
            o.hold = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (isOption(a, "--duration")) {
            const std::string v = optionValue(a, "--duration", "a number of seconds", argc, argv, i);
            o.duration = positiveNumber(v, 1e9, "--duration needs a positive number of seconds");
        } else if (isOption(a, "--memory-budget")) {
            const std::string v = optionValue(a, "--memory-budget", "a number of MiB", argc, argv, i);
            positiveNumber(v, 1e12, "--memory-budget needs a positive number of MiB");
            o.memoryBudget = v;
        } else if (a == "--snapshot" || a == "--snapshots") {
            if (i + 1 >= argc) throw UsageError{a + " needs a directory"};
            o.snapshotDir = argv[++i];
        } else if (a.compare(0, 11, "--snapshot=") == 0 || a.compare(0, 12, "--snapshots=") == 0) {
            o.snapshotDir = a.substr(a.find('=') + 1);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"unknown option " + FD::shownText(a)};
        } else if (o.network.empty() && a.find('=') == std::string::npos) {
            o.network = a;
        } else {
            size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0)
                throw UsageError{"expected NAME=VALUE, got \"" + FD::shownText(a) + "\""};
            std::string name = a.substr(0, eq);
            if (o.args.count(name)) throw UsageError{"argument " + FD::shownText(name) + " is given twice"};
            o.args[name] = a.substr(eq + 1);
        }
    }
    if (!o.list && !o.help && !o.version && o.network.empty()) throw UsageError{"no network file given"};
    return o;
}

// What --snapshot needs before anything is loaded: a display to draw the windows on,
// and its folder, made now with its parents so that a bad name fails the run before
// it starts instead of losing the pictures at its end.
void prepareSnapshots(const std::string& dir) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        throw new FD::GeneralException(
            "--snapshot needs a display (DISPLAY is not set): no window can be drawn; run under a virtual "
            "display such as Xvfb");
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error && !std::filesystem::is_directory(dir, error))
        error = std::make_error_code(std::errc::not_a_directory);
    if (error)
        throw new FD::GeneralException("cannot create the snapshot folder " + dir + ": " + error.message());
}

// Standard output flushed: 0, or 1 after one line saying why `what` could not be
// written (a full device, a reader that went away).
int finishOutput(const char* what) {
    errno = 0;
    std::cout.flush();
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout.good()) return 0;
    const int error = errno;
    std::fprintf(stderr, "%s: cannot write the %s: %s\n", kProgram, what,
                 error ? std::strerror(error) : "write error");
    return 1;
}

// BLAS runs on the calling thread unless the user asks for more: its worker
// threads would only spin beside a frame-by-frame stream. Set before the plug-in
// (and with it the BLAS library) is loaded, as BLAS reads it when it starts.
void keepBlasSingleThreaded() {
    for (const char* name : {"OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"})
        if (std::getenv(name)) return;
    setenv("OPENBLAS_NUM_THREADS", "1", 0);
}

void loadModules() {
    keepBlasSingleThreaded();
    FD::loadModule(FD::modulePath("libzelkbp.so", kModuleDirVariable));
    FD::loadModule(FD::modulePath("libflownodes.so", kModuleDirVariable));
}

void printPorts(const char* title, const std::vector<FD::PortInfo>& ports) {
    std::printf("  %-12s", title);
    if (ports.empty()) std::printf("none\n");
    for (size_t i = 0; i < ports.size(); ++i)
        std::printf("%s%-32s %s%s\n", i ? "              " : "", ports[i].name.c_str(), ports[i].help.c_str(),
                    ports[i].kind.empty() ? "" : (" [" + ports[i].kind + "]").c_str());
}

void listNodes() {
    for (const std::string& type : FD::Node::factoryNames()) {
        std::printf("%s\n", type.c_str());
        const FD::NodeInfo* info = FD::nodeInfo(type);
        if (!info) {
            std::printf("  (no description of its ports and parameters)\n\n");
            continue;
        }
        std::printf("  %s\n", info->help.c_str());
        printPorts("inputs:", info->inputs);
        printPorts("outputs:", info->outputs);
        std::printf("  %-12s", "parameters:");
        if (info->params.empty()) std::printf("none\n");
        for (size_t i = 0; i < info->params.size(); ++i) {
            const FD::ParamInfo& p = info->params[i];
            std::printf("%s%-32s %-7s %s%s\n", i ? "              " : "", p.name.c_str(), p.type.c_str(),
                        p.optional ? "(optional) " : "", p.help.c_str());
        }
        std::printf("\n");
    }
}

std::string seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), s < 10 ? "%.2f" : "%.1f", s);
    return buf;
}

// The progress line and the summary.
class Progress {
public:
    Progress(const FD::StreamDriver& driver, bool show) : driver_(driver), show_(show) {
        start_ = last_ = std::chrono::steady_clock::now();
    }
    double audioSeconds(int done) const {
        const FD::SampleStream* stream = driver_.clock();
        if (!stream) return -1;
        long long samples = std::min<long long>(1LL * done * stream->frameAdvance(), stream->sampleCount());
        return double(samples) / stream->sampleRate();
    }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    std::string text(int done) const {
        const int frames = driver_.frames();
        std::string t = std::to_string(done) +
                        (done == frames || frames < 0 || !show_ ? "" : "/" + std::to_string(frames)) +
                        " frames";
        double audio = audioSeconds(done), wall = elapsed();
        if (audio >= 0) {
            t += ", " + seconds(audio) + " s of audio";
            if (wall > 0 && done > 0) {
                char buf[32];
                std::snprintf(buf, sizeof(buf), "%.0fx real time", audio / wall);
                t += std::string(show_ ? ", " : " in " + seconds(wall) + " s (") + buf + (show_ ? "" : ")");
            }
        } else {
            t += " in " + seconds(wall) + " s";
        }
        if (driver_.live()) {
            long long overruns = driver_.overruns();
            if (overruns > 0)
                t += "; " + std::to_string(overruns) + " capture overrun" + (overruns == 1 ? "" : "s");
            if (late > 0)
                t += "; " + std::to_string(late) +
                     (late == 1 ? " frame took longer than its hop" : " frames took longer than their hop");
        }
        return t;
    }
    void update(int done) {
        if (!show_) return;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        std::fprintf(stderr, "\r%s: %s\033[K", kProgram, text(done).c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (show_) std::fprintf(stderr, "\r\033[K");
    }
    void summary(const std::string& network, int done) {
        show_ = false;
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, network.c_str(), text(done).c_str());
    }

    long long late = 0;  // live frames whose work took longer than their hop

private:
    const FD::StreamDriver& driver_;
    bool show_;
    std::chrono::steady_clock::time_point start_, last_;
};

void printVersions() {
    for (const FD::ModuleVersion& v : FD::Object::moduleVersions())
        std::printf("%s %s (revision %s)\n", v.name.c_str(), v.version.c_str(), v.revision.c_str());
}

// Whether the network may open windows: it names a type described as showing
// one, or a registered type not described at all. The toolkit is then prepared
// before any node is built.
bool mayOpenWindows(const FD::NetworkFile& file) {
    for (const std::string& type : file.nodeTypes()) {
        const FD::NodeInfo* info = FD::nodeInfo(type);
        if (FD::Node::getFactory(type) && (!info || info->window)) return true;
    }
    return false;
}

// Runs frames until the stream ends; a stop signal ends the stream at the next
// frame boundary, and the frames that hold samples read so far are finished. With
// --realtime, input frame k is taken no earlier than k frame shifts after the
// first, so a recording plays as a live input would. Live frames whose work took
// longer than their hop are counted.
void runFrames(FD::StreamDriver& driver, bool realtime, Progress& progress) {
    const FD::SampleStream* clock = driver.clock();
    if (realtime && !clock)
        std::fprintf(stderr,
                     "%s: --realtime: no audio source gives the frame rate; frames run at full speed\n",
                     kProgram);
    const FD::SampleStream* pace = realtime ? clock : nullptr;
    const double hop = clock ? double(clock->frameAdvance()) / clock->sampleRate() : 0;
    const auto begin = std::chrono::steady_clock::now();

    bool stopping = false;
    while (!driver.finished()) {
        if (FD::runner::stopSignal() && !stopping) {
            driver.endStream();
            stopping = true;
            continue;
        }
        if (pace) {
            std::chrono::duration<double> due(double(driver.nextInputFrame()) * hop);
            std::this_thread::sleep_until(begin + std::chrono::duration_cast<decltype(begin)::duration>(due));
        }
        const auto stepStart = std::chrono::steady_clock::now();
        const double waited = driver.secondsWaiting();
        try {
            driver.step();
        } catch (FD::BaseException* e) {
            // A node names the frame it was computing; else the error belongs to this one.
            if (e->frame() < 0) e->setFrame(driver.framesDone());
            progress.clear();
            throw;
        } catch (const std::bad_alloc&) {
            progress.clear();
            auto* error = new FD::GeneralException(FD::kOutOfMemory);
            error->setFrame(driver.framesDone());
            throw error;
        } catch (const std::exception& e) {
            progress.clear();
            auto* error = new FD::GeneralException(e.what());
            error->setFrame(driver.framesDone());
            throw error;
        }
        if (driver.live() && !stopping) {
            double busy = std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart).count() -
                          (driver.secondsWaiting() - waited);
            if (busy > hop) ++progress.late;
        }
        progress.update(driver.framesDone());
    }
    progress.clear();
}

// Whether frames ran: a stop signal before that ends the run with nothing written.
bool framesStarted = false;

int stoppedWhileLoading(const Options& o) {
    const int sig = FD::runner::stopSignal();
    std::fprintf(stderr, "%s: %s: stopped by %s while loading: nothing was run, no result written\n", kProgram,
                 o.network.c_str(), FD::runner::signalName(sig));
    return 128 + sig;
}

int run(const Options& o) {
    loadModules();
    if (o.list) {
        listNodes();
        return 0;
    }
    if (o.version) {
        printVersions();
        return 0;
    }
    const FD::NetworkFile file(o.network);
    if (std::vector<std::string> unknown = file.undeclaredArguments(o.args); !unknown.empty())
        throw ArgumentError{unknown};
    // The window toolkit is loaded before any node is built, and only when the
    // network may open windows or --hold or --snapshot asks for them.
    const bool windows = o.hold || !o.snapshotDir.empty() || mayOpenWindows(file);
    const bool drawing = windows && FD::gui::start(FD::modulePath(FD::gui::kModuleFile, kModuleDirVariable));
    if (!drawing && !o.snapshotDir.empty())  // the warning above says why
        throw new FD::GeneralException("--snapshot: no window can be drawn, so no picture would be saved; "
                                       "nothing was run");
    std::unique_ptr<FD::Network> net = file.build(o.args);
    FD::StreamDriver driver(*net);
    if (o.duration > 0) {
        const FD::SampleStream* clock = driver.clock();
        if (!clock) throw new FD::GeneralException("--duration: no audio source gives the stream's rate");
        driver.endStream(std::max(1LL, std::llround(o.duration * clock->sampleRate())));
    }
    if (FD::runner::stopSignal()) return stoppedWhileLoading(o);
    Progress progress(driver, !o.quiet && isatty(STDERR_FILENO));
    framesStarted = true;
    runFrames(driver, o.realtime, progress);

    const int count = driver.framesDone();
    FD::endStream(net->nodes(), count);
    if (windows) FD::gui::finish(o.hold, o.snapshotDir);
    if (!o.quiet) progress.summary(o.network, count);
    if (int sig = FD::runner::stopSignal()) {
        std::fprintf(stderr, "%s: %s: stopped by %s: %d frames kept, every result is complete\n", kProgram,
                     o.network.c_str(), FD::runner::signalName(sig), count);
        return 128 + sig;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // First thing, so that loading is covered too; SIGPIPE is ignored from here on, so
    // a closed standard output is a write error with a message, not a silent end.
    FD::runner::catchSignals();
    Options o;
    try {
        o = parseCommandLine(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << kProgram << ": " << e.text << "\n";
        usage(std::cerr);
        return 2;
    }
    if (o.help) {
        usage(std::cout);
        return finishOutput("usage");
    }
    if (!o.memoryBudget.empty()) setenv(kMemoryBudgetVariable, o.memoryBudget.c_str(), 1);
    const std::string where = o.network.empty() ? std::string() : o.network + ": ";
    // Loading that a stop signal broke off (an input waiting for its producer) is a
    // stop, not a failure.
    auto quiet = [] { return FD::runner::stopSignal() && !framesStarted; };
    try {
        if (!o.list && !o.version && !o.snapshotDir.empty()) prepareSnapshots(o.snapshotDir);
        const int status = run(o);
        if (status == 0 && (o.list || o.version)) return finishOutput(o.list ? "list" : "versions");
        return status;
    } catch (const ArgumentError& e) {
        for (const std::string& p : e.problems) std::cerr << kProgram << ": " << p << "\n";
        return 2;
    } catch (FD::LoadError* e) {
        if (!quiet())
            for (const std::string& p : e->problems()) std::cerr << kProgram << ": " << p << "\n";
        delete e;
    } catch (FD::BaseException* e) {
        if (!quiet()) std::cerr << kProgram << ": " << where << e->message() << "\n";
        delete e;
    } catch (const FD::BaseException& e) {  // thrown by value by mistake: still one line
        if (!quiet()) std::cerr << kProgram << ": " << where << e.message() << "\n";
    } catch (const std::bad_alloc&) {
        if (!quiet()) std::cerr << kProgram << ": " << where << FD::kOutOfMemory << "\n";
    } catch (const std::exception& e) {
        if (!quiet()) std::cerr << kProgram << ": " << where << e.what() << "\n";
    } catch (...) {
        if (!quiet()) std::cerr << kProgram << ": " << where << "unexpected error\n";
    }
    return quiet() ? stoppedWhileLoading(o) : 1;
}

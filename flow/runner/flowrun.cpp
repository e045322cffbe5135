// flowrun: loads the plug-in and the host's node module, builds a network from
// its file and pulls its outputs frame by frame until the source's stream ends.
//
//   flowrun NETWORK.n [NAME=VALUE ...] [--quiet] [--realtime] [--hold] [--snapshot DIR]
//   flowrun --list
//
// Exit status: 0 on success, 1 when loading or running fails, 2 for a wrong
// command line, 130 when interrupted. Every error is printed as one line.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

namespace {

const char* kProgram = "flowrun";
const char* kModuleDirVariable = "ZELKBP_MODULE_DIR";

volatile std::sig_atomic_t interrupted = 0;
void onSignal(int) { interrupted = 1; }

struct Options {
    std::string network;
    std::map<std::string, std::string> args;
    bool quiet = false, realtime = false, hold = false, list = false, help = false, version = false;
    std::string snapshotDir;
};

struct UsageError {
    std::string text;
};

void usage(std::ostream& out) {
    out << "usage: " << kProgram
        << " NETWORK.n [NAME=VALUE ...] [--quiet] [--realtime] [--hold] [--snapshot DIR]\n"
        << "       " << kProgram << " --list\n"
        << "  NAME=VALUE       sets an argument the network declares\n"
        << "  --quiet          no progress display and no summary\n"
        << "  --realtime       pace the frames at the stream's own rate, as a live input would come\n"
        << "  --hold           after the last frame, keep the windows open until closed\n"
        << "  --snapshot DIR   after the last frame, save each window as DIR/<title>.png\n"
        << "  --list           list every node type with its inputs, outputs and parameters\n"
        << "  --version        print the versions of the loaded modules\n"
        << "Modules are loaded from the program's directory, or from $" << kModuleDirVariable << ".\n";
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
        } else if (a == "--snapshot" || a == "--snapshots") {
            if (i + 1 >= argc) throw UsageError{a + " needs a directory"};
            o.snapshotDir = argv[++i];
        } else if (a.compare(0, 11, "--snapshot=") == 0 || a.compare(0, 12, "--snapshots=") == 0) {
            o.snapshotDir = a.substr(a.find('=') + 1);
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError{"unknown option " + a};
        } else if (o.network.empty() && a.find('=') == std::string::npos) {
            o.network = a;
        } else {
            size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0)
                throw UsageError{"expected NAME=VALUE, got \"" + a + "\""};
            std::string name = a.substr(0, eq);
            if (o.args.count(name)) throw UsageError{"argument " + name + " is given twice"};
            o.args[name] = a.substr(eq + 1);
        }
    }
    if (!o.list && !o.help && !o.version && o.network.empty()) throw UsageError{"no network file given"};
    return o;
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
        std::printf("%s%-32s %s\n", i ? "              " : "", ports[i].name.c_str(), ports[i].help.c_str());
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
    Progress(const FD::Network& net, int frames, bool show) : frames_(frames), show_(show) {
        for (const auto& n : net.nodes())
            if ((stream_ = dynamic_cast<const FD::SampleStream*>(n.get()))) break;
        start_ = last_ = std::chrono::steady_clock::now();
    }
    double audioSeconds(int done) const {
        if (!stream_) return -1;
        long long samples = std::min<long long>(1LL * done * stream_->frameAdvance(), stream_->sampleCount());
        return double(samples) / stream_->sampleRate();
    }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
    std::string text(int done) const {
        std::string t = std::to_string(done) +
                        (done == frames_ || !show_ ? "" : "/" + std::to_string(frames_)) + " frames";
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

private:
    const FD::SampleStream* stream_ = nullptr;
    int frames_;
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

int streamFrames(const FD::Network& net) {
    const int frames = net.streamLength();
    if (frames < 0)
        throw new FD::GeneralException(
            "nothing in the network ends the stream: it needs a source that does, such as AudioFileSource");
    return frames;
}

void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;  // a second interrupt ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// --realtime: the audio source whose rate paces the frames (nullptr: full speed).
const FD::SampleStream* pacingSource(const FD::Network& net, bool realtime) {
    if (!realtime) return nullptr;
    for (const auto& n : net.nodes())
        if (auto* s = dynamic_cast<const FD::SampleStream*>(n.get())) return s;
    std::fprintf(stderr, "%s: --realtime: no audio source gives the frame rate; frames run at full speed\n",
                 kProgram);
    return nullptr;
}

// Pulls frames 0, 1, 2, ... until the stream ends or an interrupt comes; returns
// how many were done. With `pace`, frame k starts no earlier than k frame shifts
// after the first, so a recording plays as a live input would.
int pullFrames(FD::Network& net, int frames, const FD::SampleStream* pace, Progress& progress) {
    const auto begin = std::chrono::steady_clock::now();
    int count = 0;
    for (; count < frames && !interrupted; ++count) {
        if (pace) {
            std::chrono::duration<double> due(double(count) * pace->frameAdvance() / pace->sampleRate());
            std::this_thread::sleep_until(begin + std::chrono::duration_cast<decltype(begin)::duration>(due));
        }
        try {
            net.process(count);
        } catch (FD::BaseException* e) {
            // A node names the frame it was computing; else the error belongs to this one.
            if (e->frame() < 0) e->setFrame(count);
            progress.clear();
            throw;
        } catch (const std::exception& e) {
            progress.clear();
            auto* error = new FD::GeneralException(e.what());
            error->setFrame(count);
            throw error;
        }
        progress.update(count + 1);
    }
    progress.clear();
    return count;
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
    // From here on an interrupt ends the run between frames, so that every file
    // the nodes started is removed on the way out.
    catchInterrupts();
    const FD::NetworkFile file(o.network);
    // The window toolkit is loaded before any node is built, and only when the
    // network may open windows or --hold or --snapshot asks for them.
    const bool windows = o.hold || !o.snapshotDir.empty() || mayOpenWindows(file);
    if (windows) FD::gui::start(FD::modulePath(FD::gui::kModuleFile, kModuleDirVariable));
    std::unique_ptr<FD::Network> net = file.build(o.args);
    const int frames = streamFrames(*net);
    Progress progress(*net, frames, !o.quiet && isatty(STDERR_FILENO));
    const int done = pullFrames(*net, frames, pacingSource(*net, o.realtime), progress);
    if (interrupted) {
        std::fprintf(stderr, "%s: %s: interrupted after %d of %d frames; no result file was written\n",
                     kProgram, o.network.c_str(), done, frames);
        return 130;
    }
    FD::endStream(net->nodes(), done);
    if (windows) FD::gui::finish(o.hold, o.snapshotDir);
    if (!o.quiet) progress.summary(o.network, done);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
        return 0;
    }
    const std::string where = o.network.empty() ? std::string() : o.network + ": ";
    try {
        return run(o);
    } catch (FD::LoadError* e) {
        for (const std::string& p : e->problems()) std::cerr << kProgram << ": " << p << "\n";
        delete e;
    } catch (FD::BaseException* e) {
        std::cerr << kProgram << ": " << where << e->message() << "\n";
        delete e;
    } catch (const FD::BaseException& e) {  // thrown by value by mistake: still one line
        std::cerr << kProgram << ": " << where << e.message() << "\n";
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << where << e.what() << "\n";
    } catch (...) {
        std::cerr << kProgram << ": " << where << "unexpected error\n";
    }
    return 1;
}

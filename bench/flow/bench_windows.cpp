// Frames a chain of look-ahead nodes holds: a source and NODES nodes (499, the longest
// chain a network may hold), each reading AHEAD frames ahead of its count and making a
// frame of 64 floats, pulled for FRAMES frames. Prints the objects still alive (the
// frames held, and a buffer and a node per node) and the peak resident memory
// (ru_maxrss). Windows that follow each node's one reader hold about NODES * (AHEAD + 1)
// frames; sums of the reaches downstream held about NODES^2 * AHEAD / 2.
//
//   bench_windows [NODES] [AHEAD] [FRAMES]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "flow/Network.h"

namespace {

class Frames : public FD::Node {
public:
    Frames() : FD::Node("source", FD::ParameterSet()) { addOutput("OUTPUT"); }
    FD::ObjectRef getOutput(int, int count) override {
        return FD::ObjectRef(new FD::Vector<float>(64, float(count)));
    }
};

class LookAhead : public FD::BufferedNode {
public:
    LookAhead(const std::string& name, int ahead) : FD::BufferedNode(name, FD::ParameterSet()), ahead_(ahead) {
        addInput("IN");
        addOutput("OUT");
        inOrder = true;
        readsAhead(0, ahead);
    }
    void calculate(int, int count, FD::Buffer& out) override {
        getInput(0, count);
        getInput(0, count + ahead_);
        out[count] = FD::ObjectRef(new FD::Vector<float>(64, float(count)));
    }

private:
    int ahead_;
};

}  // namespace

int main(int argc, char** argv) {
    const int nodes = argc > 1 ? std::atoi(argv[1]) : 499;
    const int ahead = argc > 2 ? std::atoi(argv[2]) : 4;
    const int frames = argc > 3 ? std::atoi(argv[3]) : 2000;
    try {
        FD::Network net;
        net.addNode(new Frames);
        std::string last = "source", port = "OUTPUT";
        for (int i = 0; i < nodes; ++i) {
            const std::string name = "n" + std::to_string(i);
            net.addNode(new LookAhead(name, ahead));
            net.connect(last, port, name, "IN");
            last = name, port = "OUT";
        }
        net.initialize();
        for (int c = 0; c < frames; ++c) net.process(c);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%d nodes reading %d ahead, %d frames: %ld objects alive (frames, buffers, nodes), "
                    "peak memory %.1f MiB\n",
                    nodes, ahead, frames, FD::Object::liveCount(), usage.ru_maxrss / 1024.0);
    } catch (FD::BaseException* e) {
        std::fprintf(stderr, "%s\n", e->message().c_str());
        delete e;
        return 1;
    }
    return 0;
}

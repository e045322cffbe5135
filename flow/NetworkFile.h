// Network files: an XML document holding a main network of typed nodes, their
// parameters and links, and the arguments the network takes.
//
//   <document>
//     <network name="MAIN">
//       <arg name="INPUT" type="string"/>
//       <arg name="ADVANCE" type="int" default="160"/>
//       <node name="audio" type="AudioFileSource">
//         <param name="FILE" type="string" arg="INPUT"/>
//         <param name="LENGTH" type="int" value="512"/>
//       </node>
//       <link from="audio" output="AUDIO" to="stft" input="AUDIO"/>
//     </network>
//   </document>
//
// Parameter and argument types: int, float, string, bool ("true" / "false").
// A parameter takes either a literal value or the value of an argument; an
// argument gets its value from the command line (NAME=VALUE) or its default.
//
// Loading checks the whole file before anything runs and reports every problem
// at once, each as one line naming the file, its line, the node and the
// parameter or port: XML that is not well-formed, unknown node types, missing,
// misspelt or wrongly typed parameters (against the node catalogue, then the
// node's own constructor), links to ports that do not exist, unconnected
// inputs, cycles, arguments without a value or whose value does not parse.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flow/Exception.h"
#include "flow/Network.h"

namespace FD {

// The largest network file read: text of a few kB in practice.
constexpr size_t kMaxNetworkFileBytes = size_t(4) << 20;

// Everything wrong with a network file, one readable line per problem.
class LoadError : public BaseException {
public:
    explicit LoadError(std::vector<std::string> problems) : problems_(std::move(problems)) {}
    std::string message() const override;  // the problems joined by "; "
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::vector<std::string> problems_;
};

struct NetworkArgument {
    std::string name, type;
    bool hasDefault = false;
    std::string defaultValue;
};

// A network file, read and parsed once: what it names can be looked at before
// the network is built from it.
class NetworkFile {
public:
    // Reads and parses the file. Throws LoadError* when it cannot be read, is not
    // well-formed XML or holds no main network.
    explicit NetworkFile(const std::string& path);
    ~NetworkFile();
    NetworkFile(const NetworkFile&) = delete;
    NetworkFile& operator=(const NetworkFile&) = delete;

    const std::string& path() const;
    // The node types the main network names, in file order.
    std::vector<std::string> nodeTypes() const;
    // The names of the arguments the main network declares, in file order.
    std::vector<std::string> argumentNames() const;
    // One problem line for each name in `args` the network does not declare (a
    // wrong command line rather than a wrong file), naming those it does.
    std::vector<std::string> undeclaredArguments(const std::map<std::string, std::string>& args) const;
    // Checks the network, builds and initialises it with the argument values
    // `args` (NAME -> VALUE text). Throws LoadError* on any problem.
    std::unique_ptr<Network> build(const std::map<std::string, std::string>& args) const;

    struct Parsed;

private:
    std::unique_ptr<Parsed> parsed_;
};

// NetworkFile(path).build(args).
std::unique_ptr<Network> loadNetwork(const std::string& path, const std::map<std::string, std::string>& args);

// Text from the command line as a message shows it: control characters, escape
// sequences and bytes outside printable ASCII written as \xNN, cut after 80 characters.
std::string shownText(const std::string& text);

// The typed object of a text: "int", "float", "string" or "bool". Returns a null
// reference when the text does not parse as the type.
ObjectRef parseValue(const std::string& type, const std::string& text);

}  // namespace FD

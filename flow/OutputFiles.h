// The files a process writes and reads, kept in one place so that no result is
// lost through them:
//
//  - each regular output file is written under a hidden name next to its final
//    one (PartFile); the hidden names are known to removeHiddenOutputs(), which a
//    signal handler may call, so that no part file outlives a crash or a kill; a
//    part file is locked while its run lives, so that the next run writing the
//    same output removes what a run killed outright (SIGKILL) left;
//  - while an OutputRenames is open on a thread (FD::endStream opens one), an
//    output that completes keeps its hidden name until the group is done: every
//    output of a run is written and flushed first, then all take their final
//    names, so a run that fails in its last write replaces no earlier result;
//  - two outputs may not write one file, and no output may replace a file the
//    process reads (the network file, an input recording: ReadFile), whatever
//    the names, links or hard links that lead to it.
//
// Errors are std::runtime_error naming the file.
#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace FD {

// A regular file an output replaces, `path` being its final name with symbolic
// links already followed. Claims the file for the whole life of the object.
class PartFile {
public:
    // Throws when another output of this process writes the file, or the process
    // reads it; errors show the file as `shown` (the name the user gave).
    explicit PartFile(const std::string& path, const std::string& shown = "");
    // Removes the hidden file unless it took its final name.
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    const std::string& path() const { return path_; }
    // The hidden name, in the same folder: ".NAME.partXXXXXX", the name shortened
    // when that would pass the file system's longest name.
    std::string hiddenTemplate() const;
    // Removes the part files of this output that a killed run left behind.
    void removeAbandonedParts() const;
    // The hidden file was created under `hidden`: from now on it is removed if
    // the process ends without finishing it.
    void created(const std::string& hidden);
    // The mode the file should get: the existing file's, or the usual one for a
    // new file (0666 less the umask).
    mode_t mode() const { return mode_; }

    // The file is written and closed: it takes its final name now, or when the
    // OutputRenames open on this thread is done.
    void complete();
    bool renamed() const { return renamed_; }

private:
    friend class ReadFile;
    friend class OutputRenames;
    void rename();
    std::string hiddenPrefix() const;  // ".NAME.part", NAME shortened to fit

    std::string path_, shown_, key_, hidden_;
    void* slot_ = nullptr;  // where removeHiddenOutputs() finds the hidden name
    int lock_ = -1;         // the hidden file, locked while this run owns it
    mode_t mode_ = 0644;
    bool complete_ = false, renamed_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool existed_ = false;
};

// A file the process reads while the object lives: no output may replace it.
// Throws when an output of this process already replaces it; does nothing for
// what is not a regular file.
class ReadFile {
public:
    ReadFile(const std::string& path, const std::string& what);
    ~ReadFile();
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;

private:
    bool noted_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Outputs completed on this thread while the object is open take their final names
// together at done(), in the order they completed; without done() (an error) none
// does, and each hidden file goes with its output. Groups do not nest: an inner
// one leaves the work to the outer.
class OutputRenames {
public:
    OutputRenames();
    ~OutputRenames();
    OutputRenames(const OutputRenames&) = delete;
    OutputRenames& operator=(const OutputRenames&) = delete;
    void done();

private:
    friend class PartFile;
    bool outer_;
    std::vector<PartFile*> completed_;
};

// Removes every hidden part file of this process. Safe in a signal handler.
void removeHiddenOutputs() noexcept;

}  // namespace FD

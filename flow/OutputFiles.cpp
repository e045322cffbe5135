#include "flow/OutputFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace FD {

namespace {

std::runtime_error failure(const std::string& text) { return std::runtime_error(text); }

// Hidden names for the signal handler: a list that only grows, each slot reused
// once free, read without locks (a handler may interrupt anything).
struct HiddenSlot {
    std::atomic<bool> used{false};
    char* name = nullptr;
    size_t capacity = 0;
    HiddenSlot* next = nullptr;
};
std::atomic<HiddenSlot*> hiddenSlots{nullptr};

struct ReadEntry {
    dev_t device;
    ino_t inode;
    std::string what;
    int holders;
};

struct Registry {
    std::mutex lock;
    std::vector<PartFile*> outputs;  // in the order they were opened
    std::vector<ReadEntry> reads;
};
Registry& registry() {
    static Registry* r = new Registry;  // outlives every static PartFile
    return *r;
}

HiddenSlot* keepHidden(const std::string& name) {
    for (HiddenSlot* s = hiddenSlots.load(); s; s = s->next) {
        if (!s->used.load() && s->capacity > name.size()) {
            std::memcpy(s->name, name.c_str(), name.size() + 1);
            s->used.store(true);
            return s;
        }
    }
    auto* s = new HiddenSlot;
    s->capacity = std::max<size_t>(name.size() + 1, 256);
    s->name = new char[s->capacity];
    std::memcpy(s->name, name.c_str(), name.size() + 1);
    s->used.store(true);
    s->next = hiddenSlots.load();
    hiddenSlots.store(s);
    return s;
}

thread_local OutputRenames* openRenames = nullptr;

// The process's umask, read without changing it (setting and restoring it would race
// with other threads creating files).
mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (status && !found && std::fgets(line, sizeof line, status))
        found = std::sscanf(line, "Umask: %o", &mask) == 1;
    if (status) std::fclose(status);
    if (found) return mode_t(mask);
    const mode_t previous = umask(022);
    umask(previous);
    return previous;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string baseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One spelling per file: the real folder and the name in it.
std::string canonical(const std::string& path) {
    char* real = realpath(folderOf(path).c_str(), nullptr);
    if (!real) return path;
    std::string key = std::string(real) + "/" + baseOf(path);
    std::free(real);
    return key;
}

}  // namespace

// ---------------------------------------------------------------- PartFile

PartFile::PartFile(const std::string& path, const std::string& shown)
    : path_(path), shown_(shown.empty() ? path : shown), key_(canonical(path)) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        existed_ = true;
        device_ = st.st_dev;
        inode_ = st.st_ino;
        mode_ = st.st_mode & 07777;  // a rerun keeps what the user gave the file
    } else {
        mode_ = 0666 & ~currentUmask();
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (const PartFile* other : r.outputs)
        if (other->key_ == key_ || (existed_ && other->existed_ && other->device_ == device_ &&
                                    other->inode_ == inode_))
            throw failure("cannot write " + shown_ + ": another output of this run writes the same file (" +
                          other->shown_ + ")");
    if (existed_)
        for (const ReadEntry& e : r.reads)
            if (e.device == device_ && e.inode == inode_)
                throw failure("cannot write " + shown_ + ": it is " + e.what + " this run reads");
    r.outputs.push_back(this);
}

PartFile::~PartFile() {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    if (slot_) {
        if (!renamed_) unlink(hidden_.c_str());
        static_cast<HiddenSlot*>(slot_)->used.store(false);
    }
    if (lock_ >= 0) close(lock_);
    r.outputs.erase(std::remove(r.outputs.begin(), r.outputs.end(), this), r.outputs.end());
    if (openRenames) {
        std::vector<PartFile*>& waiting = openRenames->completed_;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), this), waiting.end());
    }
}

std::string PartFile::hiddenPrefix() const {
    const std::string folder = folderOf(path_);
    std::string base = baseOf(path_);
    long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (longest <= 0) longest = NAME_MAX;
    const size_t added = std::strlen(".") + std::strlen(".partXXXXXX");
    if (base.size() + added > size_t(longest)) base.resize(size_t(longest) > added ? size_t(longest) - added : 1);
    return "." + base + ".part";
}

std::string PartFile::hiddenTemplate() const {
    return (path_.find('/') == std::string::npos ? std::string() : folderOf(path_) + "/") + hiddenPrefix() +
           "XXXXXX";
}

// Part files of this output left by a run that was killed outright (SIGKILL, a power
// cut): no process holds their lock any more. A part file of a run still going is
// locked by it and stays.
void PartFile::removeAbandonedParts() const {
    const std::string folder = folderOf(path_), prefix = hiddenPrefix();
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        const int fd = openat(dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlinkat(dirfd(dir), name.c_str(), 0);
        close(fd);
    }
    closedir(dir);
}

void PartFile::created(const std::string& hidden) {
    // Held until the file has its final name: tells later runs the part is not abandoned.
    lock_ = open(hidden.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock_ >= 0) flock(lock_, LOCK_EX | LOCK_NB);
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    hidden_ = hidden;
    slot_ = keepHidden(hidden);
}

void PartFile::complete() {
    complete_ = true;
    if (openRenames)
        openRenames->completed_.push_back(this);
    else
        rename();
}

void PartFile::rename() {
    if (renamed_ || !slot_) return;
    if (::rename(hidden_.c_str(), path_.c_str()) != 0)
        throw failure("cannot rename " + hidden_ + " to " + path_ + ": " + std::strerror(errno));
    renamed_ = true;
    static_cast<HiddenSlot*>(slot_)->used.store(false);
    if (lock_ >= 0) close(lock_);
    lock_ = -1;
}

// ---------------------------------------------------------------- ReadFile

ReadFile::ReadFile(const std::string& path, const std::string& what) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (const PartFile* out : r.outputs)
        if (out->existed_ && out->device_ == st.st_dev && out->inode_ == st.st_ino)
            throw failure("cannot read " + path + ": an output of this run replaces it (" + out->shown_ + ")");
    device_ = st.st_dev;
    inode_ = st.st_ino;
    noted_ = true;
    for (ReadEntry& e : r.reads)
        if (e.device == device_ && e.inode == inode_) {
            ++e.holders;
            return;
        }
    r.reads.push_back({device_, inode_, what, 1});
}

ReadFile::~ReadFile() {
    if (!noted_) return;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    for (size_t i = 0; i < r.reads.size(); ++i)
        if (r.reads[i].device == device_ && r.reads[i].inode == inode_ && --r.reads[i].holders == 0) {
            r.reads.erase(r.reads.begin() + long(i));
            return;
        }
}

// ---------------------------------------------------------------- OutputRenames

OutputRenames::OutputRenames() : outer_(openRenames == nullptr) {
    if (outer_) openRenames = this;
}

OutputRenames::~OutputRenames() {
    if (outer_) openRenames = nullptr;
}

void OutputRenames::done() {
    if (!outer_) return;
    openRenames = nullptr;
    std::vector<PartFile*> ready;
    ready.swap(completed_);
    for (PartFile* out : ready) out->rename();
}

void removeHiddenOutputs() noexcept {
    for (HiddenSlot* s = hiddenSlots.load(); s; s = s->next)
        if (s->used.load()) unlink(s->name);
}

}  // namespace FD

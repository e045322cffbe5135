#include "flow/Module.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

#include "flow/Exception.h"

namespace FD {

std::string programDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return ".";
    std::string p(path, size_t(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

namespace {

bool readAt(int fd, void* into, size_t size, off_t offset) {
    return pread(fd, into, size, offset) == ssize_t(size);
}

// Whether [offset, offset + size) lies inside a file of `fileSize` bytes, without overflow.
bool inside(uint64_t offset, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// What is wrong with the shared library at `path`, or "" when its ELF header, program
// headers, segments and section headers all lie inside the file. The loader maps the
// segments without reading them: a truncated library loads and then dies of SIGBUS on its
// first access to a page past the end of the file.
std::string libraryDefect(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";  // dlopen names the reason
    struct stat st {};
    Elf64_Ehdr header{};
    std::string defect;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        defect = "not a regular file";
    } else if (!readAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        defect = "not an ELF shared library";
    } else if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
        defect = "not a 64-bit ELF library";
    } else {
        const uint64_t size = uint64_t(st.st_size);
        if (!inside(header.e_phoff, uint64_t(header.e_phnum) * sizeof(Elf64_Phdr), size) ||
            !inside(header.e_shoff, uint64_t(header.e_shnum) * header.e_shentsize, size))
            defect = "truncated: its headers end past its " + std::to_string(size) + " bytes";
        for (int i = 0; defect.empty() && i < header.e_phnum; ++i) {
            Elf64_Phdr segment{};
            if (!readAt(fd, &segment, sizeof segment, off_t(header.e_phoff + i * sizeof segment)))
                defect = "unreadable program header";
            else if (segment.p_type == PT_LOAD && !inside(segment.p_offset, segment.p_filesz, size))
                defect = "truncated: a segment ends at byte " + std::to_string(segment.p_offset + segment.p_filesz) +
                         " of a " + std::to_string(size) + "-byte file";
        }
    }
    close(fd);
    return defect;
}

}  // namespace

std::string directoryOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) && info.dli_fname) {
        std::string file = info.dli_fname;
        size_t slash = file.rfind('/');
        if (slash != std::string::npos && file[0] == '/') return file.substr(0, slash);
    }
    return programDirectory();
}

bool firstTime(const std::string& topic) {
    static std::set<std::string> seen;
    return seen.insert(topic).second;
}

void loadModule(const std::string& path) {
    static std::set<std::string> loaded;
    if (loaded.count(path)) return;
    const std::string defect = libraryDefect(path);
    if (!defect.empty()) throw new GeneralException("cannot load module " + path + ": " + defect);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        const char* why = dlerror();
        throw new GeneralException("cannot load module " + path + ": " + (why ? why : "unknown reason"));
    }
    loaded.insert(path);
}

std::string modulePath(const std::string& fileName, const char* envVar) {
    const char* dir = envVar ? std::getenv(envVar) : nullptr;
    std::string base = (dir && *dir) ? std::string(dir) : programDirectory();
    return base + "/" + fileName;
}

}  // namespace FD

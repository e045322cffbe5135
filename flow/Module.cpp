#include "flow/Module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
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

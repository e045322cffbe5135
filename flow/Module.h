// Loading node modules (shared libraries that register their node types when loaded).
#pragma once

#include <string>

namespace FD {

// Directory holding the running program (resolved through /proc/self/exe).
std::string programDirectory();

// Directory of the binary (the program or a loaded library) that holds `address`,
// such as one of the caller's functions: where a module finds the libraries it
// loads later. The program's directory when it cannot be told.
std::string directoryOf(const void* address);

// True the first time it is asked about `topic` in this process, false after: for
// a warning that several parts of a program may have to give, and give once.
bool firstTime(const std::string& topic);

// Loads a module by path. A library that cannot be loaded throws a GeneralException
// with the loader's reason. Loading the same path twice registers it once.
void loadModule(const std::string& path);

// Path of module `fileName` (e.g. "libzelkbp.so"): the directory named by the
// environment variable `envVar` if set, else the program's own directory.
std::string modulePath(const std::string& fileName, const char* envVar);

}  // namespace FD

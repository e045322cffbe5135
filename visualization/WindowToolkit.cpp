#include "visualization/WindowToolkit.h"

#include <dlfcn.h>

#include <iostream>

#include "flow/Gui.h"
#include "flow/Module.h"

namespace vis {

namespace {

const WindowToolkit* loaded = nullptr;

// Loads the library and returns its table, or null with the reason in `why`.
const WindowToolkit* load(std::string& why) {
    // Beside the binary that holds this code: the plug-in, or a program linked with the nodes.
    const std::string path = FD::directoryOf(reinterpret_cast<void*>(&load)) + "/" + kToolkitLibrary;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        why = error ? error : path + ": unknown reason";
        return nullptr;
    }
    using Entry = const WindowToolkit* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(handle, kToolkitEntry));
    const WindowToolkit* toolkit = entry ? entry() : nullptr;
    if (toolkit && toolkit->version == kWindowToolkitVersion) return toolkit;
    why = path + " is not a toolkit library of this version";
    return nullptr;
}

}  // namespace

const WindowToolkit* windowToolkit(const std::string& who) {
    static bool tried = false;
    if (!tried) {
        tried = true;
        std::string why;
        loaded = load(why);
        if (!loaded && FD::firstTime(FD::gui::kWindowsOffTopic))
            std::cerr << who << ": warning: cannot load the window toolkit (" << why
                      << "); live windows are off and the visualization nodes only pass their data through"
                      << std::endl;
    }
    return loaded && loaded->openDisplay(who) ? loaded : nullptr;
}

const WindowToolkit* loadedWindowToolkit() { return loaded; }

}  // namespace vis

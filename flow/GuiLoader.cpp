// FD::gui::start / finish for the runner: loads the window support module at the
// first call and hands on to it. Without the module, windows are off (one warning).
#include <dlfcn.h>

#include <iostream>
#include <string>

#include "flow/Gui.h"
#include "flow/Module.h"

namespace FD {
namespace gui {

namespace {

struct Module {
    bool (*start)();
    int (*finish)(bool hold, const char* snapshotDir);
};

// The module's entry points, loaded once; null (after one warning) if it cannot be.
const Module* module(const std::string& path) {
    static bool tried = false;
    static Module entries{};
    static const Module* loaded = nullptr;
    if (tried) return loaded;
    tried = true;
    const std::string file = path.empty() ? programDirectory() + "/" + kModuleFile : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char* error = handle ? nullptr : dlerror();
    std::string why = error ? error : "";
    if (handle) {
        entries.start = reinterpret_cast<bool (*)()>(dlsym(handle, "flow_gui_start"));
        entries.finish = reinterpret_cast<int (*)(bool, const char*)>(dlsym(handle, "flow_gui_finish"));
        if (entries.start && entries.finish)
            loaded = &entries;
        else
            why = file + " lacks the window support entry points";
    }
    if (!loaded && firstTime(kWindowsOffTopic))
        std::cerr << "flowrun: warning: cannot load the window support ("
                  << (why.empty() ? file + ": unknown reason" : why) << "); live windows are off"
                  << std::endl;
    return loaded;
}

}  // namespace

bool start(const std::string& modulePath) {
    const Module* m = module(modulePath);
    return m && m->start();
}

int finish(bool hold, const std::string& snapshotDir) {
    const Module* m = module("");
    return m ? m->finish(hold, snapshotDir.c_str()) : 0;
}

}  // namespace gui
}  // namespace FD

// GTK, GLib and fontconfig keep process-lifetime allocations that they never free;
// under the leak checker these are not the program's leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-x11-2.0\n"
           "leak:libgdk-x11-2.0\n"
           "leak:libgdk_pixbuf\n"
           "leak:libglib-2.0\n"
           "leak:libgobject-2.0\n"
           "leak:libgio-2.0\n"
           "leak:libfontconfig\n"
           "leak:libpango\n"
           "leak:libcairo\n"
           "leak:libX11\n"
           "leak:libXi\n"
           "leak:libXrandr\n"
           "leak:libatk\n";
}

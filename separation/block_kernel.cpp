#include "separation/block_kernel.h"

#include <dlfcn.h>

#include <stdexcept>

#include "flow/Module.h"

namespace separation {

UpdateRule updateRuleNamed(const std::string& text) {
    if (text == "[IVA]NATURAL_GRADIENT_DESCENT_METHOD") return UpdateRule::NaturalGradient;
    if (text == "[FastIVA]NEWTON_METHOD_WITH_FIXED_POINT_ITERATION") return UpdateRule::FixedPoint;
    return UpdateRule::None;
}

std::unique_ptr<BlockKernel> newBlockKernel() {
    using Entry = BlockKernel* (*)();
    static Entry entry = nullptr;
    if (!entry) {
        const std::string path =
            FD::directoryOf(reinterpret_cast<void*>(&newBlockKernel)) + "/" + kKernelLibrary;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            throw std::runtime_error("cannot load the separation library (" +
                                     (why ? std::string(why) : path + ": unknown reason") + ")");
        }
        entry = reinterpret_cast<Entry>(dlsym(handle, kKernelEntry));
        if (!entry) throw std::runtime_error(path + " is not a separation library of this version");
    }
    return std::unique_ptr<BlockKernel>(entry());
}

}  // namespace separation

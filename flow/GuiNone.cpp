// Runner support for builds without a windowing toolkit: nothing to prepare,
// nothing to keep open or save.
#include "flow/Gui.h"

namespace FD {
namespace gui {

bool start() { return false; }

int finish(bool, const std::string&) { return 0; }

}  // namespace gui
}  // namespace FD

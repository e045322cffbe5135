// The runner's side of live windows. Nodes that show windows create them
// themselves; the runner prepares the toolkit once before the network is built and,
// after the last frame, keeps the windows open or saves their pictures. The toolkit
// work is done by the module libflowgui.so, loaded at the first call: a program that
// shows no window never loads GTK+ or X11.
#pragma once

#include <string>

namespace FD {
namespace gui {

// The window support module, found beside the program.
constexpr const char* kModuleFile = "libflowgui.so";
// The FD::firstTime topic of the warning that live windows are off because a
// window library cannot be loaded (given once, by the runner or by a node).
constexpr const char* kWindowsOffTopic = "live windows off";

// Prepares the windowing toolkit's thread support before any node is built, loading
// the window support module from `modulePath` (empty: beside the program). Returns
// false, after one warning on stderr, when there is no display or the module cannot
// be loaded.
bool start(const std::string& modulePath = "");

// After the last frame: with `hold`, runs the event loop until every window is
// closed (or the run is interrupted); with a non-empty `snapshotDir`, first saves
// each shown window's picture there as a PNG named after its title (a window offers
// its off-screen picture under FD::gui::pictureKey, see flow/GuiToolkit.h). Returns
// the number of pictures saved.
int finish(bool hold, const std::string& snapshotDir);

}  // namespace gui
}  // namespace FD

// Catalogue entries of the plug-in's node types (ports and parameters in
// the order each constructor creates and reads them), for the runner's listing
// and the loader's checks. The plug-in registers its factories itself.
#pragma once

namespace FD {
void describePluginNodes();
}

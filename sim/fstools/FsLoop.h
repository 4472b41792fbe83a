// Loop devices for attached volumes, through losetup (util-linux).
#pragma once

#include <string>

namespace fcsim {

// True when loop devices may be tried: running as root with /dev/loop-control present.
bool FsLoopPossible();
// Attaches the file to a free loop device and gives its path.
bool FsLoopAttach(const std::string& file, std::string& device, std::string& error);
// Flushes the device's cached writes into its file, then detaches it.
bool FsLoopDetach(const std::string& device, std::string& error);

}  // namespace fcsim

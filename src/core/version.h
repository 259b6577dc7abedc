#pragma once

namespace ol {

// The version of this build (a release tag, or the commit it was built from), the same
// in the window's status bar, the first line of logfile.txt, each capture's section
// header and the Windows exe's version resource, so that a support call can start with it.
extern const char kVersion[];

}  // namespace ol

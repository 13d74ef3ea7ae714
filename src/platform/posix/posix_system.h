// Small services a POSIX host gives the core: error texts, temporary files
// and the text viewer.
#pragma once

#include <functional>
#include <string>

namespace quillon::posix {

// The system's text for an errno value; empty for 0.
std::string SystemErrorText(int code);

// Makes a new, empty file named <dir>/<prefix>XXXXXX in $TMPDIR (or /tmp)
// that no one else could have made beforehand; false when none can be made.
bool CreateTempFile(const std::string& prefix, std::string& path);

// Opens path with xdg-open when a graphical session is there; otherwise, or
// when xdg-open cannot be started, hands the path to report so the user
// learns where the file is.
void OpenInViewer(const std::string& path, const std::function<void(const std::string&)>& report);

}  // namespace quillon::posix

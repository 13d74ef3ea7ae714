// The program's own temporary directories, <temp>/quillon-<pid>-<n>: named
// after the process that made them, so a later run can tell one left behind
// by a run that was killed before it could clean up.
#pragma once

#include <functional>
#include <string>

namespace quillon {

class Host;

// Makes a new directory only the user may enter; empty when none can be made.
std::string MakePrivateDir(Host& host);

// Removes the private directories of runs whose process is gone, once per
// process whoever asks. Only a directory of that naming holding nothing but
// the program's own files is removed; report gets each one that could not be.
void RemoveLeftPrivateDirs(Host& host, const std::function<void(const std::string&)>& report);

}  // namespace quillon

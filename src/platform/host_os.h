// What the hosts need of the operating system beyond the serial port:
// creating a file that must not exist yet, telling whether the process that
// made a temporary directory still runs, and telling two device names of
// one port apart. src/platform/<os>/host_os.cpp implements it.
#pragma once

#include <cstdio>
#include <string>

namespace quillon::platform {

// Creates path for binary writing only when nothing of that name exists, not
// even a dangling link (O_CREAT|O_EXCL, CREATE_NEW). nullptr with errno set
// when it cannot (EEXIST: the name is taken).
std::FILE* CreateNewFile(const std::string& path);

// This process's id, and whether a process of that id runs. Unknown counts
// as running, so nothing of a live run is ever taken for left over.
long CurrentProcessId();
bool ProcessRunning(long pid);

// What the device behind a port's device name is, whatever name (or link)
// leads to it: equal for two names of one device. Empty when it cannot be
// told (the name does not exist).
std::string DeviceIdentity(const std::string& devicePath);

}  // namespace quillon::platform

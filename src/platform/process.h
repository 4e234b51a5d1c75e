#pragma once
// The running process, and whether another one still runs.

#include <string>

namespace torvane::platform {

// The full path of the running executable, as the operating system reports it.
std::string executable_path();

// The operating system's number of the running process.
unsigned long process_id();
// True while a process with that number runs (a number taken again by a new process
// counts as running).
bool process_running(unsigned long id);

}  // namespace torvane::platform

// Child processes of the ingest benchmark and what /proc tells about them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ingest {

// Starts argv[0] (searched in PATH) with stdout and stderr sent to files
// ("" for /dev/null). -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath);

// User plus system CPU seconds of all the process's threads so far; -1
// when the process is gone.
double CpuSeconds(pid_t pid);

// Thread switches (voluntary and not) of the process's live threads so
// far: a receiver's wakes, which the machine's load does not change.
uint64_t ContextSwitches(pid_t pid);

// Peak resident set (VmHWM) in KiB; 0 when unknown.
long PeakRssKib(pid_t pid);

// Sends the signal (again every 2 s), waits up to timeoutS for the process
// to end, then kills it. False when it had to be killed. *status gets the
// wait status.
bool StopProcess(pid_t pid, int signal, double timeoutS, int* status);

// True once every port has a UDP socket bound on this machine.
bool PortsBound(const std::vector<uint16_t>& ports);

bool FileExists(const std::string& path);
bool MakeDirectory(const std::string& path);
std::string ReadText(const std::string& path);
void SleepSeconds(double seconds);

}  // namespace ingest

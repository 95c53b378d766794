// What the benchmarks that run against handset-sim share: starting a helper program with its
// standard output on a pipe, waiting for a line it prints, reaping it, and the process's own
// processor time and peak memory.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Starts args[0] with the given arguments; with stdoutFd its standard output goes to a pipe
// whose reading end is stored there. -1 when the program cannot be started.
pid_t SpawnProcess(const std::vector<std::string>& args, int* stdoutFd);
// Waits for the process; its exit status, or 128 + the signal that ended it.
int WaitExit(pid_t pid);
// Reads the pipe until a line starts with `word`; false at the end of the output.
bool WaitForLine(int fd, const char* word);
// User plus system time this process has used so far, in seconds.
double CpuSeconds();
// This process's peak resident memory, in KiB.
long PeakRssKib();

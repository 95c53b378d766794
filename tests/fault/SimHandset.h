// handset-sim as a child process for the fault runs: an image set from make-images, the
// simulator published on a link in a temporary directory, its stdout lines, and an "unplug"
// that takes the device away at once.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fault {

// Runs make-images into `dir` with these extra options; false (and a note on stderr) on failure.
bool MakeImages(const std::filesystem::path& dir, const std::vector<std::string>& options);

class SimHandset {
public:
    // Publishes the device at `link`, judging against `images`; `options` are added to the
    // command line (scenario and its parameters). Returns once the simulator is ready (or not).
    SimHandset(const std::filesystem::path& link, const std::filesystem::path& images,
               const std::filesystem::path& verdict, const std::vector<std::string>& options);
    ~SimHandset();
    SimHandset(const SimHandset&) = delete;
    SimHandset& operator=(const SimHandset&) = delete;

    bool Ready() const { return m_ready; }
    // The handset disappears the way a pulled cable does: the device goes at once, nothing is
    // said, and its name no longer opens.
    void Unplug();
    // Waits for the simulator to end by itself; its exit status, or nothing after the limit.
    std::optional<int> WaitExit(std::chrono::milliseconds limit);
    std::string VerdictText() const;

private:
    std::optional<int> Reap(bool block);

    pid_t m_pid = -1;
    int m_out = -1;
    bool m_ready = false;
    std::optional<int> m_status;
    std::filesystem::path m_link;
    std::filesystem::path m_verdict;
};

// Where each open descriptor of this process points, for those that are terminals.
std::vector<std::string> OpenTerminals();

// User plus system CPU seconds of this process so far.
double ProcessCpuSeconds();

} // namespace fault

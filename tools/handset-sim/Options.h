// The simulator's command line: where to publish the device, what to judge against, and which
// scenario to play.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Points of the conversation, in order; used for --at and --start-at and in the verdict.
enum class Stage {
    Download,
    Go,
    Hello,
    Read,
    Security,
    Partition,
    Open,
    Stream,
    Close,
    Reboot,
    KitlAnnounce,
    KitlAck,
    KitlData,
    Done,
};

const char* StageName(Stage stage);
std::optional<Stage> StageFromName(const std::string& name);

enum class Scenario {
    Normal,
    HelloBad,
    HelloCase,
    ReadBad,
    SecurityBad,
    PartitionStatus,
    PartitionForeign,
    OpenStatus,
    StreamBad,
    StreamOffset,
    StreamLate,
    CloseBad,
    Silent,
    NoReturn,
    KitlGarbage,
    KitlStray,
    KitlBadHeader,
    KitlRepeat,
};

struct Options {
    std::string link = "/dev/wceusbsh001";
    std::string images;
    std::string scenarioName = "normal";
    Scenario scenario = Scenario::Normal;
    int image = 0; // index into kBootImages
    std::optional<std::uint32_t> chunk;
    std::uint32_t count = 2;
    unsigned status = 1;
    Stage silentAt = Stage::Download;
    Stage startAt = Stage::Download; // Download, Hello (streaming) or KitlAnnounce
    std::string verdictPath;
    std::string summaryPath;
    double rate = 0; // bytes per second, 0 = unpaced
    int latencyMs = 0;
    int returnMs = 3000;
    int announceMs = 200;
    int lingerMs = 5000;
    int resendMs = 1000;      // clean copy after a deliberately spoiled kITL frame
    double exitAfterIdle = 0; // seconds, 0 = never
};

// Parses argv; on failure returns false with a message. `--help` gives false and the usage text.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& message);

std::string UsageText();

} // namespace sim

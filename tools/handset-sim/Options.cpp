#include "Options.h"

#include "ImageSet.h"

#include <array>
#include <charconv>
#include <utility>

namespace sim {
namespace {

constexpr std::array<std::pair<Stage, const char*>, 14> kStageNames = {{
    {Stage::Download, "download"},
    {Stage::Go, "go"},
    {Stage::Hello, "hello"},
    {Stage::Read, "read"},
    {Stage::Security, "security"},
    {Stage::Partition, "partition"},
    {Stage::Open, "open"},
    {Stage::Stream, "stream"},
    {Stage::Close, "close"},
    {Stage::Reboot, "reboot"},
    {Stage::KitlAnnounce, "kitl-announce"},
    {Stage::KitlAck, "kitl-ack"},
    {Stage::KitlData, "kitl-data"},
    {Stage::Done, "done"},
}};

struct ScenarioName {
    const char* name;
    Scenario scenario;
};

constexpr std::array<ScenarioName, 18> kScenarios = {{
    {"normal", Scenario::Normal},
    {"hello-bad", Scenario::HelloBad},
    {"hello-case", Scenario::HelloCase},
    {"read-bad", Scenario::ReadBad},
    {"security-bad", Scenario::SecurityBad},
    {"partition-status", Scenario::PartitionStatus},
    {"partition-foreign", Scenario::PartitionForeign},
    {"open-status", Scenario::OpenStatus},
    {"stream-bad", Scenario::StreamBad},
    {"stream-offset", Scenario::StreamOffset},
    {"stream-late", Scenario::StreamLate},
    {"close-bad", Scenario::CloseBad},
    {"silent", Scenario::Silent},
    {"no-return", Scenario::NoReturn},
    {"kitl-garbage", Scenario::KitlGarbage},
    {"kitl-stray", Scenario::KitlStray},
    {"kitl-bad-header", Scenario::KitlBadHeader},
    {"kitl-repeat", Scenario::KitlRepeat},
}};

template <typename T> bool ParseNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

bool ParseScenario(const std::string& name, Options& options, bool& statusGiven) {
    for (const ScenarioName& s : kScenarios) {
        if (name == s.name) {
            options.scenario = s.scenario;
            return true;
        }
    }
    // Short forms with the status in the name: partition-status-2, open-status-5.
    for (auto [prefix, scenario] : {std::pair{"partition-status-", Scenario::PartitionStatus},
                                    std::pair{"open-status-", Scenario::OpenStatus}}) {
        const std::string p = prefix;
        unsigned status = 0;
        if (name.rfind(p, 0) == 0 && ParseNumber(name.substr(p.size()), status) && status <= 255) {
            options.scenario = scenario;
            options.status = status;
            statusGiven = true;
            return true;
        }
    }
    if (name == "paced") {
        options.scenario = Scenario::Normal;
        if (options.rate == 0)
            options.rate = 92160;
        return true;
    }
    return false;
}

} // namespace

const char* StageName(Stage stage) {
    for (auto [s, name] : kStageNames)
        if (s == stage)
            return name;
    return "?";
}

std::optional<Stage> StageFromName(const std::string& name) {
    for (auto [s, n] : kStageNames)
        if (name == n)
            return s;
    return std::nullopt;
}

std::string UsageText() {
    return "usage: handset-sim [--link PATH] --images DIR [--scenario NAME] [--image oemsbl|amss|appsboot]\n"
           "                   [--chunk K] [--count M] [--status N] [--at STAGE] [--start-at STAGE]\n"
           "                   [--verdict FILE] [--summary FILE] [--rate BYTES_PER_S] [--latency-ms MS]\n"
           "                   [--return-ms MS] [--announce-ms MS] [--linger-ms MS] [--resend-ms MS]\n"
           "                   [--exit-after-idle SECONDS]\n"
           "scenarios: normal hello-bad hello-case read-bad security-bad partition-status[-N]\n"
           "           partition-foreign open-status[-N] stream-bad stream-offset stream-late close-bad\n"
           "           silent no-return kitl-garbage kitl-stray kitl-bad-header kitl-repeat paced\n"
           "stages: download go hello read security partition open stream close kitl-announce kitl-ack\n"
           "        kitl-data (--start-at: download, streaming, kitl)\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& message) {
    bool statusGiven = false;
    std::string scenario = options.scenarioName;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            message = UsageText();
            return false;
        }
        if (i + 1 >= args.size()) {
            message = "option " + arg + " needs a value (or is unknown)\n" + UsageText();
            return false;
        }
        const std::string& value = args[++i];
        const auto bad = [&] {
            message = "bad value for " + arg + ": '" + value + "'";
            return false;
        };
        int number = 0;
        if (arg == "--link") {
            options.link = value;
        } else if (arg == "--images") {
            options.images = value;
        } else if (arg == "--scenario") {
            scenario = value;
        } else if (arg == "--image") {
            options.image = -1;
            for (std::size_t k = 0; k < kBootImages.size(); ++k)
                if (value == kBootImages[k].key || value == std::to_string(kBootImages[k].type))
                    options.image = static_cast<int>(k);
            if (options.image < 0)
                return bad();
        } else if (arg == "--chunk") {
            std::uint32_t chunk = 0;
            if (!ParseNumber(value, chunk))
                return bad();
            options.chunk = chunk;
        } else if (arg == "--count") {
            if (!ParseNumber(value, options.count) || options.count == 0)
                return bad();
        } else if (arg == "--status") {
            if (!ParseNumber(value, options.status) || options.status > 255)
                return bad();
            statusGiven = true;
        } else if (arg == "--at") {
            auto stage = StageFromName(value);
            if (!stage || *stage == Stage::Reboot || *stage == Stage::Done)
                return bad();
            options.silentAt = *stage;
        } else if (arg == "--start-at") {
            if (value == "download")
                options.startAt = Stage::Download;
            else if (value == "streaming")
                options.startAt = Stage::Hello;
            else if (value == "kitl")
                options.startAt = Stage::KitlAnnounce;
            else
                return bad();
        } else if (arg == "--verdict") {
            options.verdictPath = value;
        } else if (arg == "--summary") {
            options.summaryPath = value;
        } else if (arg == "--rate") {
            std::uint32_t rate = 0;
            if (!ParseNumber(value, rate))
                return bad();
            options.rate = rate;
        } else if (arg == "--latency-ms" || arg == "--return-ms" || arg == "--announce-ms" ||
                   arg == "--linger-ms" || arg == "--resend-ms") {
            if (!ParseNumber(value, number) || number < 0 || number > 3600000)
                return bad();
            if (arg == "--latency-ms")
                options.latencyMs = number;
            else if (arg == "--return-ms")
                options.returnMs = number;
            else if (arg == "--announce-ms")
                options.announceMs = number < 1 ? 1 : number;
            else if (arg == "--linger-ms")
                options.lingerMs = number;
            else
                options.resendMs = number < 1 ? 1 : number;
        } else if (arg == "--exit-after-idle") {
            double seconds = 0;
            if (!ParseNumber(value, seconds) || seconds < 0)
                return bad();
            options.exitAfterIdle = seconds;
        } else {
            message = "unknown option " + arg + "\n" + UsageText();
            return false;
        }
    }
    options.scenarioName = scenario;
    if (!ParseScenario(scenario, options, statusGiven)) {
        message = "unknown scenario '" + scenario + "'\n" + UsageText();
        return false;
    }
    if (options.images.empty()) {
        message = "--images DIR is required\n" + UsageText();
        return false;
    }
    return true;
}

} // namespace sim

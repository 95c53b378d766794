// What the handset received, and the judgement of it against the image directory.
#pragma once

#include "ImageSet.h"
#include "Options.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Bytes placed by offset; gaps read as zero and are reported as faults by the receiver.
struct Placed {
    Bytes data;
    bool seen = false;
    void Put(std::size_t offset, const std::uint8_t* bytes, std::size_t n);
};

struct Received {
    Placed programmer;
    std::optional<Bytes> partition;
    struct Boot {
        bool opened = false;   // an open packet of this type arrived
        bool accepted = false; // ... and was answered with status 0
        bool closed = false;
        Bytes header;
        Placed image;
    };
    std::array<Boot, 3> boot;
    Placed flash; // pieces in sequence order, padding included
    bool kitlHandshake = false;
};

struct Fault {
    std::string stage;
    std::size_t frame = 0; // number of the frame in its protocol, from 1; 0 = none
    std::string what;
};

enum class ItemStatus { Match, Differ, Missing, NoFile, Skipped };

struct Item {
    std::string name;
    std::string file;
    int imageType = -1;
    ItemStatus status = ItemStatus::Missing;
    std::size_t expectedSize = 0;
    std::size_t receivedSize = 0;
    std::optional<std::size_t> firstDifference;
};

struct Verdict {
    bool pass = false;
    bool interrupted = false;
    std::string scenario;
    Stage stage = Stage::Download;
    std::vector<Item> items;
    std::size_t hdlcFrames = 0;
    std::size_t kitlFrames = 0;
    std::vector<Fault> faults;
    std::size_t faultsTotal = 0;
};

inline constexpr std::size_t kFaultListLimit = 200;

// Compares what arrived with the files. Items before `startAt` are skipped (the run began later).
// Pass needs every item to match, no fault and the conversation done.
Verdict Judge(const Received& received, const ImageSet& images, const std::vector<Fault>& faults,
              std::size_t faultsTotal, Stage stage, Stage startAt, const std::string& scenario,
              std::size_t hdlcFrames, std::size_t kitlFrames);

// First offset where two byte strings differ, including the case of one being a prefix.
std::optional<std::size_t> FirstDifference(const Bytes& expected, const Bytes& received);

std::string VerdictJson(const Verdict& verdict);
std::string VerdictSummary(const Verdict& verdict);

} // namespace sim

// The image directory the host is given, as the handset expects to receive it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

struct BootImageNames {
    const char* key;    // command-line name
    const char* label;  // name in the verdict
    std::uint8_t type;  // image type of the open packet
    const char* header; // file names
    const char* image;
};

inline constexpr std::array<BootImageNames, 3> kBootImages = {{
    {"oemsbl", "oemsbl", 4, "oemsblhd.mbn", "oemsbl.mbn"},
    {"amss", "amss", 5, "amsshd.mbn", "amss.mbn"},
    {"appsboot", "appsboot", 10, "appsbootHD.mbn", "appsboot.mbn"},
}};

inline constexpr const char* kProgrammerFile = "NPRG7200.hex";
inline constexpr const char* kPartitionFile = "partition.mbn";
inline constexpr const char* kFlashFile = "FLASH.bin";

// Index into kBootImages for an image type, or -1.
int BootImageIndexOfType(unsigned type);

struct ImageSet {
    // Each file is absent when it could not be read.
    std::optional<Bytes> programmer; // decoded by the host's rule
    std::optional<Bytes> partition;
    std::array<std::optional<Bytes>, 3> headers;
    std::array<std::optional<Bytes>, 3> images;
    std::optional<Bytes> flash;
};

std::optional<Bytes> ReadWholeFile(const std::string& path);
ImageSet LoadImageSet(const std::string& dir);

} // namespace sim

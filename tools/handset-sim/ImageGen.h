// Sample image sets for the simulator: deterministic from a seed, rich in the two bytes the
// framing escapes, and sized to hit the packet boundaries.
#pragma once

#include "ImageSet.h"

#include <array>
#include <cstdint>
#include <string>

namespace sim {

struct ImageSizes {
    std::size_t programmer = 1017 * 176; // 16-byte records only, 176 full write packets
    std::size_t partition = 512;
    std::size_t header = 40;
    std::array<std::size_t, 3> images = {1024 * 20, 1024 * 60 + 1, 1024 * 7 + 513};
    std::size_t flash = 1516 * 40 + 1;
};

struct GeneratedImages {
    Bytes programmer; // the image the programmer file carries
    std::string programmerHex;
    Bytes partition;
    std::array<Bytes, 3> headers;
    std::array<Bytes, 3> images;
    Bytes flash;
};

GeneratedImages GenerateImages(const ImageSizes& sizes, std::uint64_t seed, unsigned escapePercent);
bool WriteImageSet(const GeneratedImages& images, const std::string& dir, std::string& error);

} // namespace sim

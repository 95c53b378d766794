#include "ImageSet.h"

#include "IntelHex.h"

#include <fstream>
#include <iterator>
#include <string_view>

namespace sim {

int BootImageIndexOfType(unsigned type) {
    for (std::size_t i = 0; i < kBootImages.size(); ++i)
        if (kBootImages[i].type == type)
            return static_cast<int>(i);
    return -1;
}

std::optional<Bytes> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return data;
}

ImageSet LoadImageSet(const std::string& dir) {
    ImageSet set;
    const auto path = [&](const char* name) { return dir + "/" + name; };
    if (auto hex = ReadWholeFile(path(kProgrammerFile)))
        set.programmer =
            DecodeHexHostRule(std::string_view(reinterpret_cast<const char*>(hex->data()), hex->size()));
    set.partition = ReadWholeFile(path(kPartitionFile));
    for (std::size_t i = 0; i < kBootImages.size(); ++i) {
        set.headers[i] = ReadWholeFile(path(kBootImages[i].header));
        set.images[i] = ReadWholeFile(path(kBootImages[i].image));
    }
    set.flash = ReadWholeFile(path(kFlashFile));
    return set;
}

} // namespace sim

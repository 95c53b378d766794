#include "ImageGen.h"

#include "IntelHex.h"
#include "Kitl.h"

#include <fstream>

namespace sim {
namespace {

constexpr std::uint32_t kLoadAddress = 0x00A00000;

class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t m_state;
};

Bytes Fill(Random& random, std::size_t size, unsigned escapePercent) {
    Bytes out(size);
    for (std::uint8_t& b : out) {
        const std::uint64_t r = random.Next();
        if (r % 100 < escapePercent)
            b = (r >> 32) & 1 ? 0x7E : 0x7D;
        else
            b = static_cast<std::uint8_t>(r >> 40);
    }
    return out;
}

bool WriteFile(const std::string& path, const void* data, std::size_t size, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace

GeneratedImages GenerateImages(const ImageSizes& sizes, std::uint64_t seed, unsigned escapePercent) {
    Random random(seed);
    GeneratedImages g;
    g.programmer = Fill(random, sizes.programmer, escapePercent);
    g.programmerHex = EncodeIntelHex(g.programmer, kLoadAddress);
    g.partition = Fill(random, sizes.partition, escapePercent);
    for (std::size_t i = 0; i < 3; ++i) {
        g.headers[i] = Fill(random, sizes.header, escapePercent);
        g.images[i] = Fill(random, sizes.images[i], escapePercent);
    }
    g.flash = Fill(random, sizes.flash, escapePercent);
    // Magic words inside the flash data: a receiver must take the data field by its length.
    for (std::size_t at = 700; at + kKitlMagic.size() <= g.flash.size(); at += 3001)
        std::copy(kKitlMagic.begin(), kKitlMagic.end(), g.flash.begin() + static_cast<std::ptrdiff_t>(at));
    return g;
}

bool WriteImageSet(const GeneratedImages& g, const std::string& dir, std::string& error) {
    const auto path = [&](const char* name) { return dir + "/" + name; };
    if (!WriteFile(path(kProgrammerFile), g.programmerHex.data(), g.programmerHex.size(), error) ||
        !WriteFile(path(kPartitionFile), g.partition.data(), g.partition.size(), error) ||
        !WriteFile(path(kFlashFile), g.flash.data(), g.flash.size(), error))
        return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!WriteFile(path(kBootImages[i].header), g.headers[i].data(), g.headers[i].size(), error) ||
            !WriteFile(path(kBootImages[i].image), g.images[i].data(), g.images[i].size(), error))
            return false;
    }
    return true;
}

} // namespace sim

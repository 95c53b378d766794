// make-images: writes a deterministic sample image set for handset-sim. See README.md.
#include "ImageGen.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

const char* const kUsage =
    "usage: make-images --out DIR [--seed N] [--programmer-size B] [--partition-size B]\n"
    "                   [--oemsbl-size B] [--amss-size B] [--appsboot-size B] [--header-size B]\n"
    "                   [--flash-size B] [--escape-share PERCENT]\n";

template <typename T> bool ParseNumber(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

} // namespace

int main(int argc, char** argv) {
    sim::ImageSizes sizes;
    std::uint64_t seed = 7200;
    unsigned escapeShare = 25;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "make-images: %s needs a value (or is unknown)\n%s", arg.c_str(), kUsage);
            return 2;
        }
        const std::string value = argv[++i];
        std::size_t* size = nullptr;
        if (arg == "--out") {
            out = value;
            continue;
        }
        bool ok = true;
        if (arg == "--seed")
            ok = ParseNumber(value, seed);
        else if (arg == "--escape-share")
            ok = ParseNumber(value, escapeShare) && escapeShare <= 100;
        else if (arg == "--programmer-size")
            size = &sizes.programmer;
        else if (arg == "--partition-size")
            size = &sizes.partition;
        else if (arg == "--header-size")
            size = &sizes.header;
        else if (arg == "--oemsbl-size")
            size = &sizes.images[0];
        else if (arg == "--amss-size")
            size = &sizes.images[1];
        else if (arg == "--appsboot-size")
            size = &sizes.images[2];
        else if (arg == "--flash-size")
            size = &sizes.flash;
        else {
            std::fprintf(stderr, "make-images: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
        // Sizes are bounded so that a typo cannot fill the disk.
        if (size)
            ok = ParseNumber(value, *size) && *size <= (std::size_t{1} << 32);
        if (!ok) {
            std::fprintf(stderr, "make-images: bad value for %s: '%s'\n", arg.c_str(), value.c_str());
            return 2;
        }
    }
    if (out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    mkdir(out.c_str(), 0777);
    const sim::GeneratedImages images = sim::GenerateImages(sizes, seed, escapeShare);
    std::string error;
    if (!sim::WriteImageSet(images, out, error)) {
        std::fprintf(stderr, "make-images: %s\n", error.c_str());
        return 1;
    }
    std::printf("image set written to %s\n", out.c_str());
    return 0;
}

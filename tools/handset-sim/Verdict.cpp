#include "Verdict.h"

#include "Kitl.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

const char* StatusName(ItemStatus s) {
    switch (s) {
    case ItemStatus::Match:
        return "match";
    case ItemStatus::Differ:
        return "differ";
    case ItemStatus::Missing:
        return "missing";
    case ItemStatus::NoFile:
        return "no-file";
    case ItemStatus::Skipped:
        return "skipped";
    }
    return "?";
}

Item Compare(std::string name, std::string file, const std::optional<Bytes>& expected, bool seen,
             const Bytes& received) {
    Item item;
    item.name = std::move(name);
    item.file = std::move(file);
    item.receivedSize = received.size();
    if (!expected) {
        item.status = ItemStatus::NoFile;
        return item;
    }
    item.expectedSize = expected->size();
    if (!seen) {
        item.status = ItemStatus::Missing;
        return item;
    }
    item.firstDifference = FirstDifference(*expected, received);
    item.status = item.firstDifference ? ItemStatus::Differ : ItemStatus::Match;
    return item;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

void Placed::Put(std::size_t offset, const std::uint8_t* bytes, std::size_t n) {
    seen = true;
    if (data.size() < offset + n)
        data.resize(offset + n, 0);
    std::copy(bytes, bytes + n, data.begin() + static_cast<std::ptrdiff_t>(offset));
}

std::optional<std::size_t> FirstDifference(const Bytes& expected, const Bytes& received) {
    const auto [e, r] = std::mismatch(expected.begin(), expected.end(), received.begin(), received.end());
    if (e == expected.end() && r == received.end())
        return std::nullopt;
    return static_cast<std::size_t>(e - expected.begin());
}

Verdict Judge(const Received& received, const ImageSet& images, const std::vector<Fault>& faults,
              std::size_t faultsTotal, Stage stage, Stage startAt, const std::string& scenario,
              std::size_t hdlcFrames, std::size_t kitlFrames) {
    Verdict v;
    v.scenario = scenario;
    v.stage = stage;
    v.faults = faults;
    v.faultsTotal = faultsTotal;
    v.hdlcFrames = hdlcFrames;
    v.kitlFrames = kitlFrames;

    v.items.push_back(Compare("programmer", kProgrammerFile, images.programmer, received.programmer.seen,
                              received.programmer.data));
    v.items.push_back(Compare("partition table", kPartitionFile, images.partition,
                              received.partition.has_value(), received.partition.value_or(Bytes{})));
    for (std::size_t i = 0; i < kBootImages.size(); ++i) {
        const Received::Boot& b = received.boot[i];
        Item header = Compare(std::string(kBootImages[i].label) + " header", kBootImages[i].header,
                              images.headers[i], b.opened, b.header);
        header.imageType = kBootImages[i].type;
        v.items.push_back(std::move(header));
        // An image counts as received once its open was accepted and it was closed, or data came.
        Item image = Compare(kBootImages[i].label, kBootImages[i].image, images.images[i],
                             (b.accepted && b.closed) || b.image.seen, b.image.data);
        image.imageType = kBootImages[i].type;
        v.items.push_back(std::move(image));
    }
    // The flash arrives padded to whole pieces; the padding was checked when it arrived.
    Bytes flash = received.flash.data;
    if (images.flash && flash.size() > images.flash->size() &&
        flash.size() - images.flash->size() < kKitlPiece)
        flash.resize(images.flash->size());
    v.items.push_back(Compare(
        "flash", kFlashFile, images.flash,
        received.flash.seen || (received.kitlHandshake && images.flash && images.flash->empty()), flash));

    const std::size_t firstJudged = startAt == Stage::Download ? 0
                                    : startAt == Stage::Hello  ? 1
                                                               : v.items.size() - 1;
    for (std::size_t i = 0; i < firstJudged; ++i)
        v.items[i].status = ItemStatus::Skipped;

    v.pass = stage == Stage::Done && faultsTotal == 0 &&
             std::all_of(v.items.begin(), v.items.end(), [](const Item& item) {
                 return item.status == ItemStatus::Match || item.status == ItemStatus::Skipped;
             });
    return v;
}

std::string VerdictJson(const Verdict& v) {
    std::string out = "{\n";
    out += "  \"result\": " + JsonString(v.pass ? "pass" : "fail") + ",\n";
    out += "  \"scenario\": " + JsonString(v.scenario) + ",\n";
    out += std::string("  \"interrupted\": ") + (v.interrupted ? "true" : "false") + ",\n";
    out += "  \"stage\": " + JsonString(StageName(v.stage)) + ",\n";
    out += "  \"items\": [\n";
    for (std::size_t i = 0; i < v.items.size(); ++i) {
        const Item& it = v.items[i];
        out += "    {\"name\": " + JsonString(it.name) + ", \"file\": " + JsonString(it.file);
        if (it.imageType >= 0)
            out += ", \"image_type\": " + std::to_string(it.imageType);
        out += ", \"status\": " + JsonString(StatusName(it.status));
        out += ", \"expected_size\": " + std::to_string(it.expectedSize);
        out += ", \"received_size\": " + std::to_string(it.receivedSize);
        out +=
            ", \"first_difference\": " + (it.firstDifference ? std::to_string(*it.firstDifference) : "null");
        out += i + 1 < v.items.size() ? "},\n" : "}\n";
    }
    out += "  ],\n";
    out += "  \"frames\": {\"hdlc\": " + std::to_string(v.hdlcFrames) +
           ", \"kitl\": " + std::to_string(v.kitlFrames) + "},\n";
    out += "  \"faults\": [";
    for (std::size_t i = 0; i < v.faults.size(); ++i) {
        const Fault& f = v.faults[i];
        out += i ? ",\n    " : "\n    ";
        out += "{\"stage\": " + JsonString(f.stage) + ", \"frame\": " + std::to_string(f.frame) +
               ", \"what\": " + JsonString(f.what) + "}";
    }
    out += v.faults.empty() ? "],\n" : "\n  ],\n";
    out += "  \"faults_total\": " + std::to_string(v.faultsTotal) + "\n}\n";
    return out;
}

std::string VerdictSummary(const Verdict& v) {
    std::string out;
    out += "scenario " + v.scenario + ", conversation reached: " + StageName(v.stage) +
           (v.interrupted ? " (interrupted)" : "") + "\n";
    for (const Item& it : v.items) {
        char line[256];
        if (it.status == ItemStatus::Differ) {
            std::snprintf(line, sizeof line,
                          "  %-16s %-8s expected %zu bytes, received %zu, first difference at %zu\n",
                          it.name.c_str(), StatusName(it.status), it.expectedSize, it.receivedSize,
                          it.firstDifference.value_or(0));
        } else {
            std::snprintf(line, sizeof line, "  %-16s %-8s %zu bytes\n", it.name.c_str(),
                          StatusName(it.status),
                          it.status == ItemStatus::Match ? it.expectedSize : it.receivedSize);
        }
        out += line;
    }
    out += "  frames: " + std::to_string(v.hdlcFrames) + " HDLC, " + std::to_string(v.kitlFrames) +
           " kITL; " + std::to_string(v.faultsTotal) + " fault(s)\n";
    for (std::size_t i = 0; i < v.faults.size() && i < 20; ++i)
        out += "  fault [" + v.faults[i].stage + " #" + std::to_string(v.faults[i].frame) + "] " +
               v.faults[i].what + "\n";
    if (v.faultsTotal > 20)
        out += "  ... " + std::to_string(v.faultsTotal - 20) + " more in the verdict file\n";
    out += v.pass ? "flashed byte for byte\n" : "not flashed as expected\n";
    return out;
}

} // namespace sim

// Host cost of building stream-write frames: an image file read through CFile one byte at a
// time, each byte framed right after its read, 1024 data bytes per frame. The counters give the
// cost per MB of image; the argument is the share of bytes (percent) that need escaping.
#include "protocol/streaming/StreamingCommon.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kImageBytes = 8 * 1024 * 1024;

std::filesystem::path WriteImage(int escapePercent) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("vestrel-framing-bench-" + std::to_string(escapePercent) + ".bin");
    std::vector<char> data(kImageBytes);
    unsigned state = 12345;
    for (auto& byte : data) {
        state = state * 1103515245u + 12345u;
        const unsigned r = state >> 8;
        if (static_cast<int>(r % 100) < escapePercent)
            byte = static_cast<char>((r & 0x100) ? 0x7E : 0x7D);
        else
            byte = static_cast<char>(((r >> 9) % 0x7D) & 0xFF); // never 0x7D or 0x7E
    }
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return path;
}

void BM_StreamWriteFraming(benchmark::State& state) {
    const auto path = WriteImage(static_cast<int>(state.range(0)));
    const std::wstring wpath = path.wstring();
    BYTE packet[streaming::kPacketBufferSize];
    std::size_t wire = 0;
    for (auto _ : state) {
        CFile file;
        if (!file.Open(wpath.c_str(), CFile::modeRead)) {
            state.SkipWithError("cannot open the image");
            break;
        }
        wire = 0;
        for (std::size_t offset = 0; offset < kImageBytes; offset += streaming::kChunkSize) {
            std::size_t length = 0;
            if (streaming::FrameStreamWrite(file, static_cast<std::uint32_t>(offset), streaming::kChunkSize,
                                            packet, sizeof packet, length) != streaming::FrameResult::Ok) {
                state.SkipWithError("framing failed");
                break;
            }
            benchmark::DoNotOptimize(packet);
            wire += length;
        }
        file.Close();
    }
    std::filesystem::remove(path);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
    // Processor time per MB of image, and wire bytes per image byte (escapes and framing).
    state.counters["time_per_MB"] =
        benchmark::Counter(static_cast<double>(kImageBytes) / (1024.0 * 1024.0),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["wire_per_byte"] = static_cast<double>(wire) / static_cast<double>(kImageBytes);
}

BENCHMARK(BM_StreamWriteFraming)->Arg(0)->Arg(25)->Arg(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

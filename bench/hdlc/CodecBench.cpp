// Throughput of the two codecs of the programmer upload: building write-packet frames byte by
// byte, and decoding the data fields of Intel HEX lines.
#include "protocol/download/HexReader.h"
#include "protocol/hdlc/Hdlc.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> Payload(std::size_t n, bool manyEscapes) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t state = 1;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
        if (manyEscapes && (state & 3u) == 0)
            b = 0x7E;
    }
    return bytes;
}

// One full write packet body (1024 bytes) per iteration, added one byte at a time as the phase does.
void BM_EncodeWritePacket(benchmark::State& state) {
    const auto body = Payload(1024, state.range(0) != 0);
    std::vector<std::uint8_t> frame(MaxFrameLength(body.size()));
    for (auto _ : state) {
        HdlcEncoder enc;
        BeginFrame(enc, frame.data(), frame.size());
        for (std::uint8_t b : body)
            AddFrameByte(enc, b);
        benchmark::DoNotOptimize(EndFrame(enc));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_EncodeWritePacket)->Arg(0)->Arg(1)->ArgName("escapes");

void BM_Crc16(benchmark::State& state) {
    const auto body = Payload(4096, false);
    for (auto _ : state) {
        std::uint16_t reg = 0xFFFF;
        for (std::uint8_t b : body)
            reg = Crc16Update(reg, b);
        benchmark::DoNotOptimize(reg);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(body.size()));
}
BENCHMARK(BM_Crc16);

// 16-byte data records with CR LF, the shape of a real programmer file; bytes are characters of text.
void BM_DecodeHexRecords(benchmark::State& state) {
    const auto data = Payload(64 * 1024, false);
    std::vector<std::string> lines;
    std::size_t textBytes = 0;
    for (std::size_t pos = 0; pos < data.size(); pos += 16) {
        char field[8];
        std::string line = ":10";
        std::snprintf(field, sizeof field, "%04X00", static_cast<unsigned>(pos & 0xFFFF));
        line += field;
        for (std::size_t i = 0; i < 16; ++i) {
            std::snprintf(field, sizeof field, "%02X", data[pos + i]);
            line += field;
        }
        line += "00\r\n";
        textBytes += line.size();
        lines.push_back(line);
    }
    std::vector<BYTE> image(data.size());
    for (auto _ : state) {
        DWORD count = 0;
        for (const std::string& line : lines) {
            const auto* text = reinterpret_cast<const BYTE*>(line.data());
            if (IsProgrammerDataLine(text))
                DecodeHexRecord(text, static_cast<int>(line.size()) - 4, image.data(), count);
        }
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(textBytes));
}
BENCHMARK(BM_DecodeHexRecords);

} // namespace

BENCHMARK_MAIN();

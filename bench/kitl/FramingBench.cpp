// kITL framing throughput: building data frames and checking received ones, in memory.
#include "protocol/kitl/KitlFrames.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void FillPiece(BYTE (&piece)[kKitlPieceSize]) {
    for (std::size_t i = 0; i < kKitlPieceSize; ++i)
        piece[i] = static_cast<BYTE>(i * 131 + 17);
}

void BM_BuildDataFrame(benchmark::State& state) {
    BYTE piece[kKitlPieceSize];
    FillPiece(piece);
    BYTE frame[kKitlDataFrameSize];
    DWORD sequence = 0;
    for (auto _ : state) {
        KitlBuildData(frame, sequence++, piece);
        benchmark::DoNotOptimize(frame);
        benchmark::ClobberMemory();
    }
    // Counted as image bytes carried, the figure that matters for FLASH.bin.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kKitlPieceSize);
}
BENCHMARK(BM_BuildDataFrame);

// What a receiver does with each frame: header checksum, length, data checksum.
void BM_CheckReceivedFrame(benchmark::State& state) {
    BYTE piece[kKitlPieceSize];
    FillPiece(piece);
    BYTE frame[kKitlDataFrameSize];
    KitlBuildData(frame, 7, piece);
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame);
        bool ok = KitlHeaderChecksumOk(frame) && KitlDataLength(frame) <= kKitlMaxDataLength &&
                  KitlChecksum(frame + kKitlHeaderSize, KitlDataLength(frame)) == frame[8];
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kKitlDataFrameSize);
}
BENCHMARK(BM_CheckReceivedFrame);

} // namespace

BENCHMARK_MAIN();

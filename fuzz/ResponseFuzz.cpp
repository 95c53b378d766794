// The phases that read the handset's answers, from the programmer upload to the last boot image,
// fed from a file that stands in for the serial device. The first input byte picks the phase
// to start with; the rest is what the device "says". The phases then run in their order until
// one fails or the last boot image is done.
//
// Bounded by design: a file at its end answers every read with nothing at once, and the waits
// for an opening flag have no limit, so the device's bytes are followed by a run of flags. Every
// response read inside that run is "7E 7E", which no phase accepts, so the run ends in the first
// phase that reads from it. The device is opened for reading only; the phases' writes fail,
// which they do not look at.
#include "FuzzSupport.h"

#include <array>
#include <vector>

namespace {

constexpr std::size_t kFlagRun = 2 * kReceiveBufferSize;

using Phase = int (CDownloadPage::*)();
constexpr std::array<Phase, 8> kPhases = {
    &CDownloadPage::SwitchToDownloadMode,
    &CDownloadPage::SendHelloPacket,
    &CDownloadPage::SendReadPacket,
    &CDownloadPage::SendSecurityPacket,
    &CDownloadPage::SendPartitionTable,
    &CDownloadPage::SendOemSbl,
    &CDownloadPage::SendAmss,
    &CDownloadPage::SendAppsBoot,
};

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 3));
    return bytes;
}

// Small images that still reach every path: two write packets for the programmer, an image of
// full chunks and a short one, one of a single full chunk, one of a short chunk only.
void WriteImages(const std::filesystem::path& dir) {
    std::string hex;
    hex += ":020000040000FA\r\n";
    const char* record = ":10000000000102030405060708090A0B0C0D0E0F78\r\n";
    for (int i = 0; i < 80; ++i) // 1280 bytes: one full write packet and a short one
        hex += record;
    hex += ":00000001FF\r\n";
    fuzz::WriteFile(dir / "NPRG7200.hex", reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size());
    fuzz::WriteFile(dir / "partition.mbn", Pattern(40, 0x7D));
    fuzz::WriteFile(dir / "oemsblhd.mbn", Pattern(40, 1));
    fuzz::WriteFile(dir / "oemsbl.mbn", Pattern(2 * 1024 + 7, 2));
    fuzz::WriteFile(dir / "amsshd.mbn", Pattern(40, 3));
    fuzz::WriteFile(dir / "amss.mbn", Pattern(1024, 4));
    fuzz::WriteFile(dir / "appsbootHD.mbn", Pattern(40, 5));
    fuzz::WriteFile(dir / "appsboot.mbn", Pattern(300, 6));
}

const std::filesystem::path& ImageDir() {
    static const std::filesystem::path dir = [] {
        auto d = fuzz::ScratchDir() / "images";
        std::filesystem::create_directories(d);
        WriteImages(d);
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t first = data[0] % kPhases.size();

    std::vector<std::uint8_t> line(data + 1, data + size);
    line.insert(line.end(), kFlagRun, 0x7E);
    const auto device = fuzz::ScratchDir() / "device";
    fuzz::WriteFile(device, line);

    fuzz::QuietPage page(ImageDir());
    page.m_port.m_hDevice =
        CreateFileW(device.wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    fuzz::Require(page.m_port.IsOpen(), "cannot open the device file");

    for (std::size_t i = first; i < kPhases.size(); ++i) {
        const int messagesBefore = page.messages;
        const int result = (page.*kPhases[i])();
        fuzz::Require(page.m_receiveCount <= kReceiveBufferSize, "receive count beyond the receive buffer");
        if (result == 0) {
            // Every failure but an open answer of another kind says why.
            fuzz::Require(page.messages > messagesBefore || i >= 5, "failure without a message");
            break;
        }
    }
    page.m_port.Close();
    return 0;
}

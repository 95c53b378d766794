// The FLASH.bin transfer end to end against handset-sim on a pseudo-terminal: once unpaced (what
// the host side costs: MB/s and processor seconds per MB) and once paced at the wire's rate
// (92160 bytes/s, 921600 baud 8N1), where the figure is elapsed time over the time the bytes
// need on the wire.
//
//   kitl_transfer_bench [--sim PATH] [--make-images PATH] [--unpaced-mb N] [--paced-kb N]
#include "QuietPage.h"
#include "SimProcess.h"
#include "pages/DownloadPage.h"
#include "protocol/kitl/KitlFrames.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

#ifdef VESTREL_HANDSET_SIM
std::string g_sim = VESTREL_HANDSET_SIM;
std::string g_makeImages = VESTREL_MAKE_IMAGES;
#else
std::string g_sim;
std::string g_makeImages;
#endif

struct Run {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
    std::size_t frames = 0;
};

Run Transfer(const std::filesystem::path& dir, std::size_t flashBytes, unsigned rate) {
    Run run;
    const std::string images = (dir / ("images-" + std::to_string(flashBytes))).string();
    if (WaitExit(SpawnProcess({g_makeImages, "--out", images, "--flash-size", std::to_string(flashBytes)},
                              nullptr)) != 0) {
        std::fprintf(stderr, "make-images failed\n");
        return run;
    }
    const std::string link = (dir / "wceusbsh001").string();
    int out = -1;
    const pid_t sim = SpawnProcess({g_sim, "--link", link, "--images", images, "--start-at", "kitl", "--rate",
                                    std::to_string(rate), "--exit-after-idle", "20"},
                                   &out);
    if (sim < 0 || !WaitForLine(out, "ready")) {
        std::fprintf(stderr, "handset-sim did not start\n");
        return run;
    }
    setenv("VESTREL_DEVICE_WCEUSBSH001", link.c_str(), 1);

    QuietPage page(images);
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const int result = page.SendFlashImage();
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = CpuSeconds() - cpu0;
    run.frames = (flashBytes + kKitlPieceSize - 1) / kKitlPieceSize;

    // The simulator's verdict: the whole image arrived byte for byte.
    WaitForLine(out, "verdict");
    close(out);
    const int simExit = WaitExit(sim);
    run.ok = result == 1 && simExit == 0;
    if (!run.ok)
        std::fprintf(stderr, "transfer failed: phase %d, handset-sim exit %d\n", result, simExit);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t unpacedMb = 64;
    std::size_t pacedKb = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--sim")
            g_sim = argv[i + 1];
        else if (opt == "--make-images")
            g_makeImages = argv[i + 1];
        else if (opt == "--unpaced-mb")
            unpacedMb = std::strtoul(argv[i + 1], nullptr, 10);
        else if (opt == "--paced-kb")
            pacedKb = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (g_sim.empty() || g_makeImages.empty()) {
        std::fprintf(stderr, "handset-sim and make-images are needed (--sim PATH --make-images PATH)\n");
        return 2;
    }
    char pattern[] = "/tmp/kitl-bench-XXXXXX";
    if (!mkdtemp(pattern))
        return 2;
    const std::filesystem::path dir = pattern;
    int status = 0;

    if (unpacedMb > 0) {
        const std::size_t bytes = unpacedMb * 1024 * 1024;
        const Run r = Transfer(dir, bytes, 0);
        const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
        // The image streams piece by piece: the peak stays the same whatever the file's size.
        std::printf("unpaced: %.0f MiB in %.2f s: %.1f MiB/s, %.4f CPU s per MiB, peak RSS %ld KiB (%s)\n",
                    mb, r.seconds, mb / r.seconds, r.cpu / mb, PeakRssKib(),
                    r.ok ? "flashed byte for byte" : "FAILED");
        status |= r.ok ? 0 : 1;
    }
    if (pacedKb > 0) {
        const std::size_t bytes = pacedKb * 1024;
        const unsigned rate = 92160;
        const Run r = Transfer(dir, bytes, rate);
        // What the wire has to carry: announcement, both acknowledgements of the handshake, then
        // per piece a data frame out and an acknowledgement back.
        const double wireBytes = (10.0 + 36) + 14 + 14 + static_cast<double>(r.frames) * (1530 + 14);
        const double wire = wireBytes / rate;
        std::printf(
            "paced at %u B/s: %zu KiB in %.2f s, wire time %.2f s, elapsed/wire %.3f (target <= 1.03) "
            "(%s)\n",
            rate, pacedKb, r.seconds, wire, r.seconds / wire, r.ok ? "flashed byte for byte" : "FAILED");
        status |= r.ok ? 0 : 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}

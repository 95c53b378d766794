// A whole flashing run, every phase in its order, against handset-sim, paced at the wire's rate
// (92160 bytes/s models 921600 baud 8N1) or unpaced. Prints, for the transfers:
//   - elapsed time over wire time: the wire time is the bytes that crossed the link in either
//     direction during the transfers, counted by the simulator's process, over the rate; the
//     sequence's fixed pauses, the wait for the rebooted handset and its announcement are not
//     transfers and are left out;
//   - host CPU seconds per MiB sent and as a share of one core;
//   - the process's peak resident memory (VmHWM);
//   - handset-sim's verdict (exit status 1 when it is not "flashed byte for byte").
//
//   whole_run_bench [--sim PATH] [--make-images PATH] [--rate B] [--flash-size B] [--amss-size B]
//                   [--quiet]
#include "SimProcess.h"
#include "pages/DownloadPage.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
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

using Clock = std::chrono::steady_clock;

// Bytes the simulator's process has read (from the host) and written (to the host) so far. Its
// image files are read before it announces itself and its few stdout lines fall outside the
// transfers, so between two points of a transfer these are the link's bytes.
struct LinkBytes {
    long long fromHost = 0;
    long long toHost = 0;
};

LinkBytes SimIo(pid_t sim) {
    LinkBytes io;
    std::ifstream in("/proc/" + std::to_string(sim) + "/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        if (key == "rchar:")
            io.fromHost = value;
        else if (key == "wchar:")
            io.toHost = value;
    }
    return io;
}

// A download page that draws nothing and measures its transfers. A phase is timed whole, except
// the flash image transfer, which is timed from its first piece (after the handset's
// announcement and the handshake) to the completion message.
class BenchPage : public CDownloadPage {
public:
    BenchPage(const std::string& dir, pid_t sim) : m_sim(sim) {
        const std::wstring w(dir.begin(), dir.end());
        std::wcsncpy(m_imageDir, w.c_str(), kImageDirCapacity - 1);
    }

    void SetStatusText(const wchar_t* text) override { m_status = text; }
    void SetPhaseProgress(int) override {
        if (m_status == L"Downloading flash..." && !m_inFlash) {
            m_inFlash = true;
            Begin();
        }
    }
    void SetOverallProgress(int) override {}
    void ShowPageMessage(const wchar_t* text, const wchar_t*, UINT) override {
        if (m_inFlash) {
            End();
            m_inFlash = false;
        }
        m_lastMessage = text;
    }
    void ShowOwnerlessMessage(const wchar_t* text, const wchar_t*, UINT) override { m_lastMessage = text; }
    // The fixed pauses are no transfer: shortened, they only make the bench quicker. The probe
    // loop still waits for the simulator's return.
    void Pause(DWORD milliseconds) override { Sleep(milliseconds / 10); }
    void OfferFinish() override { m_finished = true; }

    int SwitchToDownloadMode() override {
        return Timed([this] { return CDownloadPage::SwitchToDownloadMode(); });
    }
    int SendHelloPacket() override {
        return Timed([this] { return CDownloadPage::SendHelloPacket(); });
    }
    int SendReadPacket() override {
        return Timed([this] { return CDownloadPage::SendReadPacket(); });
    }
    int SendSecurityPacket() override {
        return Timed([this] { return CDownloadPage::SendSecurityPacket(); });
    }
    int SendPartitionTable() override {
        return Timed([this] { return CDownloadPage::SendPartitionTable(); });
    }
    int SendOemSbl() override {
        return Timed([this] { return CDownloadPage::SendOemSbl(); });
    }
    int SendAmss() override {
        return Timed([this] { return CDownloadPage::SendAmss(); });
    }
    int SendAppsBoot() override {
        return Timed([this] { return CDownloadPage::SendAppsBoot(); });
    }

    double seconds = 0;
    double cpu = 0;
    LinkBytes link;
    std::wstring m_lastMessage;
    bool m_finished = false;

private:
    template <class Phase> int Timed(Phase phase) {
        Begin();
        const int result = phase();
        End();
        return result;
    }
    void Begin() {
        m_t0 = Clock::now();
        m_cpu0 = CpuSeconds();
        m_io0 = SimIo(m_sim);
    }
    void End() {
        seconds += std::chrono::duration<double>(Clock::now() - m_t0).count();
        cpu += CpuSeconds() - m_cpu0;
        const LinkBytes io = SimIo(m_sim);
        link.fromHost += io.fromHost - m_io0.fromHost;
        link.toHost += io.toHost - m_io0.toHost;
    }

    pid_t m_sim;
    std::wstring m_status;
    bool m_inFlash = false;
    Clock::time_point m_t0;
    double m_cpu0 = 0;
    LinkBytes m_io0;
};

std::string Option(int argc, char** argv, const char* name, std::string fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    g_sim = Option(argc, argv, "--sim", g_sim);
    g_makeImages = Option(argc, argv, "--make-images", g_makeImages);
    const unsigned rate =
        static_cast<unsigned>(std::strtoul(Option(argc, argv, "--rate", "92160").c_str(), nullptr, 10));
    const std::string flashSize = Option(argc, argv, "--flash-size", "524288");
    const std::string amssSize = Option(argc, argv, "--amss-size", "524288");
    if (g_sim.empty() || g_makeImages.empty()) {
        std::fprintf(stderr, "handset-sim and make-images are needed (--sim PATH --make-images PATH)\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vestrel-whole-run-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return 2;
    const std::filesystem::path dir = pattern;
    const std::string images = (dir / "images").string();
    const int made = WaitExit(SpawnProcess(
        {g_makeImages, "--out", images, "--flash-size", flashSize, "--amss-size", amssSize}, nullptr));
    if (made != 0) {
        std::fprintf(stderr, "make-images failed\n");
        std::filesystem::remove_all(dir);
        return 2;
    }

    const std::string link = (dir / "wceusbsh001").string();
    int out = -1;
    const pid_t sim = SpawnProcess({g_sim, "--link", link, "--images", images, "--rate", std::to_string(rate),
                                    "--return-ms", "500", "--verdict", (dir / "verdict.json").string(),
                                    "--summary", (dir / "summary.txt").string(), "--exit-after-idle", "60"},
                                   &out);
    if (sim < 0 || !WaitForLine(out, "ready")) {
        std::fprintf(stderr, "handset-sim did not start\n");
        std::filesystem::remove_all(dir);
        return 2;
    }
    setenv("VESTREL_DEVICE_WCEUSBSH001", link.c_str(), 1);

    BenchPage page(images, sim);
    int result = 0;
    if (page.m_port.Open(kDeviceName) && page.m_port.ConfigureState() && page.m_port.ConfigureTimeouts())
        result = static_cast<int>(FlashingSequence(&page));
    const int simExit = WaitExit(sim);
    close(out);
    std::ifstream summary(dir / "summary.txt");
    std::stringstream summaryText;
    summaryText << summary.rdbuf();

    const double mib = 1024.0 * 1024.0;
    const double sentMiB = static_cast<double>(page.link.fromHost) / mib;
    const long long wireBytes = page.link.fromHost + page.link.toHost;
    std::printf("images: FLASH.bin %s bytes, amss.mbn %s bytes, the rest make-images' defaults\n",
                flashSize.c_str(), amssSize.c_str());
    std::printf("transfers: %.2f s; %lld bytes to the handset, %lld from it\n", page.seconds,
                page.link.fromHost, page.link.toHost);
    if (rate > 0) {
        const double wire = static_cast<double>(wireBytes) / rate;
        std::printf("paced at %u B/s: wire time %.2f s, elapsed/wire %.3f (target <= 1.03)\n", rate, wire,
                    page.seconds / wire);
    } else {
        std::printf("unpaced: %.1f MiB/s sent\n", sentMiB / page.seconds);
    }
    std::printf("host CPU: %.3f s, %.4f s per MiB sent, %.2f%% of one core during transfers (target < 2%%)\n",
                page.cpu, page.cpu / sentMiB, 100.0 * page.cpu / page.seconds);
    std::printf("peak RSS: %.1f MiB (target < 16 MiB)\n", static_cast<double>(PeakRssKib()) / 1024.0);
    const bool ok = result == 1 && page.m_finished && simExit == 0;
    std::printf("handset-sim: %s\n", ok ? "flashed byte for byte" : "FAILED");
    if (!ok) {
        std::fprintf(stderr, "run result %d, last message \"%ls\", handset-sim exit %d\n%s\n", result,
                     page.m_lastMessage.c_str(), simExit, summaryText.str().c_str());
    }
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}

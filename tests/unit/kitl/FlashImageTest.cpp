// The flash image transfer against a scripted handset on a pseudo-terminal, with a page that
// records what it shows.
#include "ScriptedHandset.h"

#include "protocol/kitl/KitlLink.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

const std::string kDone = "box:Vestrel:64:Upgrade completed, download successful, please reboot your device.";

Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 31 + 7 + i / 251);
    return b;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class FlashImageTest : public ::testing::Test {
protected:
    void SetUp() override { PointDeviceAt(m_peer); }
    void TearDown() override { EXPECT_EQ(g_kitlLink.device, INVALID_HANDLE_VALUE) << "device left open"; }

    TempDir m_dir;
    PtyPeer m_peer;
    RecordingPage m_page{m_dir.PathW()};
};

struct SizeCase {
    std::size_t size;
    std::size_t frames;
    std::vector<std::string> progress; // events between the opening status and "Upgrade finished"
};

TEST_F(FlashImageTest, SendsTheFileInPaddedPiecesAndReportsProgress) {
    const SizeCase cases[] = {
        {0, 0, {}},
        {1, 1, {"phase:0", "overall:80", "phase:100", "overall:100"}},
        {1516, 1, {"phase:0", "overall:80", "phase:100", "overall:100"}},
        {1517, 2, {"phase:0", "overall:80", "phase:99", "overall:99", "phase:100", "overall:100"}},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.size);
        Watchdog dog(20s, "transfer");
        m_page.ClearEvents();
        const Bytes content = Pattern(c.size);
        m_dir.Write("FLASH.bin", content);
        const DWORD firstSequence = g_kitlLink.sequence;

        ScriptedHandset handset(m_peer, TakeFrames(c.frames));
        EXPECT_EQ(m_page.SendFlashImage(), 1);
        handset.Join();

        EXPECT_EQ(handset.problem, "");
        ASSERT_EQ(handset.frames.size(), c.frames);
        for (std::size_t i = 0; i < c.frames; ++i)
            EXPECT_EQ(handset.frames[i].sequence, firstSequence + i);
        EXPECT_EQ(g_kitlLink.sequence, firstSequence + c.frames);
        Bytes padded = content;
        padded.resize(c.frames * 1516, 0);
        EXPECT_EQ(Reassemble(handset.frames), padded);

        std::vector<std::string> expected = {"status:Downloading flash..."};
        expected.insert(expected.end(), c.progress.begin(), c.progress.end());
        expected.insert(expected.end(), {"status:Upgrade finished", "overall:100", kDone, "phase:100"});
        EXPECT_EQ(m_page.Events(), expected);
        EXPECT_EQ(m_page.PercentLabel(), L"100%");
    }
}

// 25 pieces: the phase bar moves in steps of 4, the overall bar only when 80 + phase / 5 grows,
// so it passes through every value from 80 to 100 once.
TEST_F(FlashImageTest, OverallBarOnlyRises) {
    Watchdog dog(30s, "25 pieces");
    m_dir.Write("FLASH.bin", Pattern(25 * 1516));
    ScriptedHandset handset(m_peer, TakeFrames(25));
    EXPECT_EQ(m_page.SendFlashImage(), 1);
    handset.Join();
    EXPECT_EQ(handset.problem, "");

    std::vector<int> phase;
    for (int p = 0; p <= 100; p += 4)
        phase.push_back(p);
    phase.push_back(100); // the final position after the completion message
    EXPECT_EQ(m_page.PhasePositions(), phase);
    std::vector<int> overall;
    for (int p = 80; p <= 100; ++p)
        overall.push_back(p);
    overall.push_back(100); // "Upgrade finished"
    EXPECT_EQ(m_page.OverallPositions(), overall);
}

TEST_F(FlashImageTest, DeviceThatCannotBeOpened) {
    PointDeviceAtPath((m_dir.Path() / "no-such-device").c_str());
    EXPECT_EQ(m_page.SendFlashImage(), 0);
    const std::string text = "open USB port fail, error code = " + std::to_string(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_page.Events(), (std::vector<std::string>{"status:Downloading flash...",
                                                         "box:(app title):0:" + text, "status:" + text}));
}

// FLASH.bin is only opened once the handshake is done; a file that cannot be opened or read ends
// the phase with a message, and the device is closed.
TEST_F(FlashImageTest, FlashImageThatCannotBeOpenedOrRead) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> make;
        std::string message;
    };
    const Case cases[] = {
        {"missing", [](const std::filesystem::path&) {}, "Download flash error: open file fail."},
        // Reading this process's memory from address 0 fails with an I/O error.
        {"read error",
         [](const std::filesystem::path& dir) {
             std::filesystem::create_symlink("/proc/self/mem", dir / "FLASH.bin");
         },
         "Download flash error: read file fail."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.make(dir.Path());
        RecordingPage page(dir.PathW());
        ScriptedHandset handset(m_peer, TakeFrames(0));
        Watchdog dog(20s, c.name);
        EXPECT_EQ(page.SendFlashImage(), 0);
        handset.Join();
        EXPECT_EQ(handset.problem, "");
        // (A file of length 0 as the unreadable one reports moves no bar.)
        std::vector<std::string> expected = {"status:Downloading flash..."};
        expected.push_back("box:Vestrel:16:" + c.message);
        expected.push_back("status:" + c.message.substr(0, c.message.size() - 1) + ". Download process stop");
        EXPECT_EQ(page.Events(), expected);
        EXPECT_EQ(g_kitlLink.device, INVALID_HANDLE_VALUE);
    }
}

// A handset unplugged while the program waits for it: the wait gives up once reads keep failing,
// sleeping between attempts rather than spinning.
TEST_F(FlashImageTest, HandsetThatVanishesEndsThePhase) {
    struct Case {
        const char* name;
        HandsetScript script;
        std::vector<std::string> progress;
    };
    const Case cases[] = {
        {"before the announcement", VanishBeforeAnnouncing(), {}},
        {"after the first data frame", VanishAfterFrames(1), {"phase:0", "overall:80"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPeer peer;
        PointDeviceAt(peer);
        RecordingPage page(m_dir.PathW());
        m_dir.Write("FLASH.bin", Pattern(3 * 1516));
        Watchdog dog(30s, c.name);

        ScriptedHandset handset(peer, c.script);
        const double cpuBefore = ProcessCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        EXPECT_EQ(page.SendFlashImage(), 0);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        handset.Join();

        std::vector<std::string> expected = {"status:Downloading flash..."};
        expected.insert(expected.end(), c.progress.begin(), c.progress.end());
        expected.insert(expected.end(),
                        {"box:Vestrel:16:Download flash error: the USB connection to the handset was lost.",
                         "status:Download flash error: the USB connection to the handset was lost. Download "
                         "process stop"});
        EXPECT_EQ(page.Events(), expected);
        EXPECT_EQ(g_kitlLink.device, INVALID_HANDLE_VALUE);
        // Giving up takes seconds of wall time; a busy loop would burn about as much processor time.
        EXPECT_LT(cpu, 0.5) << "wall " << wall << " s";
    }
}

// Cancel stops the worker while it waits for the handset: the device must not stay open behind
// it (its shared lock would keep the next exclusive open out).
TEST_F(FlashImageTest, StoppedWorkerLeavesNoDeviceOpen) {
    Watchdog dog(20s, "stop");
    std::unique_ptr<CWinThread> worker(AfxBeginThread(
        [](LPVOID page) -> UINT {
            return static_cast<UINT>(static_cast<CDownloadPage*>(page)->SendFlashImage());
        },
        &m_page));
    // The handset stays silent; give the worker time to open the device and start waiting.
    std::this_thread::sleep_for(300ms);
    EXPECT_NE(g_kitlLink.device, INVALID_HANDLE_VALUE);
    worker->ForceStop(31);
    EXPECT_EQ(worker->Wait(5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker->ExitCode(), 31u);
    EXPECT_EQ(g_kitlLink.device, INVALID_HANDLE_VALUE);
}

} // namespace

// Whole flashing runs against handset-sim with things going wrong on the way: the handset
// pulled out in the middle of each transfer, answers spoiled on the line, a handset that stops
// answering, one that never comes back after its reboot. Each run must end as the user expects:
// a stop with a clear message, or a wait that Cancel ends within its two seconds; afterwards the
// port is closed, the worker has ended and no terminal is left open.
#include "SimHandset.h"

#include "link/SerialCom.h"
#include "protocol/kitl/KitlLink.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Small images that still take a while on the wire (so an unplug lands mid-transfer) and cross
// the chunk boundaries: 20 write packets, full chunks plus a short one, 40 kITL pieces.
const std::vector<std::string> kImageOptions = {"--programmer-size", "20340", "--oemsbl-size",   "2100",
                                                "--amss-size",       "20481", "--appsboot-size", "700",
                                                "--flash-size",      "60641"};

// The download page with the sequence's pauses shortened, a hook on every phase-bar move (the
// moment to pull the cable) and no wizard sheet to offer Finish to.
class FaultPage : public RecordingPage {
public:
    using RecordingPage::RecordingPage;

    std::function<void(const std::wstring& status, int pos)> onPhaseProgress;
    DWORD pauseDivisor = 50;
    std::atomic<bool> finishOffered{false};

    void SetPhaseProgress(int pos) override {
        RecordingPage::SetPhaseProgress(pos);
        if (onPhaseProgress)
            onPhaseProgress(Status(), pos);
    }
    // Sleep, not a busy wait: Cancel must be able to stop the worker in it.
    void Pause(DWORD milliseconds) override { Sleep(milliseconds / pauseDivisor); }
    void OfferFinish() override { finishOffered = true; }
};

class FaultRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fault::MakeImages(dir.Path() / "images", kImageOptions));
        setenv("VESTREL_DEVICE_WCEUSBSH001", Link().c_str(), 1);
        terminalsBefore = fault::OpenTerminals();
        page = std::make_unique<FaultPage>((dir.Path() / "images").wstring());
    }

    void TearDown() override {
        if (page && page->m_worker != nullptr)
            page->OnCancel(); // never leave a worker behind, whatever failed above
    }

    std::string Link() const { return (dir.Path() / "wceusbsh001").string(); }

    void StartSim(const std::vector<std::string>& options) {
        sim = std::make_unique<fault::SimHandset>(Link(), dir.Path() / "images", dir.Path() / "verdict.json",
                                                  options);
        ASSERT_TRUE(sim->Ready()) << "handset-sim did not come up";
    }

    // What the welcome page does on Next, then what the download page does on creation.
    void StartRun() {
        ASSERT_TRUE(page->m_port.Open(kDeviceName));
        ASSERT_TRUE(page->m_port.ConfigureState());
        ASSERT_TRUE(page->m_port.ConfigureTimeouts());
        page->m_worker = AfxBeginThread(FlashingSequence, page.get());
        ASSERT_NE(page->m_worker, nullptr);
    }

    bool WorkerEnded(std::chrono::milliseconds limit) {
        return page->m_worker->Wait(static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    }

    bool WaitForStatus(const std::wstring& status, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (page->Status() != status) {
            if (Clock::now() > end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // The user's Cancel after the run has ended by itself: nothing to wait for.
    void CancelAfterTheEnd() {
        const auto start = Clock::now();
        page->OnCancel();
        EXPECT_LT(Clock::now() - start, 1s) << "Cancel waited for a worker that had ended";
    }

    void ExpectNothingLeft() {
        EXPECT_EQ(page->m_worker, nullptr);
        EXPECT_FALSE(page->m_port.IsOpen()) << "port left open";
        EXPECT_EQ(g_kitlLink.device, INVALID_HANDLE_VALUE) << "kITL device left open";
        EXPECT_EQ(fault::OpenTerminals(), terminalsBefore) << "a terminal is still open";
    }

    // A failure as the page shows it: one box with that text, then the status line, both bars
    // back to 0.
    void ExpectStop(const std::string& box, const std::wstring& status) {
        const auto messages = page->Messages();
        ASSERT_FALSE(messages.empty()) << "no message box";
        EXPECT_EQ(Narrow(messages.front().text), box);
        EXPECT_EQ(page->Status(), status);
        EXPECT_EQ(page->PercentLabel(), L"0%");
        ASSERT_FALSE(page->PhasePositions().empty());
        EXPECT_EQ(page->PhasePositions().back(), 0);
        EXPECT_EQ(page->OverallPositions().back(), 0);
        EXPECT_FALSE(page->finishOffered);
    }

    void ExpectFlashedByteForByte() {
        EXPECT_TRUE(page->finishOffered);
        EXPECT_EQ(page->PercentLabel(), L"100%");
        const std::optional<int> simExit = sim->WaitExit(20s);
        EXPECT_EQ(simExit, std::optional<int>(0)) << sim->VerdictText();
    }

    TempDir dir;
    std::vector<std::string> terminalsBefore;
    std::unique_ptr<FaultPage> page;
    std::unique_ptr<fault::SimHandset> sim;
};

TEST_F(FaultRun, ControlRunFlashesByteForByte) {
    StartSim({});
    StartRun();
    ASSERT_TRUE(WorkerEnded(120s));
    EXPECT_EQ(page->m_worker->ExitCode(), 1u);
    EXPECT_TRUE(page->Messages().size() == 1 &&
                Narrow(page->Messages()[0].text) ==
                    "Upgrade completed, download successful, please reboot your device.");
    ExpectFlashedByteForByte();
    CancelAfterTheEnd();
    ExpectNothingLeft();
}

// ---- The handset pulled out in the middle of a transfer ----

struct UnplugCase {
    const char* name;
    const wchar_t* phaseStatus; // the transfer during which the cable goes
    int atPhasePercent;
    const char* box;
    const wchar_t* status;
};

class Unplugged : public FaultRun, public ::testing::WithParamInterface<UnplugCase> {};

TEST_P(Unplugged, StopsWithAClearMessageAndClosesEverything) {
    const UnplugCase& c = GetParam();
    StartSim({});
    std::atomic<bool> pulled{false};
    page->onPhaseProgress = [&](const std::wstring& status, int pos) {
        if (!pulled && status == c.phaseStatus && pos >= c.atPhasePercent) {
            pulled = true;
            sim->Unplug();
        }
    };
    StartRun();
    ASSERT_TRUE(WorkerEnded(60s)) << "the run did not end after the unplug";
    EXPECT_TRUE(pulled);
    EXPECT_EQ(page->m_worker->ExitCode(), 0u);
    ExpectStop(c.box, c.status);
    CancelAfterTheEnd();
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    DuringEachTransfer, Unplugged,
    ::testing::Values(
        UnplugCase{"ProgrammerUpload", L"Switching to download mode...", 30,
                   "Switch to Upgrade Mode error: read port fail.",
                   L"Switch to Upgrade Mode error: read port fail. Download process stop"},
        UnplugCase{"ImageStream", L"Sending AMSS...", 30, "Reading from the serial port failed.",
                   L"Reading from the serial port failed. Download process stop."},
        UnplugCase{
            "KitlTransfer", L"Downloading flash...", 30,
            "Download flash error: the USB connection to the handset was lost.",
            L"Download flash error: the USB connection to the handset was lost. Download process stop"}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- Spoiled bytes in the handset's answers ----

struct SpoiledCase {
    const char* name;
    std::vector<std::string> simOptions;
    const char* box; // nullptr: the program copes and the run completes
    const wchar_t* status;
};

class SpoiledAnswer : public FaultRun, public ::testing::WithParamInterface<SpoiledCase> {};

TEST_P(SpoiledAnswer, EndsAsTheAnswerDeserves) {
    const SpoiledCase& c = GetParam();
    StartSim(c.simOptions);
    StartRun();
    ASSERT_TRUE(WorkerEnded(120s)) << "the run did not end";
    if (c.box == nullptr) {
        EXPECT_EQ(page->m_worker->ExitCode(), 1u);
        ExpectFlashedByteForByte();
    } else {
        EXPECT_EQ(page->m_worker->ExitCode(), 0u);
        ExpectStop(c.box, c.status);
    }
    CancelAfterTheEnd();
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SpoiledAnswer,
    ::testing::Values(
        SpoiledCase{"HelloMagic",
                    {"--scenario", "hello-bad"},
                    "Send hello packet fail.",
                    L"Send hello packet fail. Download process stop"},
        SpoiledCase{"ReadAddress",
                    {"--scenario", "read-bad"},
                    "Send read packet fail.",
                    L"Send read packet fail. Download process stop"},
        SpoiledCase{"SecurityFcs",
                    {"--scenario", "security-bad"},
                    "Send security packet fail.",
                    L"Send security packet fail. Download process stop"},
        SpoiledCase{"PartitionCode",
                    {"--scenario", "partition-foreign"},
                    "Unknown response packet, fail",
                    L"Unknown response packet. Download process stop."},
        SpoiledCase{
            "StreamWriteCode",
            {"--scenario", "stream-bad", "--image", "amss", "--chunk", "3"},
            "Stream write response packet (0x08) error ",
            L"Upgrade partition fail: Stream write response packet (0x08) error. Download process stop."},
        SpoiledCase{"CloseCode",
                    {"--scenario", "close-bad", "--image", "appsboot"},
                    "Closed packet response (0x16) error ",
                    L"Upgrade partition fail: Closed packet response (0x16) error. Download process stop."},
        // What the program rides over.
        SpoiledCase{"HelloCase", {"--scenario", "hello-case"}, nullptr, nullptr},
        SpoiledCase{"StreamOffset",
                    {"--scenario", "stream-offset", "--image", "amss", "--chunk", "4"},
                    nullptr,
                    nullptr},
        SpoiledCase{"StreamLate",
                    {"--scenario", "stream-late", "--image", "amss", "--chunk", "5", "--count", "2"},
                    nullptr,
                    nullptr},
        SpoiledCase{"KitlGarbage", {"--scenario", "kitl-garbage"}, nullptr, nullptr},
        SpoiledCase{"KitlStrayByte", {"--scenario", "kitl-stray", "--chunk", "7"}, nullptr, nullptr},
        SpoiledCase{"KitlBadHeader", {"--scenario", "kitl-bad-header", "--chunk", "7"}, nullptr, nullptr},
        SpoiledCase{"KitlRepeats", {"--scenario", "kitl-repeat"}, nullptr, nullptr}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(FaultRun, SecurityFailureShowsTheSequencesOwnBoxToo) {
    StartSim({"--scenario", "security-bad"});
    StartRun();
    ASSERT_TRUE(WorkerEnded(60s));
    const auto messages = page->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(Narrow(messages[1].text), "Send \"Security Packet\" fail");
    EXPECT_EQ(Narrow(messages[1].caption), "Error");
    EXPECT_TRUE(messages[1].ownerless);
    CancelAfterTheEnd();
    ExpectNothingLeft();
}

// ---- A handset that stops answering ----

struct SilentCase {
    const char* stage;
    const wchar_t* phaseStatus; // where the worker then waits
};

class StopsAnswering : public FaultRun, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(StopsAnswering, TheWaitCostsNoProcessorAndCancelEndsIt) {
    const SilentCase& c = GetParam();
    StartSim({"--scenario", "silent", "--at", c.stage});
    StartRun();
    ASSERT_TRUE(WaitForStatus(c.phaseStatus, 60s)) << "the run never reached the silent stage";
    std::this_thread::sleep_for(500ms);

    // Waiting, not spinning: over a second and a half the process uses a small share of a core.
    const double cpuBefore = fault::ProcessCpuSeconds();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const double cpu = fault::ProcessCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    EXPECT_LT(cpu / wall, 0.25) << "the wait keeps the processor busy";
    ASSERT_EQ(page->m_worker->Wait(0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the worker gave up by itself";

    const auto start = Clock::now();
    page->OnCancel();
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(page->m_workerExitCode, 31u);
    ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(AtEachWait, StopsAnswering,
                         ::testing::Values(SilentCase{"download", L"Switching to download mode..."},
                                           SilentCase{"hello", L"Sending hello packet..."},
                                           SilentCase{"partition", L"Sending partition table..."},
                                           SilentCase{"open", L"Sending OEM second bootloader..."},
                                           SilentCase{"close", L"Sending OEM second bootloader..."},
                                           SilentCase{"kitl-announce", L"Downloading flash..."},
                                           SilentCase{"kitl-ack", L"Downloading flash..."},
                                           SilentCase{"kitl-data", L"Downloading flash..."}),
                         [](const auto& test) {
                             std::string name = test.param.stage;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// ---- A handset that never comes back after its reboot ----

TEST_F(FaultRun, HandsetThatNeverReturnsEndsInAnOpenFailure) {
    page->pauseDivisor = 400; // 301 probes, each after a pause of 5 ms instead of 2 s
    StartSim({"--scenario", "no-return"});
    StartRun();
    ASSERT_TRUE(WorkerEnded(120s));
    EXPECT_EQ(page->m_worker->ExitCode(), 0u);
    const auto messages = page->Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(Narrow(messages[0].text).rfind("open USB port fail, error code = ", 0), 0u)
        << Narrow(messages[0].text);
    EXPECT_EQ(page->Status(), messages[0].text);
    EXPECT_EQ(page->PercentLabel(), L"0%");
    CancelAfterTheEnd();
    ExpectNothingLeft();
}

} // namespace

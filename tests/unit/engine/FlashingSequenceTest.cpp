// The flashing sequence with scripted phases and a fast clock: phase order, milestones, pauses,
// the probe loop, the reset after a failure, and Cancel against a real worker thread.
#include "support/PtyPeer.h"
#include "support/RecordingPage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kNever = -1;

const char* const kPhaseNames[] = {
    "SwitchToDownloadMode", "SendHelloPacket", "SendReadPacket", "SendSecurityPacket", "SendPartitionTable",
    "SendOemSbl",           "SendAmss",        "SendAppsBoot",   "SendReboot",         "SendFlashImage"};

// Phases are numbered 1 to 10 in the order the sequence runs them. A failing phase moves the
// phase bar and reports as a real one does, so the reset and the untouched status are visible.
class ScriptedPage : public RecordingPage {
public:
    int failAt = 0;                  // phase that returns 0; 0 for none
    int blockAt = 0;                 // phase that waits for a response that never comes
    int failedProbesBeforeFound = 0; // kNever: the device never comes back
    std::vector<bool> portOpenAtProbe;
    bool portOpenAtReboot = false;

    int SwitchToDownloadMode() override { return Phase(1); }
    int SendHelloPacket() override { return Phase(2); }
    int SendReadPacket() override { return Phase(3); }
    int SendSecurityPacket() override { return Phase(4); }
    int SendPartitionTable() override { return Phase(5); }
    int SendOemSbl() override { return Phase(6); }
    int SendAmss() override { return Phase(7); }
    int SendAppsBoot() override { return Phase(8); }
    void SendReboot() override {
        portOpenAtReboot = m_port.IsOpen();
        Phase(9);
    }
    int SendFlashImage() override { return Phase(10); }

    void SetPhaseProgress(int pos) override {
        Log("phase:" + std::to_string(pos));
        RecordingPage::SetPhaseProgress(pos);
    }
    void SetOverallProgress(int pos) override {
        Log("overall:" + std::to_string(pos));
        RecordingPage::SetOverallProgress(pos);
    }
    void ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override {
        Log("box:" + Narrow(caption ? caption : L"(app title)"));
        RecordingPage::ShowPageMessage(text, caption, icon);
    }
    void ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override {
        Log("obox:" + Narrow(caption) + ":" + std::to_string(icon) + ":" + Narrow(text));
        RecordingPage::ShowOwnerlessMessage(text, caption, icon);
    }
    void Pause(DWORD milliseconds) override { Log("pause:" + std::to_string(milliseconds)); }
    bool ProbeDevice() override {
        portOpenAtProbe.push_back(m_port.IsOpen());
        Log("probe");
        return failedProbesBeforeFound != kNever &&
               static_cast<int>(portOpenAtProbe.size()) > failedProbesBeforeFound;
    }
    void OfferFinish() override { Log("finish"); }

    std::vector<std::string> Log() const {
        std::lock_guard lock(m_logMutex);
        return m_log;
    }

private:
    void Log(std::string entry) {
        std::lock_guard lock(m_logMutex);
        m_log.push_back(std::move(entry));
    }

    int Phase(int number) {
        const std::string name = kPhaseNames[number - 1];
        Log(name);
        if (number == blockAt) {
            // Like a response reader waiting for its opening flag: the peer never sends one.
            BYTE b = 0;
            while (b != 0x7E)
                m_port.ReadByte(b);
        }
        if (number != failAt)
            return 1;
        SetPhaseProgress(50);
        const std::wstring text(name.begin(), name.end());
        ShowPageMessage((text + L" fail").c_str(), L"Vestrel", MB_ICONERROR);
        SetStatusText((text + L" fail. Download process stop").c_str());
        return 0;
    }

    mutable std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

const std::vector<std::string> kCompleteRun = {"SwitchToDownloadMode", "overall:10",     "pause:5000",
                                               "SendHelloPacket",      "SendReadPacket", "SendSecurityPacket",
                                               "SendPartitionTable",   "overall:20",     "SendOemSbl",
                                               "overall:40",           "SendAmss",       "overall:60",
                                               "SendAppsBoot",         "overall:80",     "SendReboot",
                                               "pause:5000",           "probe",          "pause:3000",
                                               "SendFlashImage",       "overall:100",    "finish"};

// The page's port holds a real device (a pseudo-terminal), so "closed" means a closed handle.
class FlashingSequenceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(page.m_port.Open(peer.SlavePathW().c_str())); }
    void TearDown() override {
        if (page.m_port.IsOpen())
            page.m_port.Close();
    }

    PtyPeer peer;
    ScriptedPage page;
};

TEST_F(FlashingSequenceTest, CompleteRunReachesEveryMilestoneAndOffersFinish) {
    EXPECT_EQ(FlashingSequence(&page), 1u);
    EXPECT_EQ(page.Log(), kCompleteRun);
    EXPECT_EQ(page.PercentLabel(), L"100%");
    EXPECT_TRUE(page.Messages().empty());
    EXPECT_TRUE(page.portOpenAtReboot);
    // The last phase opens the device itself: the page's port stays closed from the probe on.
    EXPECT_FALSE(page.m_port.IsOpen());
}

TEST_F(FlashingSequenceTest, FailureAtAnyPhaseStopsThereAndResetsThePage) {
    for (int failing : {1, 2, 3, 4, 5, 6, 7, 8, 10}) {
        const std::string name = kPhaseNames[failing - 1];
        SCOPED_TRACE(name);
        // Each case on its own device: the fixture's port holds the other one exclusively.
        PtyPeer casePeer;
        ScriptedPage failPage;
        ASSERT_TRUE(failPage.m_port.Open(casePeer.SlavePathW().c_str()));
        failPage.failAt = failing;

        EXPECT_EQ(FlashingSequence(&failPage), 0u);

        // Everything up to the failing phase as in a complete run, then its own report, then
        // the reset; no later phase and no later milestone.
        std::vector<std::string> expected(kCompleteRun.begin(),
                                          std::find(kCompleteRun.begin(), kCompleteRun.end(), name) + 1);
        expected.insert(expected.end(), {"phase:50", "box:Vestrel"});
        if (name == "SendSecurityPacket")
            expected.push_back("obox:Error:16:Send \"Security Packet\" fail");
        expected.insert(expected.end(), {"phase:0", "overall:0"});
        EXPECT_EQ(failPage.Log(), expected);

        EXPECT_EQ(failPage.PercentLabel(), L"0%");
        EXPECT_EQ(failPage.Status(),
                  std::wstring(name.begin(), name.end()) + L" fail. Download process stop");
        EXPECT_FALSE(failPage.m_port.IsOpen());
    }
}

TEST_F(FlashingSequenceTest, SecurityFailureShowsASecondOwnerlessErrorBox) {
    page.failAt = 4;
    FlashingSequence(&page);
    const auto messages = page.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_FALSE(messages[0].ownerless);
    EXPECT_TRUE(messages[1].ownerless);
    EXPECT_EQ(messages[1].text, L"Send \"Security Packet\" fail");
    EXPECT_EQ(messages[1].caption, L"Error");
    EXPECT_EQ(messages[1].icon, MB_ICONERROR);
}

TEST_F(FlashingSequenceTest, ProbeLoopWaitsForTheDeviceWithThePortClosed) {
    struct Case {
        int failedProbes;
        int probes;
    } const cases[] = {{0, 1}, {2, 3}, {299, 300}, {300, 301}, {kNever, 301}};
    for (const Case& c : cases) {
        SCOPED_TRACE("failed probes before found: " + std::to_string(c.failedProbes));
        PtyPeer casePeer;
        ScriptedPage probePage;
        ASSERT_TRUE(probePage.m_port.Open(casePeer.SlavePathW().c_str()));
        probePage.failedProbesBeforeFound = c.failedProbes;

        EXPECT_EQ(FlashingSequence(&probePage), 1u);

        // Between the reboot and the flash image: 5000 ms, the probes 2000 ms apart, 3000 ms.
        // The outcome of the loop does not matter: the flash image transfer runs in any case.
        std::vector<std::string> expected = {"SendReboot", "pause:5000", "probe"};
        for (int i = 1; i < c.probes; ++i)
            expected.insert(expected.end(), {"pause:2000", "probe"});
        expected.insert(expected.end(), {"pause:3000", "SendFlashImage"});
        const auto log = probePage.Log();
        const auto from = std::find(log.begin(), log.end(), "SendReboot");
        const auto to = std::find(log.begin(), log.end(), "SendFlashImage");
        ASSERT_NE(to, log.end());
        EXPECT_EQ(std::vector<std::string>(from, to + 1), expected);

        EXPECT_TRUE(probePage.portOpenAtReboot);
        EXPECT_EQ(probePage.portOpenAtProbe, std::vector<bool>(c.probes, false));
    }
}

TEST_F(FlashingSequenceTest, ImageDirectoryThatDidNotFitStopsBeforeAnyPhase) {
    page.m_imageDirTooLong = true;
    EXPECT_EQ(FlashingSequence(&page), 0u);
    EXPECT_EQ(page.Log(), (std::vector<std::string>{"box:Vestrel", "phase:0", "overall:0"}));
    const auto messages = page.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, MB_ICONERROR);
    EXPECT_NE(messages[0].text.find(L"255 characters"), std::wstring::npos);
    const std::wstring stop = L"Download process stop";
    const std::wstring status = page.Status();
    ASSERT_GE(status.size(), stop.size());
    EXPECT_EQ(status.substr(status.size() - stop.size()), stop);
    EXPECT_EQ(page.PercentLabel(), L"0%");
    EXPECT_FALSE(page.m_port.IsOpen());
}

// Cancel against the real worker thread.
using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(FlashingSequenceTest, CancelStopsAWorkerStuckInAPhaseAfterTwoSeconds) {
    page.blockAt = 2;
    page.m_worker = AfxBeginThread(FlashingSequence, &page);
    ASSERT_NE(page.m_worker, nullptr);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto log = page.Log();
            return std::find(log.begin(), log.end(), "SendHelloPacket") != log.end();
        },
        std::chrono::seconds(10)));

    const auto start = Clock::now();
    page.OnCancel();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    EXPECT_GE(took.count(), 1900);
    EXPECT_LT(took.count(), 15000);
    EXPECT_EQ(page.m_worker, nullptr);
    EXPECT_EQ(page.m_workerExitCode, 31u);
    EXPECT_FALSE(page.m_port.IsOpen());

    // A stopped worker does nothing more: no reset, no later phase.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(page.Log().back(), "SendHelloPacket");
}

TEST_F(FlashingSequenceTest, CancelAfterTheWorkerEndedDoesNotWait) {
    page.failAt = 1;
    page.m_worker = AfxBeginThread(FlashingSequence, &page);
    ASSERT_NE(page.m_worker, nullptr);
    ASSERT_EQ(page.m_worker->Wait(10000), WAIT_OBJECT_0);

    const auto start = Clock::now();
    page.OnCancel();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    EXPECT_LT(took.count(), 1000);
    EXPECT_EQ(page.m_worker, nullptr);
    EXPECT_EQ(page.m_workerExitCode, 0u);
    EXPECT_FALSE(page.m_port.IsOpen());
}

TEST_F(FlashingSequenceTest, CompleteRunOnTheWorkerEndsWithExitCodeOne) {
    page.m_worker = AfxBeginThread(FlashingSequence, &page);
    ASSERT_NE(page.m_worker, nullptr);
    ASSERT_EQ(page.m_worker->Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(page.m_worker->ExitCode(), 1u);
    EXPECT_EQ(page.Log().back(), "finish");
}

} // namespace

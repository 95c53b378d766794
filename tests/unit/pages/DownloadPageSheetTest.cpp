// The download page in a running wizard sheet (the posix window model), with scripted phases and
// its real reporting operations: what the page shows, the wizard buttons, the hand-over of the
// welcome page's device, and Cancel.
#include "pages/DownloadPage.h"
#include "pages/WelcomePage.h"
#include "platform/posix/UiModel.h"
#include "support/PtyPeer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The phases report as real ones do, through the page's own operations; phase k shows
// "phase k" and moves the phase bar to 10 k. Nothing waits: pauses are skipped and the device
// is back at the first probe.
class ScriptedDownloadPage : public CDownloadPage {
public:
    int failAt = 0;
    int reportForeverAt = 0; // this phase keeps reporting and never returns
    HANDLE deviceInFirstPhase = INVALID_HANDLE_VALUE;
    std::wstring statusAtFirstPhase;

    int SwitchToDownloadMode() override {
        deviceInFirstPhase = m_port.m_hDevice;
        RunOnUiThread([&] { statusAtFirstPhase = GetDlgItemText(IDC_STATUS_LINE); });
        return Phase(1);
    }
    int SendHelloPacket() override { return Phase(2); }
    int SendReadPacket() override { return Phase(3); }
    int SendSecurityPacket() override { return Phase(4); }
    int SendPartitionTable() override { return Phase(5); }
    int SendOemSbl() override { return Phase(6); }
    int SendAmss() override { return Phase(7); }
    int SendAppsBoot() override { return Phase(8); }
    void SendReboot() override { Phase(9); }
    int SendFlashImage() override {
        if (failAt == 10) {
            // The one failure shown without a caption of its own.
            ShowPageMessage(L"no device", nullptr, 0);
            return 0;
        }
        return Phase(10);
    }
    void Pause(DWORD) override {}
    bool ProbeDevice() override { return true; }

private:
    int Phase(int k) {
        SetStatusText((L"phase " + std::to_wstring(k)).c_str());
        SetPhaseProgress(10 * k);
        // Alternate, so that every report is a change and has to be handed over.
        for (int flip = 0; k == reportForeverAt; flip ^= 1)
            SetPhaseProgress(50 + flip);
        if (k != failAt)
            return 1;
        ShowPageMessage(L"phase failed", L"Vestrel", MB_ICONERROR);
        SetStatusText((L"phase " + std::to_wstring(k) + L" fail. Download process stop").c_str());
        return 0;
    }
};

// A front end that runs the test's script as the user-interface loop and answers message boxes.
struct Script {
    std::function<void(CPropertySheet&)> run;
    std::vector<ui::MessageBoxRequest> boxes;
};

class ScriptFrontEnd : public ui::FrontEnd {
public:
    explicit ScriptFrontEnd(Script& script) : m_script(script) {}
    void Run(CPropertySheet& sheet) override { m_script.run(sheet); }
    int ShowMessageBox(const ui::MessageBoxRequest& request) override {
        m_script.boxes.push_back(request);
        return ui::kIdOk;
    }

private:
    Script& m_script;
};

// Handles what the worker hands over until the condition holds.
bool PumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        ui::RunPending();
        if (condition())
            return true;
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

class DownloadPageInSheet : public ::testing::Test {
protected:
    void SetUp() override {
        ui::SetFrontEndFactory([this] { return std::make_unique<ScriptFrontEnd>(script); });
        // As after a successful Next on the welcome page: its port holds the open device.
        ASSERT_TRUE(welcome.m_port.Open(peer.SlavePathW().c_str()));
        sheet.AddPage(&welcome);
        sheet.AddPage(&page);
        sheet.SetActivePage(1);
    }
    void TearDown() override {
        ui::SetFrontEndFactory(nullptr);
        if (page.m_port.IsOpen())
            page.m_port.Close();
    }

    const ui::Node& Item(int id) const { return *ui::FindChild(ui::AsNode(page.m_hWnd), id); }

    // Pumps until the worker has ended and everything it handed over or posted has run.
    void PumpUntilWorkerEnded() {
        ASSERT_NE(page.m_worker, nullptr);
        ASSERT_TRUE(
            PumpUntil([&] { return page.m_worker->Wait(0) == WAIT_OBJECT_0; }, std::chrono::seconds(10)));
        ui::RunPending();
    }

    PtyPeer peer;
    Script script;
    CPropertySheet sheet;
    CWelcomePage welcome;
    ScriptedDownloadPage page;
};

TEST_F(DownloadPageInSheet, CompleteRunShowsOneHundredPercentAndOffersFinishAlone) {
    script.run = [&](CPropertySheet& s) {
        PumpUntilWorkerEnded();

        EXPECT_EQ(Item(IDC_OVERALL_BAR).pos, 100);
        EXPECT_EQ(Item(IDC_PERCENT_LABEL).text, L"100%");
        EXPECT_EQ(Item(IDC_PHASE_BAR).pos, 100);
        EXPECT_EQ(Item(IDC_STATUS_LINE).text, L"phase 10");
        const ui::WizardButtons buttons = ui::ButtonsOf(*ui::SheetNode(s));
        EXPECT_TRUE(buttons.finishShown);
        EXPECT_TRUE(buttons.finishEnabled);
        EXPECT_FALSE(buttons.backEnabled);
        EXPECT_FALSE(buttons.cancelEnabled);
        ui::PressFinish(s);
    };
    EXPECT_EQ(sheet.DoModal(), ui::kIdWizFinish);

    // The template's "Static" was never seen, and the page talked through the welcome page's device.
    EXPECT_EQ(page.statusAtFirstPhase, L"");
    EXPECT_NE(welcome.m_port.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(page.deviceInFirstPhase, welcome.m_port.m_hDevice);
    EXPECT_EQ(std::wstring(page.m_imageDir), std::filesystem::current_path().wstring());
    EXPECT_TRUE(script.boxes.empty());
}

TEST_F(DownloadPageInSheet, FailureLeavesZeroesTheFailureTextAndOnlyCancel) {
    page.failAt = 6;
    script.run = [&](CPropertySheet& s) {
        PumpUntilWorkerEnded();

        EXPECT_EQ(Item(IDC_OVERALL_BAR).pos, 0);
        EXPECT_EQ(Item(IDC_PERCENT_LABEL).text, L"0%");
        EXPECT_EQ(Item(IDC_PHASE_BAR).pos, 0);
        EXPECT_EQ(Item(IDC_STATUS_LINE).text, L"phase 6 fail. Download process stop");
        const ui::WizardButtons buttons = ui::ButtonsOf(*ui::SheetNode(s));
        EXPECT_FALSE(buttons.backEnabled);
        EXPECT_FALSE(buttons.nextEnabled);
        EXPECT_FALSE(buttons.finishEnabled);
        EXPECT_TRUE(buttons.cancelEnabled);
        EXPECT_FALSE(page.m_port.IsOpen());

        // The worker has ended: Cancel does not wait for it.
        const auto start = Clock::now();
        ui::PressCancel(s);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    };
    EXPECT_EQ(sheet.DoModal(), ui::kIdCancel);
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_EQ(script.boxes[0].owner, static_cast<CWnd*>(&page));
    EXPECT_EQ(script.boxes[0].caption, L"Vestrel");
    EXPECT_EQ(script.boxes[0].type, MB_OK | MB_ICONERROR);
    EXPECT_EQ(page.m_worker, nullptr);
    EXPECT_EQ(page.m_workerExitCode, 0u);
}

TEST_F(DownloadPageInSheet, MessageWithoutCaptionShowsTheApplicationTitle) {
    page.failAt = 10;
    script.run = [&](CPropertySheet& s) {
        PumpUntilWorkerEnded();
        ui::PressCancel(s);
    };
    sheet.DoModal();
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_EQ(script.boxes[0].caption, CWinApp::AppTitle());
    EXPECT_EQ(script.boxes[0].type, MB_OK);
}

TEST_F(DownloadPageInSheet, CancelStopsAWorkerThatWaitsToReportWhileCancelWaits) {
    page.reportForeverAt = 2;
    bool stopped = false;
    script.run = [&](CPropertySheet& s) {
        ASSERT_TRUE(PumpUntil([&] { return Item(IDC_PHASE_BAR).pos == 50; }, std::chrono::seconds(10)));
        // The user-interface thread handles nothing while Cancel waits, so the worker's next
        // report cannot run: it must be stopped, not waited for without end.
        const auto start = Clock::now();
        ui::PressCancel(s);
        const auto took = Clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(1900));
        EXPECT_LT(took, std::chrono::milliseconds(15000));
        stopped = true;
    };
    EXPECT_EQ(sheet.DoModal(), ui::kIdCancel);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(page.m_worker, nullptr);
    EXPECT_EQ(page.m_workerExitCode, 31u);
    EXPECT_FALSE(page.m_port.IsOpen());
}

} // namespace

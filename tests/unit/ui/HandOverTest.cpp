// The hand-over of work to the user-interface thread: order, waiting, posted against sent
// requests, message boxes holding their caller, and a forced stop of a waiting worker.
#include "UiTestSupport.h"

#include "platform/posix/StopToken.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A page on the download template that does nothing by itself: the test's threads drive it.
class QuietPage : public CPropertyPage {
public:
    QuietPage() : CPropertyPage(105) {}
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, 1030, bar); }
    CProgressCtrl bar;
};

// Runs `worker` on a thread of its own while the sheet's loop runs; `step` is the user.
class HandOver : public ::testing::Test {
protected:
    void SetUp() override { sheet.AddPage(&page); }
    void RunSheet(std::function<void(CPropertySheet&)> step) {
        ASSERT_TRUE(RunSheetWith(sheet, std::move(step), onBox, &result));
    }
    CPropertySheet sheet;
    QuietPage page;
    std::function<int(const ui::MessageBoxRequest&)> onBox;
    intptr_t result = 0;
};

TEST_F(HandOver, ReportsRunOnTheLoopThreadInOrderAndTheSenderWaitsForEach) {
    std::vector<int> seen;
    std::atomic<bool> outOfStep{false};
    std::atomic<bool> done{false};
    const std::thread::id loopThread = std::this_thread::get_id();
    std::thread worker;
    RunSheet([&](CPropertySheet& s) {
        if (!worker.joinable()) {
            worker = std::thread([&] {
                for (int i = 0; i < 200; ++i) {
                    RunOnUiThread([&] {
                        if (std::this_thread::get_id() != loopThread)
                            outOfStep = true;
                        seen.push_back(i);
                    });
                    // The report has taken effect before the sender goes on.
                    if (seen.size() != static_cast<std::size_t>(i) + 1)
                        outOfStep = true;
                    page.bar.SetPos(i % 101);
                    if (page.bar.GetPos() != i % 101)
                        outOfStep = true;
                }
                done = true;
            });
        }
        if (done)
            ui::PressCancel(s);
    });
    worker.join();
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(outOfStep);
    EXPECT_EQ(result, ui::kIdCancel);
}

TEST_F(HandOver, PostedButtonsWaitForTheLoopWhileCancelToCloseIsDoneBeforeItReturns) {
    bool checked = false;
    RunSheet([&](CPropertySheet& s) {
        if (checked)
            return;
        checked = true;
        ui::Node& node = *ui::SheetNode(s);
        // Posted from the loop's own thread: nothing changes until the loop handles it.
        s.SetWizardButtons(PSWIZB_FINISH);
        EXPECT_FALSE(ui::ButtonsOf(node).finishShown);
        ui::RunPending();
        EXPECT_TRUE(ui::ButtonsOf(node).finishEnabled);
        EXPECT_FALSE(ui::ButtonsOf(node).nextEnabled);

        // From a worker: the posted request and then the sent one, as a completed run does.
        s.SetWizardButtons(0);
        ui::RunPending();
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            s.SetWizardButtons(PSWIZB_FINISH);
            page.CancelToClose();
            returned = true;
        });
        while (!returned)
            ui::RunPending();
        worker.join();
        // Both took effect, the post first, by the time the sent request returned.
        EXPECT_TRUE(ui::ButtonsOf(node).finishEnabled);
        EXPECT_FALSE(ui::ButtonsOf(node).cancelEnabled);
        // Cancel is disabled now: pressing it does nothing, Finish closes.
        ui::PressCancel(s);
        EXPECT_FALSE(ui::SheetClosed(s));
        ui::PressFinish(s);
    });
    EXPECT_EQ(result, ui::kIdWizFinish);
}

TEST_F(HandOver, MessageBoxHoldsTheWorkerUntilTheUserClosesIt) {
    std::atomic<bool> workerReturned{false};
    std::atomic<int> answer{0};
    std::atomic<bool> boxOpen{false};
    std::thread worker;
    onBox = [&](const ui::MessageBoxRequest& r) {
        boxOpen = true;
        EXPECT_EQ(r.text, L"Send \"Security Packet\" fail");
        EXPECT_EQ(r.caption, L"Error");
        EXPECT_EQ(r.owner, nullptr);
        // The user takes a while; the worker must still be waiting when the box closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(workerReturned);
        return ui::kIdOk;
    };
    RunSheet([&](CPropertySheet& s) {
        if (!worker.joinable()) {
            worker = std::thread([&] {
                answer =
                    OwnerlessMessageBox(L"Send \"Security Packet\" fail", L"Error", MB_OK | MB_ICONERROR);
                workerReturned = true;
            });
        }
        if (workerReturned)
            ui::PressCancel(s);
    });
    worker.join();
    EXPECT_TRUE(boxOpen);
    EXPECT_EQ(answer, ui::kIdOk);
}

// A worker whose report waits while the loop is busy elsewhere (Cancel waiting for it) is
// stopped: it leaves, and the report it left behind never runs against its dead stack.
TEST_F(HandOver, ForcedStopWithdrawsTheWaitingReport) {
    struct Shared {
        std::atomic<bool> reportRan{false};
        std::atomic<bool> queued{false};
    } shared;
    CWinThread* thread = nullptr;
    bool stopped = false;
    RunSheet([&](CPropertySheet& s) {
        if (thread == nullptr) {
            thread = AfxBeginThread(
                [](LPVOID p) -> UINT {
                    auto& sh = *static_cast<Shared*>(p);
                    int local = 7;
                    sh.queued = true;
                    RunOnUiThread([&] {
                        sh.reportRan = true;
                        local = 8;
                    });
                    return static_cast<UINT>(local);
                },
                &shared);
            ASSERT_NE(thread, nullptr);
            // The loop does not handle the report: it waits for the worker instead, as Cancel does.
            while (!shared.queued)
                std::this_thread::yield();
            EXPECT_EQ(thread->Wait(200), WAIT_TIMEOUT);
            thread->ForceStop(31);
            EXPECT_EQ(thread->Wait(0), WAIT_OBJECT_0);
            EXPECT_EQ(thread->ExitCode(), 31u);
            stopped = true;
            return;
        }
        // Whatever is still queued runs now: the withdrawn report must not be among it.
        ui::RunPending();
        ui::PressCancel(s);
    });
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(shared.reportRan);
    delete thread;
}

TEST(HandOverWithoutLoop, WorkRunsAtOnceOnTheCallingThreadAndBoxesGoToTheHeadlessHandler) {
    ASSERT_FALSE(ui::LoopRunning());
    const std::thread::id self = std::this_thread::get_id();
    bool ran = false;
    RunOnUiThread([&] { ran = std::this_thread::get_id() == self; });
    EXPECT_TRUE(ran);

    // Posting without a loop also takes effect at once: there is no later to wait for.
    CPropertySheet sheet;
    sheet.SetWizardButtons(PSWIZB_NEXT);
    EXPECT_TRUE(ui::ButtonsOf(*ui::SheetNode(sheet)).nextEnabled);

    std::vector<ui::MessageBoxRequest> seen;
    ui::SetHeadlessMessageBoxHandler([&](const ui::MessageBoxRequest& r) {
        seen.push_back(r);
        return ui::kIdOk;
    });
    EXPECT_EQ(OwnerlessMessageBox(L"text", nullptr, MB_OK), ui::kIdOk);
    ui::SetHeadlessMessageBoxHandler(nullptr);
    ASSERT_EQ(seen.size(), 1u);
    // No caption given: the application's title, the executable's name without extension.
    EXPECT_EQ(seen[0].caption, std::wstring(CWinApp::AppTitle()));
    EXPECT_EQ(seen[0].caption, L"ui_hand_over_test");
}

} // namespace

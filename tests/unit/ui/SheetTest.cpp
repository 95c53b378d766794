// The wizard sheet over the window model: page creation and activation, the wizard buttons,
// Next, Finish and Cancel, and the welcome page as it runs in it.
#include "UiTestSupport.h"

#include "pages/WelcomePage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;

class FirstPage : public CPropertyPage {
public:
    FirstPage() : CPropertyPage(IDD_WELCOME_PAGE) {}
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_AGREE_CHECK, check); }
    BOOL OnInitDialog() override {
        g_events.push_back("init 1");
        return CPropertyPage::OnInitDialog();
    }
    BOOL OnSetActive() override {
        g_events.push_back("active 1");
        check.SetCheck(BST_UNCHECKED);
        GetSheet()->SetWizardButtons(0);
        return CPropertyPage::OnSetActive();
    }
    void OnCommand(int id, UINT code) override {
        if (id == IDC_AGREE_CHECK && code == BN_CLICKED)
            GetSheet()->SetWizardButtons(check.GetCheck() == BST_CHECKED ? PSWIZB_NEXT : 0);
    }
    LRESULT OnWizardNext() override {
        g_events.push_back("next 1");
        return nextAnswer;
    }
    void OnCancel() override { g_events.push_back("cancel 1"); }
    CButton check;
    LRESULT nextAnswer = 0;
};

class SecondPage : public CPropertyPage {
public:
    SecondPage() : CPropertyPage(105) {}
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, 1030, bar); }
    BOOL OnInitDialog() override {
        g_events.push_back("init 2");
        return CPropertyPage::OnInitDialog();
    }
    BOOL OnSetActive() override {
        g_events.push_back("active 2");
        return CPropertyPage::OnSetActive();
    }
    BOOL OnWizardFinish() override {
        g_events.push_back("finish 2");
        return TRUE;
    }
    void OnCancel() override { g_events.push_back("cancel 2"); }
    CProgressCtrl bar;
};

class Sheet : public ::testing::Test {
protected:
    void SetUp() override {
        g_events.clear();
        sheet.AddPage(&first);
        sheet.AddPage(&second);
    }
    ui::Node& CheckBox() { return *ui::FindChild(ui::AsNode(first.m_hWnd), IDC_AGREE_CHECK); }
    ui::WizardButtons Buttons() { return ui::ButtonsOf(*ui::SheetNode(sheet)); }

    CPropertySheet sheet;
    FirstPage first;
    SecondPage second;
    intptr_t result = 0;
};

TEST_F(Sheet, NextFollowsTheCheckBoxAndThePageDecidesWhetherToMoveOn) {
    int turn = 0;
    ASSERT_TRUE(RunSheetWith(
        sheet,
        [&](CPropertySheet& s) {
            switch (turn++) {
            case 0:
                EXPECT_EQ(ui::AsNode(s.m_hWnd)->text, L"Korvane");
                EXPECT_FALSE(Buttons().nextEnabled);
                ui::PressNext(s); // disabled: nothing happens
                ui::ClickCheckBox(CheckBox());
                break;
            case 1:
                EXPECT_EQ(first.check.GetCheck(), BST_CHECKED);
                EXPECT_TRUE(Buttons().nextEnabled);
                ui::ClickCheckBox(CheckBox());
                break;
            case 2:
                EXPECT_FALSE(Buttons().nextEnabled);
                ui::ClickCheckBox(CheckBox());
                break;
            case 3:
                // The page refuses: the sheet stays, without showing the page afresh.
                first.nextAnswer = -1;
                ui::PressNext(s);
                EXPECT_EQ(s.GetActiveIndex(), 0);
                EXPECT_TRUE(Buttons().nextEnabled);
                first.nextAnswer = 0;
                ui::PressNext(s);
                break;
            case 4:
                EXPECT_EQ(s.GetActiveIndex(), 1);
                EXPECT_EQ(ui::AsNode(s.m_hWnd)->text, L"Download Image");
                EXPECT_FALSE(ui::AsNode(first.m_hWnd)->visible);
                EXPECT_TRUE(ui::AsNode(second.m_hWnd)->visible);
                ui::PressCancel(s);
                break;
            default:
                break;
            }
        },
        nullptr, &result));
    const std::vector<std::string> expected{"init 1", "active 1", "next 1",   "next 1",
                                            "init 2", "active 2", "cancel 1", "cancel 2"};
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(result, ui::kIdCancel);
    // The windows went with the sheet; the objects no longer refer to them.
    EXPECT_EQ(first.m_hWnd, nullptr);
    EXPECT_EQ(first.check.m_hWnd, nullptr);
    EXPECT_EQ(second.bar.m_hWnd, nullptr);
}

TEST_F(Sheet, FinishEndsTheRunAndCancelOnlyReachesPagesThatWereCreated) {
    sheet.SetActivePage(1);
    ASSERT_TRUE(RunSheetWith(
        sheet,
        [&](CPropertySheet& s) {
            s.SetWizardButtons(PSWIZB_FINISH);
            ui::RunPending();
            ui::PressFinish(s);
        },
        nullptr, &result));
    EXPECT_EQ(result, ui::kIdWizFinish);
    EXPECT_EQ(g_events, (std::vector<std::string>{"init 2", "active 2", "finish 2"}));

    // A second run of the same sheet starts where it is told to, with fresh windows.
    g_events.clear();
    sheet.SetActivePage(0);
    ASSERT_TRUE(RunSheetWith(
        sheet, [&](CPropertySheet& s) { ui::PressCancel(s); }, nullptr, &result));
    EXPECT_EQ(result, ui::kIdCancel);
    EXPECT_EQ(g_events, (std::vector<std::string>{"init 1", "active 1", "cancel 1"}));
}

TEST_F(Sheet, CancelAfterCancelToCloseOnlyThroughTheWayOutOfTheProgram) {
    sheet.SetActivePage(1);
    int turn = 0;
    ASSERT_TRUE(RunSheetWith(
        sheet,
        [&](CPropertySheet& s) {
            if (turn++ == 0) {
                second.CancelToClose();
                ui::PressCancel(s); // the button is disabled
                EXPECT_FALSE(ui::SheetClosed(s));
                return;
            }
            ui::CancelSheet(s); // Ctrl+C, SIGTERM
        },
        nullptr, &result));
    EXPECT_EQ(result, ui::kIdCancel);
    EXPECT_EQ(g_events, (std::vector<std::string>{"init 2", "active 2", "cancel 2"}));
}

TEST(WizardButtons, FinishTakesNextsPlaceOnceAskedFor) {
    struct Case {
        DWORD flags;
        bool back, finishShown, next, finish;
    };
    const Case cases[] = {
        {0, false, false, false, false},
        {PSWIZB_NEXT, false, false, true, false},
        {PSWIZB_BACK | PSWIZB_NEXT, true, false, true, false},
        {PSWIZB_FINISH, false, true, false, true},
        {PSWIZB_DISABLEDFINISH, false, true, false, false},
        {PSWIZB_NEXT | PSWIZB_FINISH, false, true, false, true},
        {PSWIZB_BACK | PSWIZB_DISABLEDFINISH, true, true, false, false},
    };
    for (const Case& c : cases) {
        ui::Node sheet;
        sheet.kind = ui::NodeKind::Sheet;
        sheet.wizardButtons = c.flags;
        const ui::WizardButtons b = ui::ButtonsOf(sheet);
        EXPECT_EQ(b.backEnabled, c.back) << c.flags;
        EXPECT_EQ(b.finishShown, c.finishShown) << c.flags;
        EXPECT_EQ(b.nextEnabled, c.next) << c.flags;
        EXPECT_EQ(b.finishEnabled, c.finish) << c.flags;
    }
}

// The welcome page itself, in a running sheet, with no device where it looks.
TEST(WelcomePageInSheet, RedCautionUntickedBoxAndAFailedNextThatStaysUsable) {
    setenv("VESTREL_DEVICE_WCEUSBSH001", "/nonexistent-dir/tty", 1);
    CPropertySheet sheet;
    CWelcomePage welcome;
    SecondPage second;
    sheet.AddPage(&welcome);
    sheet.AddPage(&second);
    std::vector<ui::MessageBoxRequest> boxes;
    int turn = 0;
    ASSERT_TRUE(RunSheetWith(
        sheet,
        [&](CPropertySheet& s) {
            ui::Node* page = ui::AsNode(welcome.m_hWnd);
            ui::Node& caution = *ui::FindChild(page, IDC_CAUTION_TEXT);
            ui::Node& check = *ui::FindChild(page, IDC_AGREE_CHECK);
            switch (turn++) {
            case 0: {
                const ui::TextColours colours = ui::ColoursOf(caution);
                EXPECT_TRUE(colours.custom);
                EXPECT_EQ(colours.text, RGB(255, 0, 0));
                EXPECT_EQ(colours.background, GetSysColor(COLOR_BTNFACE));
                // A plain static keeps the defaults.
                EXPECT_FALSE(ui::ColoursOf(*ui::FindChild(page, IDC_NOTICE_TEXT)).custom);
                EXPECT_EQ(caution.text.rfind(L"Caution:\nRemoving the USB cable", 0), 0u);
                EXPECT_EQ(check.check, BST_UNCHECKED);
                EXPECT_FALSE(ui::ButtonsOf(*ui::SheetNode(s)).nextEnabled);
                ui::ClickCheckBox(check);
                break;
            }
            case 1:
                ui::PressNext(s);
                EXPECT_EQ(s.GetActiveIndex(), 0);
                EXPECT_FALSE(welcome.m_port.IsOpen());
                // Still ticked, so Next can be pressed again.
                EXPECT_TRUE(ui::ButtonsOf(*ui::SheetNode(s)).nextEnabled);
                ui::PressCancel(s);
                break;
            default:
                break;
            }
        },
        nullptr, nullptr, &boxes));
    unsetenv("VESTREL_DEVICE_WCEUSBSH001");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Can't find Windows CE USB device\n Error code: 2");
    EXPECT_EQ(boxes[0].caption, L"Vestrel");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(boxes[0].owner, &welcome);
    EXPECT_NE(ui::HintFor(boxes[0]).find(L"no such device"), std::wstring::npos);
}

} // namespace

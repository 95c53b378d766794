// The wizard without a terminal (CI, a pipe): every change the user would see is printed as a
// line, and the wizard is driven as a user would drive it: tick the agreement, press Next,
// close each message box with OK, press Finish at the end, or Cancel once a run has failed.
#include "platform/posix/UiModel.h"

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <dirent.h>
#include <map>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace ui {
namespace {

using Clock = std::chrono::steady_clock;

// How long the wizard must stay unchanged, with no worker left, before the driver cancels.
constexpr auto kSettle = std::chrono::milliseconds(300);

int CountThreads() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

bool IsPercentage(const std::wstring& text) {
    return text.size() >= 2 && text.back() == L'%' &&
           text.find_first_not_of(L"0123456789") == text.size() - 1;
}

const char* IconMarker(UINT type) {
    switch (type & kIconMask) {
    case MB_ICONERROR:
        return " [X]";
    case MB_ICONINFORMATION:
        return " [i]";
    case kIconWarning:
        return " [!]";
    case kIconQuestion:
        return " [?]";
    default:
        return "";
    }
}

class UnattendedFrontEnd final : public FrontEnd {
public:
    explicit UnattendedFrontEnd(std::FILE* out) : m_out(out), m_start(Clock::now()) {}

    void Run(CPropertySheet& sheet) override;
    int ShowMessageBox(const MessageBoxRequest& request) override;
    void Changed(Node& node, Change what) override;

private:
    void Line(const std::string& label, const std::wstring& text);
    void Say(const std::string& text) { Line(text, L""); }
    void DumpPage();
    void ReportButtons();
    bool Act();
    std::string Label(const Node& node) const;

    std::FILE* m_out;
    Clock::time_point m_start;
    CPropertySheet* m_sheet = nullptr;
    TitleBeacon m_beacon;
    bool m_activating = false;
    std::wstring m_title;
    std::string m_buttons;
    std::map<const Node*, std::wstring> m_texts;
    std::map<const Node*, int> m_bars;
    // What the driver has done on the page shown.
    int m_ticks = 0;
    int m_nextPresses = 0;
    int m_pageActivations = -1;
    int m_baselineThreads = -1;
    Clock::time_point m_lastChange;
};

std::string UnattendedFrontEnd::Label(const Node& node) const {
    if (node.role != nullptr && *node.role != '\0')
        return node.role;
    return "item " + std::to_string(node.id);
}

void UnattendedFrontEnd::Line(const std::string& label, const std::wstring& text) {
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.1fs] ", seconds);
    std::string line = stamp + label;
    if (!text.empty()) {
        line += ": ";
        // Continuation lines line up under the first line's text.
        const std::string indent(line.size(), ' ');
        std::string body = ToUtf8(text);
        for (char c : body) {
            line += c;
            if (c == '\n')
                line += indent;
        }
    }
    std::fprintf(m_out, "%s\n", line.c_str());
    std::fflush(m_out);
}

void UnattendedFrontEnd::DumpPage() {
    Node* sn = SheetNode(*m_sheet);
    CPropertyPage* page = ActivePage(*m_sheet);
    if (sn == nullptr || page == nullptr)
        return;
    m_title = sn->text;
    m_beacon.Show(m_title);
    Say("page \"" + ToUtf8(m_title) + "\"");
    for (auto& child : AsNode(page->m_hWnd)->children) {
        Node& c = *child;
        switch (c.kind) {
        case NodeKind::Static: {
            const TextColours colours = ColoursOf(c);
            std::string label = Label(c);
            if (colours.custom && colours.text == RGB(255, 0, 0))
                label += " (red)";
            Line(label, c.text.empty() ? L"(empty)" : c.text);
            m_texts[&c] = c.text;
            break;
        }
        case NodeKind::CheckBox:
            Line(Label(c), std::wstring(c.check == BST_CHECKED ? L"[x] " : L"[ ] ") + c.text);
            break;
        case NodeKind::ProgressBar:
            Line(Label(c), std::to_wstring(c.pos) + L"%");
            m_bars[&c] = c.pos;
            break;
        case NodeKind::Picture:
            Line(Label(c), c.bitmapFile.empty() ? std::wstring(L"(built-in picture)") : c.bitmapFile);
            break;
        default:
            break;
        }
    }
    m_buttons.clear();
    ReportButtons();
}

void UnattendedFrontEnd::ReportButtons() {
    const Node* sn = SheetNode(*m_sheet);
    if (sn == nullptr)
        return;
    const WizardButtons b = ButtonsOf(*sn);
    std::string text;
    auto show = [&text](const char* name, bool enabled) {
        if (!text.empty())
            text.append(" ");
        text.append(enabled ? "[" : "(");
        text.append(name);
        text.append(enabled ? "]" : " disabled)");
    };
    show("< Back", b.backEnabled);
    if (b.finishShown)
        show("Finish", b.finishEnabled);
    else
        show("Next >", b.nextEnabled);
    show("Cancel", b.cancelEnabled);
    if (text != m_buttons) {
        m_buttons = text;
        Say("buttons " + text);
    }
}

void UnattendedFrontEnd::Changed(Node& node, Change what) {
    m_lastChange = Clock::now();
    if (what == Change::Page) {
        m_activating = true;
        return;
    }
    if (m_activating || m_sheet == nullptr)
        return;
    switch (what) {
    case Change::Text:
        if (node.kind == NodeKind::Static && node.visible) {
            auto& last = m_texts[&node];
            // A percentage (the percent label) is shown in steps of ten, like the bars.
            if (IsPercentage(node.text) && IsPercentage(last) && node.text != L"100%" &&
                std::wcstol(node.text.c_str(), nullptr, 10) / 10 ==
                    std::wcstol(last.c_str(), nullptr, 10) / 10 &&
                node.text != L"0%")
                break;
            if (last != node.text) {
                last = node.text;
                Line(Label(node), node.text.empty() ? L"(empty)" : node.text);
            }
        }
        break;
    case Change::Position: {
        // Bars in steps of ten, and their ends, so a long transfer stays readable.
        auto [it, fresh] = m_bars.try_emplace(&node, -1);
        const int last = it->second;
        if (fresh || last / 10 != node.pos / 10 || node.pos == 0 || node.pos == 100) {
            if (last != node.pos) {
                it->second = node.pos;
                Line(Label(node), std::to_wstring(node.pos) + L"%");
            }
        }
        break;
    }
    case Change::Check:
        Line(Label(node), std::wstring(node.check == BST_CHECKED ? L"[x] " : L"[ ] ") + node.text);
        break;
    case Change::Buttons:
        ReportButtons();
        break;
    case Change::Bitmap:
        Line(Label(node), node.bitmapFile);
        break;
    default:
        break;
    }
}

int UnattendedFrontEnd::ShowMessageBox(const MessageBoxRequest& request) {
    Line(std::string("message box \"") + ToUtf8(request.caption) + "\"" + IconMarker(request.type) +
             (request.owner == nullptr ? " (no owner)" : ""),
         request.text);
    if (const std::wstring hint = HintFor(request); !hint.empty())
        Line("note", hint);
    Say("user: presses OK");
    m_lastChange = Clock::now();
    return kIdOk;
}

// One step of the user; true when something was done.
bool UnattendedFrontEnd::Act() {
    Node* sn = SheetNode(*m_sheet);
    CPropertyPage* page = ActivePage(*m_sheet);
    if (sn == nullptr || page == nullptr || sn->closed)
        return false;
    Node* pn = AsNode(page->m_hWnd);
    if (pn->activations != m_pageActivations) {
        m_pageActivations = pn->activations;
        m_ticks = 0;
        m_nextPresses = 0;
    }
    const WizardButtons b = ButtonsOf(*sn);
    for (auto& child : pn->children) {
        if (child->kind == NodeKind::CheckBox && child->check != BST_CHECKED && child->enabled &&
            m_ticks == 0) {
            ++m_ticks;
            Say("user: ticks \"" + ToUtf8(child->text) + "\"");
            ClickCheckBox(*child);
            return true;
        }
    }
    const int threads = CountThreads();
    const bool workersDone = threads >= 0 && threads <= m_baselineThreads;
    const bool settled = Clock::now() - m_lastChange >= kSettle;
    // Finish once the run has ended (and has disabled Cancel), as a user who waits would.
    if (b.finishShown && b.finishEnabled && workersDone) {
        Say("user: presses Finish");
        PressFinish(*m_sheet);
        return true;
    }
    if (!b.finishShown && b.nextEnabled) {
        if (m_nextPresses == 0) {
            ++m_nextPresses;
            Say("user: presses Next >");
            PressNext(*m_sheet);
            return true;
        }
        // Next was pressed and the wizard stayed: pressing again would fail the same way.
        if (settled && b.cancelEnabled) {
            Say("user: presses Cancel (the wizard did not move on)");
            PressCancel(*m_sheet);
            return true;
        }
        return false;
    }
    // Nothing left to press but Cancel, and nothing runs any more: the run has failed.
    if (settled && workersDone && b.cancelEnabled) {
        Say("user: presses Cancel (nothing else is left to press)");
        PressCancel(*m_sheet);
        return true;
    }
    return false;
}

void UnattendedFrontEnd::Run(CPropertySheet& sheet) {
    m_sheet = &sheet;
    m_baselineThreads = CountThreads();
    signals::Install();
    Say("vestrel: no terminal, so the wizard runs unattended and does what a user would");
    // What the page posted while it was being shown (its wizard buttons) comes first.
    RunPending();
    m_activating = false;
    DumpPage();
    m_lastChange = Clock::now();
    while (!SheetClosed(sheet)) {
        pollfd fds[3] = {{WakeDescriptor(), POLLIN, 0},
                         {signals::Descriptor(), POLLIN, 0},
                         {m_beacon.Descriptor(), POLLIN, 0}};
        poll(fds, 3, 50);
        RunPending();
        const unsigned caught = signals::Take();
        if ((caught & (signals::kInterrupt | signals::kTerminate | signals::kHangup)) != 0) {
            Say(caught & signals::kInterrupt ? "interrupted: cancelling the wizard"
                                             : "asked to end: cancelling the wizard");
            CancelSheet(sheet);
            break;
        }
        if (m_beacon.Descriptor() >= 0 && m_beacon.TakeRequests())
            Say("another copy of the program was started and asked this one to come forward");
        if (m_activating) {
            m_activating = false;
            DumpPage();
        }
        if (Act()) {
            RunPending();
            if (m_activating) {
                m_activating = false;
                DumpPage();
            }
        }
    }
    const Node* sn = SheetNode(sheet);
    Say(sn != nullptr && sn->result == kIdWizFinish ? "wizard closed with Finish" : "wizard cancelled");
    m_beacon.Show(L"");
    signals::Uninstall();
}

} // namespace

std::unique_ptr<FrontEnd> MakeUnattendedFrontEnd(std::FILE* out) {
    return std::make_unique<UnattendedFrontEnd>(out);
}

} // namespace ui

// The wizard in the terminal, on ncurses: the title line, the page drawn from its template, the
// wizard buttons, and message boxes over it.
//
// Keys: Tab and Shift-Tab move the focus (check box, then the enabled buttons), Space ticks the
// check box or presses the focused button, Enter presses the focused button (on the check box:
// the default button, Next or Finish), Esc cancels, Alt+B/N/F/C and plain b/n/f/c press Back,
// Next, Finish, Cancel. Ctrl+C and SIGTERM cancel even where the Cancel button is disabled. The
// terminal is put back on every way out: normal end, signals, and crashes.
#include "platform/posix/TerminalLayout.h"
#include "platform/posix/UiModel.h"

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>
#include <term.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <langinfo.h>
#include <map>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// ncurses defines these as macros; the names are ordinary words elsewhere.
#undef clear
#undef erase
#undef move
#undef refresh
#undef timeout

namespace ui {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFrameInterval = std::chrono::milliseconds(30);

constexpr int kCtrlC = 3;
constexpr int kEscape = 27;
constexpr int kTab = 9;

// What the emergency restore writes, prepared while ncurses runs (a signal handler may not
// call into ncurses).
struct Emergency {
    termios saved{};
    bool haveSaved = false;
    char sequence[256] = {};
    std::size_t length = 0;
    bool active = false;
};
Emergency g_emergency;

void EmergencyRestore() {
    if (!g_emergency.active)
        return;
    if (g_emergency.length > 0) {
        [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, g_emergency.sequence, g_emergency.length);
    }
    if (g_emergency.haveSaved)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_emergency.saved);
    g_emergency.active = false;
}

void AppendCapability(const char* name) {
    char* value = tigetstr(name);
    if (value == nullptr || value == reinterpret_cast<char*>(-1))
        return;
    const std::size_t len = std::strlen(value);
    if (g_emergency.length + len < sizeof g_emergency.sequence) {
        std::memcpy(g_emergency.sequence + g_emergency.length, value, len);
        g_emergency.length += len;
    }
}

// Crashes: put the terminal back, then let the previous handler (or the default) act.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction g_previousFatal[std::size(kFatalSignals)];

void OnFatalSignal(int signal) {
    EmergencyRestore();
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        if (kFatalSignals[i] == signal) {
            sigaction(signal, &g_previousFatal[i], nullptr);
            break;
        }
    }
    raise(signal);
}

const wchar_t* IconMarker(UINT type) {
    switch (type & kIconMask) {
    case MB_ICONERROR:
        return L"[X]";
    case MB_ICONINFORMATION:
        return L"[i]";
    case kIconWarning:
        return L"[!]";
    case kIconQuestion:
        return L"[?]";
    default:
        return L"";
    }
}

short CursesColour(COLORREF c) {
    const int r = (c & 0xFF) > 127;
    const int g = ((c >> 8) & 0xFF) > 127;
    const int b = ((c >> 16) & 0xFF) > 127;
    return static_cast<short>(r * COLOR_RED + g * COLOR_GREEN + b * COLOR_BLUE);
}

enum class Button { Back, NextOrFinish, Cancel };

struct OpenBox {
    MessageBoxRequest request;
    std::wstring hint;
    bool closed = false;
};

class TerminalFrontEnd final : public FrontEnd {
public:
    TerminalFrontEnd();
    ~TerminalFrontEnd() override;

    void Run(CPropertySheet& sheet) override;
    int ShowMessageBox(const MessageBoxRequest& request) override;
    void Changed(Node& node, Change what) override;

private:
    void Start();
    void Stop();
    void Pump();
    void HandleKey(wint_t key, bool function);
    void HandlePageKey(wint_t key, bool function, bool alt);
    void Press(Button button);
    void Draw();
    void DrawPage(Node& page, CellRect area);
    void DrawButtons(int row);
    void DrawBox(OpenBox& box, bool top);
    void PutText(int row, int col, const std::wstring& text, int width);
    int Pair(short fg, short bg);
    std::vector<Node*> FocusChain() const;
    void FixFocus();
    void Resize();

    CPropertySheet* m_sheet = nullptr;
    TitleBeacon m_beacon;
    bool m_started = false;
    bool m_colours = false;
    bool m_utf8 = false;
    bool m_dirty = true;
    bool m_cancelRequested = false;
    Clock::time_point m_lastDraw{};
    std::vector<OpenBox*> m_boxes;
    // Focus: a check box node, or a button (node nullptr).
    Node* m_focusNode = nullptr;
    Button m_focusButton = Button::Cancel;
    int m_pageActivations = -1;
    Node* m_shownPage = nullptr;
    std::map<int, int> m_pairs;
    int m_nextPair = 1;
    std::wstring m_notice; // a line for the user on the separator (cancelling, another copy)
};

TerminalFrontEnd::TerminalFrontEnd() = default;

TerminalFrontEnd::~TerminalFrontEnd() {
    Stop();
}

void TerminalFrontEnd::Start() {
    if (m_started)
        return;
    signals::Install();
    g_emergency = {};
    g_emergency.haveSaved = tcgetattr(STDIN_FILENO, &g_emergency.saved) == 0;
    const char* codeset = nl_langinfo(CODESET);
    m_utf8 = codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
    initscr();
    raw(); // Ctrl+C arrives as a key: it cancels the wizard like Cancel
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        m_colours = true;
    }
    AppendCapability("sgr0");
    AppendCapability("cnorm");
    AppendCapability("rmkx");
    AppendCapability("rmcup");
    g_emergency.active = true;
    signals::SetEmergencyRestore(&EmergencyRestore);
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) {
        struct sigaction action {};
        action.sa_handler = OnFatalSignal;
        sigemptyset(&action.sa_mask);
        sigaction(kFatalSignals[i], &action, &g_previousFatal[i]);
    }
    m_started = true;
}

void TerminalFrontEnd::Stop() {
    if (!m_started)
        return;
    m_started = false;
    endwin();
    g_emergency.active = false;
    signals::SetEmergencyRestore(nullptr);
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        sigaction(kFatalSignals[i], &g_previousFatal[i], nullptr);
    signals::Uninstall();
    m_beacon.Show(L"");
}

int TerminalFrontEnd::Pair(short fg, short bg) {
    if (!m_colours)
        return 0;
    const int key = (fg + 1) * 16 + (bg + 1);
    if (auto it = m_pairs.find(key); it != m_pairs.end())
        return it->second;
    if (m_nextPair >= COLOR_PAIRS)
        return 0;
    init_pair(static_cast<short>(m_nextPair), fg, bg);
    m_pairs[key] = m_nextPair;
    return m_nextPair++;
}

std::vector<Node*> TerminalFrontEnd::FocusChain() const {
    std::vector<Node*> chain;
    if (CPropertyPage* page = ActivePage(*m_sheet); page != nullptr && page->m_hWnd != nullptr) {
        for (auto& c : AsNode(page->m_hWnd)->children) {
            if (c->kind == NodeKind::CheckBox && c->visible && c->enabled && (c->style & res::kWsTabStop))
                chain.push_back(c.get());
        }
    }
    return chain;
}

// Keeps the focus on something that can take it: a disabled button passes it on.
void TerminalFrontEnd::FixFocus() {
    const Node* sn = SheetNode(*m_sheet);
    if (sn == nullptr)
        return;
    const WizardButtons b = ButtonsOf(*sn);
    auto enabled = [&](Button button) {
        switch (button) {
        case Button::Back:
            return b.backEnabled;
        case Button::NextOrFinish:
            return b.finishShown ? b.finishEnabled : b.nextEnabled;
        case Button::Cancel:
            return b.cancelEnabled;
        }
        return false;
    };
    const std::vector<Node*> chain = FocusChain();
    if (m_focusNode != nullptr) {
        if (std::find(chain.begin(), chain.end(), m_focusNode) != chain.end())
            return;
        m_focusNode = nullptr;
    } else if (enabled(m_focusButton)) {
        return;
    }
    if (!chain.empty()) {
        m_focusNode = chain.front();
        return;
    }
    for (Button candidate : {Button::NextOrFinish, Button::Cancel, Button::Back}) {
        if (enabled(candidate)) {
            m_focusButton = candidate;
            return;
        }
    }
}

void TerminalFrontEnd::Changed(Node& node, Change what) {
    m_dirty = true;
    if (what == Change::Page && node.kind == NodeKind::Sheet) {
        m_beacon.Show(node.text);
        m_pageActivations = -1;
    }
}

void TerminalFrontEnd::Press(Button button) {
    switch (button) {
    case Button::Back:
        PressBack(*m_sheet);
        break;
    case Button::NextOrFinish:
        if (ButtonsOf(*SheetNode(*m_sheet)).finishShown)
            PressFinish(*m_sheet);
        else
            PressNext(*m_sheet);
        break;
    case Button::Cancel:
        if (SheetNode(*m_sheet)->cancelEnabled)
            m_cancelRequested = true; // carried out by the loop, after drawing "Cancelling"
        break;
    }
    m_dirty = true;
}

void TerminalFrontEnd::HandlePageKey(wint_t key, bool function, bool alt) {
    const WizardButtons b = ButtonsOf(*SheetNode(*m_sheet));
    if (function) {
        if (key == KEY_BTAB || key == KEY_UP || key == KEY_LEFT) {
            key = 0;
            // Backwards through the same chain as Tab.
            std::vector<std::pair<Node*, Button>> order;
            for (Node* n : FocusChain())
                order.push_back({n, Button::Cancel});
            if (b.backEnabled)
                order.push_back({nullptr, Button::Back});
            if (b.finishShown ? b.finishEnabled : b.nextEnabled)
                order.push_back({nullptr, Button::NextOrFinish});
            if (b.cancelEnabled)
                order.push_back({nullptr, Button::Cancel});
            if (order.empty())
                return;
            std::size_t at = 0;
            for (std::size_t i = 0; i < order.size(); ++i) {
                if (order[i].first == m_focusNode &&
                    (m_focusNode != nullptr || order[i].second == m_focusButton))
                    at = i;
            }
            const auto& prev = order[(at + order.size() - 1) % order.size()];
            m_focusNode = prev.first;
            m_focusButton = prev.second;
            m_dirty = true;
            return;
        }
        if (key == KEY_DOWN || key == KEY_RIGHT) {
            HandlePageKey(kTab, false, false);
            return;
        }
        if (key == KEY_ENTER)
            key = L'\r';
        else
            return;
    }
    if (key == kTab) {
        std::vector<std::pair<Node*, Button>> order;
        for (Node* n : FocusChain())
            order.push_back({n, Button::Cancel});
        if (b.backEnabled)
            order.push_back({nullptr, Button::Back});
        if (b.finishShown ? b.finishEnabled : b.nextEnabled)
            order.push_back({nullptr, Button::NextOrFinish});
        if (b.cancelEnabled)
            order.push_back({nullptr, Button::Cancel});
        if (order.empty())
            return;
        std::size_t at = order.size() - 1;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (order[i].first == m_focusNode && (m_focusNode != nullptr || order[i].second == m_focusButton))
                at = i;
        }
        const auto& next = order[(at + 1) % order.size()];
        m_focusNode = next.first;
        m_focusButton = next.second;
        m_dirty = true;
        return;
    }
    if (key == L' ' && !alt) {
        if (m_focusNode != nullptr)
            ClickCheckBox(*m_focusNode);
        else
            Press(m_focusButton);
        return;
    }
    if ((key == L'\r' || key == L'\n') && !alt) {
        if (m_focusNode == nullptr)
            Press(m_focusButton);
        else
            Press(Button::NextOrFinish); // the default button
        return;
    }
    switch (std::towlower(static_cast<wint_t>(key))) {
    case L'b':
        Press(Button::Back);
        break;
    case L'n':
        if (!b.finishShown)
            Press(Button::NextOrFinish);
        break;
    case L'f':
        if (b.finishShown)
            Press(Button::NextOrFinish);
        break;
    case L'c':
        Press(Button::Cancel);
        break;
    default:
        break;
    }
}

void TerminalFrontEnd::HandleKey(wint_t key, bool function) {
    if (!function && key == kCtrlC) {
        m_cancelRequested = true;
        return;
    }
    if (function && key == KEY_RESIZE) {
        m_dirty = true;
        return;
    }
    bool alt = false;
    if (!function && key == kEscape) {
        wint_t next = 0;
        const int kind = get_wch(&next);
        if (kind == ERR) {
            // A plain Escape: the box's OK, or the wizard's Cancel.
            if (!m_boxes.empty())
                m_boxes.back()->closed = true;
            else
                Press(Button::Cancel);
            m_dirty = true;
            return;
        }
        alt = true;
        function = kind == KEY_CODE_YES;
        key = next;
    }
    if (!m_boxes.empty()) {
        // A modal box takes every key; Enter, Space, Escape and o close it.
        if (!function && (key == L'\r' || key == L'\n' || key == L' ' || std::towlower(key) == L'o')) {
            m_boxes.back()->closed = true;
            m_dirty = true;
        } else if (function && key == KEY_ENTER) {
            m_boxes.back()->closed = true;
            m_dirty = true;
        }
        return;
    }
    HandlePageKey(key, function, alt);
}

void TerminalFrontEnd::Resize() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        resize_term(size.ws_row, size.ws_col);
    clearok(curscr, TRUE);
    m_dirty = true;
}

// One turn of the loop: wait for a key, handed-over work, a signal or a redraw; handle it.
void TerminalFrontEnd::Pump() {
    int timeoutMs = 200;
    if (m_dirty) {
        const auto since = Clock::now() - m_lastDraw;
        timeoutMs =
            since >= kFrameInterval
                ? 0
                : static_cast<int>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(kFrameInterval - since).count());
    }
    pollfd fds[4] = {{STDIN_FILENO, POLLIN, 0},
                     {WakeDescriptor(), POLLIN, 0},
                     {signals::Descriptor(), POLLIN, 0},
                     {m_beacon.Descriptor(), POLLIN, 0}};
    poll(fds, 4, timeoutMs);

    const unsigned caught = signals::Take();
    if ((caught & signals::kResize) != 0)
        Resize();
    if ((caught & (signals::kInterrupt | signals::kTerminate | signals::kHangup)) != 0)
        m_cancelRequested = true;
    if (m_beacon.Descriptor() >= 0 && m_beacon.TakeRequests()) {
        // Another copy was started: this one shows itself.
        flash();
        beep();
        clearok(curscr, TRUE);
        m_notice = L"Another copy of the program was started; this one is still running.";
        m_dirty = true;
    }
    if (!m_cancelRequested) {
        if (RunPending())
            m_dirty = true;
    }
    for (;;) {
        wint_t key = 0;
        const int kind = get_wch(&key);
        if (kind == ERR)
            break;
        HandleKey(key, kind == KEY_CODE_YES);
        if (m_cancelRequested)
            break;
    }
    if (m_cancelRequested) {
        for (OpenBox* box : m_boxes)
            box->closed = true;
    }
    if (m_dirty && Clock::now() - m_lastDraw >= kFrameInterval)
        Draw();
}

void TerminalFrontEnd::Run(CPropertySheet& sheet) {
    m_sheet = &sheet;
    Start();
    if (const Node* sn = SheetNode(sheet))
        m_beacon.Show(sn->text);
    while (!SheetClosed(sheet)) {
        Pump();
        if (m_cancelRequested && m_boxes.empty()) {
            m_notice = L"Cancelling...";
            Draw();
            CancelSheet(sheet);
            break;
        }
    }
    Stop();
}

int TerminalFrontEnd::ShowMessageBox(const MessageBoxRequest& request) {
    // Once the user has asked to leave, boxes that come meanwhile are answered at once.
    if (m_cancelRequested || !m_started)
        return kIdOk;
    OpenBox box{request, HintFor(request), false};
    m_boxes.push_back(&box);
    m_dirty = true;
    Draw();
    while (!box.closed)
        Pump();
    m_boxes.pop_back();
    m_dirty = true;
    return kIdOk;
}

void TerminalFrontEnd::PutText(int row, int col, const std::wstring& text, int width) {
    if (row < 0 || row >= LINES || width <= 0 || col >= COLS)
        return;
    const int room = std::min(width, COLS - col);
    mvaddnwstr(row, col, text.c_str(), std::min(static_cast<int>(text.size()), room));
}

void TerminalFrontEnd::DrawPage(Node& page, CellRect area) {
    for (const PlacedControl& p : LayoutPage(page, area)) {
        Node& n = *p.node;
        const CellRect& in = p.inner;
        if (p.box.rows <= 0 || p.box.cols <= 0)
            continue;
        switch (n.kind) {
        case NodeKind::Static: {
            const TextColours colours = ColoursOf(n);
            attr_t attrs = A_NORMAL;
            if (colours.custom) {
                const short fg = colours.text == 0 ? -1 : CursesColour(colours.text);
                const short bg =
                    colours.background == GetSysColor(COLOR_BTNFACE) ? -1 : CursesColour(colours.background);
                attrs |= COLOR_PAIR(Pair(fg, bg));
            }
            if ((n.exStyle & res::kWsExStaticEdge) != 0 && p.box.rows >= 2 && p.box.cols >= 2) {
                const CellRect& b = p.box;
                mvhline(b.row, b.col + 1, ACS_HLINE, b.cols - 2);
                mvhline(b.Bottom() - 1, b.col + 1, ACS_HLINE, b.cols - 2);
                mvvline(b.row + 1, b.col, ACS_VLINE, b.rows - 2);
                mvvline(b.row + 1, b.Right() - 1, ACS_VLINE, b.rows - 2);
                mvaddch(b.row, b.col, ACS_ULCORNER);
                mvaddch(b.row, b.Right() - 1, ACS_URCORNER);
                mvaddch(b.Bottom() - 1, b.col, ACS_LLCORNER);
                mvaddch(b.Bottom() - 1, b.Right() - 1, ACS_LRCORNER);
            }
            attron(attrs);
            const std::vector<std::wstring> wrapped = WrapText(n.text, in.cols);
            const bool centred = (n.style & 0x3) == res::kSsCenter;
            for (std::size_t i = 0; i < wrapped.size() && static_cast<int>(i) < in.rows; ++i) {
                const int pad =
                    centred ? std::max((in.cols - static_cast<int>(wrapped[i].size())) / 2, 0) : 0;
                PutText(in.row + static_cast<int>(i), in.col + pad, wrapped[i], in.cols - pad);
            }
            attroff(attrs);
            break;
        }
        case NodeKind::Picture: {
            // No pictures in a terminal: a strip in the picture's place.
            const attr_t attrs = COLOR_PAIR(Pair(n.bitmapFile.empty() ? COLOR_BLUE : COLOR_CYAN, -1));
            attron(attrs);
            for (int r = 0; r < p.box.rows; ++r)
                for (int c = 0; c < p.box.cols; ++c)
                    mvadd_wch(p.box.row + r, p.box.col + c, WACS_CKBOARD);
            attroff(attrs);
            break;
        }
        case NodeKind::CheckBox: {
            const bool focused = m_focusNode == &n && m_boxes.empty();
            PutText(in.row, in.col, n.check == BST_CHECKED ? L"[x] " : L"[ ] ", in.cols);
            if (focused)
                attron(A_REVERSE);
            if (!n.enabled)
                attron(A_DIM);
            PutText(in.row, in.col + 4, n.text, in.cols - 4);
            attroff(A_REVERSE | A_DIM);
            break;
        }
        case NodeKind::ProgressBar: {
            const int inner = in.cols - 2;
            if (inner <= 0)
                break;
            const int filled = n.pos * inner / 100;
            std::wstring bar = L"[";
            bar.append(static_cast<std::size_t>(filled), m_utf8 ? L'\u2588' : L'#');
            bar.append(static_cast<std::size_t>(inner - filled), m_utf8 ? L'\u2591' : L'.');
            bar += L"]";
            PutText(in.row, in.col, bar, in.cols);
            break;
        }
        default:
            break;
        }
    }
}

void TerminalFrontEnd::DrawButtons(int row) {
    const WizardButtons b = ButtonsOf(*SheetNode(*m_sheet));
    struct Shown {
        const wchar_t* label;
        bool enabled;
        Button button;
    };
    const Shown shown[] = {
        {L"< Back", b.backEnabled, Button::Back},
        {b.finishShown ? L"Finish" : L"Next >", b.finishShown ? b.finishEnabled : b.nextEnabled,
         Button::NextOrFinish},
        {L"Cancel", b.cancelEnabled, Button::Cancel},
    };
    // Each button is "[ label ]" when it can be pressed, the bare label (dimmed) when not.
    int width = 0;
    for (const Shown& s : shown)
        width += static_cast<int>(std::wcslen(s.label)) + 4 + 2;
    int col = std::max(COLS - width, 0);
    for (const Shown& s : shown) {
        const std::wstring text =
            s.enabled ? L"[ " + std::wstring(s.label) + L" ]" : L"  " + std::wstring(s.label) + L"  ";
        const bool focused =
            s.enabled && m_focusNode == nullptr && m_focusButton == s.button && m_boxes.empty();
        attr_t attrs = s.enabled ? A_BOLD : A_DIM;
        if (focused)
            attrs |= A_REVERSE;
        attron(attrs);
        PutText(row, col, text, COLS - col);
        attroff(attrs);
        col += static_cast<int>(text.size()) + 2;
    }
}

void TerminalFrontEnd::DrawBox(OpenBox& box, bool top) {
    const std::wstring marker = IconMarker(box.request.type);
    const int maxText = std::max(std::min(COLS - 12, 60), 10);
    const int textCol = marker.empty() ? 0 : static_cast<int>(marker.size()) + 2;
    std::vector<std::wstring> wrapped = WrapText(box.request.text, maxText);
    if (wrapped.empty())
        wrapped.emplace_back();
    int textWidth = 0;
    for (const auto& l : wrapped)
        textWidth = std::max(textWidth, static_cast<int>(l.size()));
    const int inner = std::max({textCol + textWidth, static_cast<int>(box.request.caption.size()) + 4, 20});
    const int width = std::min(inner + 4, COLS);
    const int height = std::min(static_cast<int>(wrapped.size()) + 5, LINES);
    const int row = std::max((LINES - height) / 2, 0);
    const int col = std::max((COLS - width) / 2, 0);
    const attr_t frame = COLOR_PAIR(Pair(-1, -1)) | (top ? A_BOLD : A_NORMAL);
    for (int r = 0; r < height; ++r)
        mvhline(row + r, col, ' ', width);
    attron(frame);
    mvhline(row, col + 1, ACS_HLINE, width - 2);
    mvhline(row + height - 1, col + 1, ACS_HLINE, width - 2);
    mvvline(row + 1, col, ACS_VLINE, height - 2);
    mvvline(row + 1, col + width - 1, ACS_VLINE, height - 2);
    mvaddch(row, col, ACS_ULCORNER);
    mvaddch(row, col + width - 1, ACS_URCORNER);
    mvaddch(row + height - 1, col, ACS_LLCORNER);
    mvaddch(row + height - 1, col + width - 1, ACS_LRCORNER);
    PutText(row, col + 2, L" " + box.request.caption + L" ", width - 4);
    attroff(frame);
    if (!marker.empty()) {
        const short colour = (box.request.type & kIconMask) == MB_ICONERROR ? COLOR_RED : COLOR_BLUE;
        attron(COLOR_PAIR(Pair(colour, -1)) | A_BOLD);
        PutText(row + 2, col + 2, marker, width - 4);
        attroff(COLOR_PAIR(Pair(colour, -1)) | A_BOLD);
    }
    for (std::size_t i = 0; i < wrapped.size() && static_cast<int>(i) + 2 < height - 2; ++i)
        PutText(row + 2 + static_cast<int>(i), col + 2 + textCol, wrapped[i], width - 4 - textCol);
    const std::wstring ok = L"[  OK  ]";
    attron(top ? A_REVERSE | A_BOLD : A_NORMAL);
    PutText(row + height - 2, col + (width - static_cast<int>(ok.size())) / 2, ok, width - 2);
    attroff(A_REVERSE | A_BOLD);
    if (top && !box.hint.empty() && row + height < LINES - 2) {
        // A plain sentence about the error code, under the box.
        const std::vector<std::wstring> hint = WrapText(box.hint, std::min(COLS - 4, 76));
        const int hintCol = std::max((COLS - std::min(COLS - 4, 76)) / 2, 0);
        attron(COLOR_PAIR(Pair(COLOR_YELLOW, -1)));
        for (std::size_t i = 0; i < hint.size() && row + height + static_cast<int>(i) < LINES - 2; ++i) {
            mvhline(row + height + static_cast<int>(i), 0, ' ', COLS);
            PutText(row + height + static_cast<int>(i), hintCol, hint[i], COLS - hintCol);
        }
        attroff(COLOR_PAIR(Pair(COLOR_YELLOW, -1)));
    }
}

void TerminalFrontEnd::Draw() {
    m_lastDraw = Clock::now();
    m_dirty = false;
    Node* sn = SheetNode(*m_sheet);
    CPropertyPage* page = ActivePage(*m_sheet);
    if (sn == nullptr)
        return;
    Node* pn = page != nullptr ? AsNode(page->m_hWnd) : nullptr;
    if (pn != nullptr && (pn != m_shownPage || pn->activations != m_pageActivations)) {
        // A page shown afresh starts with the focus on its first control.
        m_shownPage = pn;
        m_pageActivations = pn->activations;
        m_focusNode = nullptr;
        m_focusButton = Button::NextOrFinish;
        const std::vector<Node*> chain = FocusChain();
        if (!chain.empty())
            m_focusNode = chain.front();
    }
    FixFocus();
    ::erase();
    // The title line: the current page's caption, as the wizard's frame shows it.
    attron(A_REVERSE);
    mvhline(0, 0, ' ', COLS);
    PutText(0, 1, sn->text, COLS - 2);
    attroff(A_REVERSE);
    if (pn != nullptr && LINES >= 4)
        DrawPage(*pn, {1, 1, LINES - 3, COLS - 2});
    if (LINES >= 3) {
        mvhline(LINES - 2, 0, ACS_HLINE, COLS);
        if (!m_notice.empty())
            PutText(LINES - 2, 2, L" " + m_notice + L" ", COLS - 4);
    }
    const std::wstring keys = L"Tab:move Space:tick Enter:press Esc:cancel";
    if (COLS >= static_cast<int>(keys.size()) + 36) {
        attron(A_DIM);
        PutText(LINES - 1, 1, keys, COLS - 1);
        attroff(A_DIM);
    }
    DrawButtons(LINES - 1);
    for (std::size_t i = 0; i < m_boxes.size(); ++i)
        DrawBox(*m_boxes[i], i + 1 == m_boxes.size());
    ::refresh();
}

} // namespace

std::unique_ptr<FrontEnd> MakeTerminalFrontEnd() {
    // A terminal the curses library does not know (TERM unset, unknown, or too dumb to
    // address the cursor) cannot show the wizard: it runs unattended there, and says so.
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        const char* term = std::getenv("TERM");
        std::fprintf(stderr, "vestrel: the terminal \"%s\" cannot show the wizard; it runs unattended\n",
                     term != nullptr ? term : "");
        return MakeUnattendedFrontEnd(stdout);
    }
    const bool addressable = tigetstr("cup") != nullptr && tigetstr("cup") != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    if (!addressable) {
        std::fprintf(stderr, "vestrel: this terminal cannot place the cursor; the wizard runs unattended\n");
        return MakeUnattendedFrontEnd(stdout);
    }
    return std::make_unique<TerminalFrontEnd>();
}

} // namespace ui

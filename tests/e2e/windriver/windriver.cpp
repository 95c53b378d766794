// windriver: drives the Vestrel wizard from outside, with window messages only, the way a user
// would with the mouse, and writes what it sees as a log for the end-to-end scripts to check.
//
// It runs in the same Wine prefix (and desktop) as Vestrel.exe. Steps come from the command line,
// each a verb followed by a fixed number of arguments:
//
//   find TITLE MS          wait for a top-level window titled TITLE: it becomes "the wizard"
//   state                  print the wizard's state line
//   click ID               click control ID of the current page (BM_CLICK, posted)
//   press BUTTON           click back, next, finish or cancel of the wizard (BM_CLICK, posted)
//   wait KEY VALUE MS      wait until a field of the state line has the value
//   boxes N MS             wait until N message boxes have been seen in all
//   sleep MS               let time pass
//   gone MS                wait until the wizard's window no longer exists
//   shot PATH              save a screenshot of the desktop (24-bit BMP)
//   focus-self             show a window of the driver's own and make it the foreground window
//   foreground             print the title of the foreground window
//   run EXE MS             start EXE, wait for it to end, report its exit code and its windows
//   pixel ID               the colour on screen at the centre of control ID of the current page
//   keep-boxes / close-boxes
//                          leave message boxes open, or close them as they appear (the default)
//
// While any step waits, the driver keeps watching: each message box of the wizard's process is
// logged with its caption and text and closed with OK, and every change of the wizard's title,
// buttons, status line, percent label and overall bar is logged as an event. Log lines start
// with the milliseconds since the driver started.
#include <windows.h>

#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

// Control ids the wizard's sheet gives its buttons, and the pages' controls.
constexpr int kBackButton = 0x3023;
constexpr int kNextButton = 0x3024;
constexpr int kFinishButton = 0x3025;
constexpr int kHelpButton = IDHELP;
constexpr int kAgreeCheck = 1025;
constexpr int kOverallBar = 1030;
constexpr int kPercentLabel = 1031;
constexpr int kPhaseBar = 1032;
constexpr int kStatusLine = 1033;
constexpr UINT kReadTimeoutMs = 1000;
constexpr DWORD kPollMs = 25;

DWORD g_start = 0;
HWND g_sheet = nullptr;
DWORD g_sheetProcess = 0;
bool g_closeBoxes = true;
int g_boxesSeen = 0;
std::set<HWND> g_boxesReported;
std::map<std::string, std::string> g_lastState;
HWND g_ownWindow = nullptr;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// Texts are logged on one line: line breaks, tabs, quotes and backslashes are escaped as in C.
std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (char c : Utf8(text)) {
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

void Log(const std::string& line) {
    std::printf("%6lu %s\n", static_cast<unsigned long>(GetTickCount() - g_start), line.c_str());
    std::fflush(stdout);
}

// Window text through WM_GETTEXT, which crosses processes; bounded so a busy wizard (Cancel
// waits for the worker) cannot hang the driver.
std::wstring TextOf(HWND hwnd) {
    if (hwnd == nullptr) {
        return {};
    }
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kReadTimeoutMs, &length)) {
        return {};
    }
    std::vector<wchar_t> buffer(length + 2, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_NORMAL, kReadTimeoutMs, &got)) {
        return {};
    }
    return std::wstring(buffer.data(), got);
}

LRESULT Ask(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (hwnd == nullptr ||
        !SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL, kReadTimeoutMs, &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[128] = {};
    GetClassNameW(hwnd, name, 128);
    return name;
}

HWND CurrentPage() {
    if (g_sheet == nullptr || !IsWindow(g_sheet)) {
        return nullptr;
    }
    return reinterpret_cast<HWND>(Ask(g_sheet, PSM_GETCURRENTPAGEHWND));
}

// "1" for a shown and enabled button, "0" for a disabled or hidden one, "absent" when the sheet
// has none.
std::string ButtonState(int id) {
    HWND button = GetDlgItem(g_sheet, id);
    if (button == nullptr) {
        return "absent";
    }
    return IsWindowVisible(button) && IsWindowEnabled(button) ? "1" : "0";
}

std::map<std::string, std::string> ReadState() {
    std::map<std::string, std::string> state;
    if (g_sheet == nullptr || !IsWindow(g_sheet)) {
        state["sheet"] = "gone";
        return state;
    }
    state["sheet"] = "open";
    state["title"] = Quote(TextOf(g_sheet));
    state["back"] = ButtonState(kBackButton);
    state["next"] = ButtonState(kNextButton);
    state["finish"] = ButtonState(kFinishButton);
    state["cancel"] = ButtonState(IDCANCEL);
    HWND help = GetDlgItem(g_sheet, kHelpButton);
    state["help"] = help == nullptr ? "absent" : (IsWindowVisible(help) ? "shown" : "hidden");
    HWND page = CurrentPage();
    if (HWND check = page != nullptr ? GetDlgItem(page, kAgreeCheck) : nullptr) {
        state["check"] = std::to_string(Ask(check, BM_GETCHECK));
    }
    if (HWND status = page != nullptr ? GetDlgItem(page, kStatusLine) : nullptr) {
        state["status"] = Quote(TextOf(status));
        state["percent"] = Quote(TextOf(GetDlgItem(page, kPercentLabel)));
        state["overall"] = std::to_string(Ask(GetDlgItem(page, kOverallBar), PBM_GETPOS));
        state["phase"] = std::to_string(Ask(GetDlgItem(page, kPhaseBar), PBM_GETPOS));
    }
    return state;
}

std::string StateLine(const std::map<std::string, std::string>& state) {
    std::string line = "state";
    for (const char* key : {"sheet", "title", "back", "next", "finish", "cancel", "help", "check", "overall",
                            "phase", "percent", "status"}) {
        auto it = state.find(key);
        if (it != state.end()) {
            line += std::string(" ") + key + "=" + it->second;
        }
    }
    return line;
}

// Logs what changed since the last look; the phase bar moves too often to be worth a line.
void LogChanges() {
    const auto state = ReadState();
    auto changed = [&](const char* key) {
        auto now = state.find(key);
        auto before = g_lastState.find(key);
        const std::string a = now != state.end() ? now->second : "";
        const std::string b = before != g_lastState.end() ? before->second : "";
        return a != b ? std::optional<std::string>(a) : std::nullopt;
    };
    for (const char* key : {"sheet", "title", "status", "percent", "overall"}) {
        if (auto value = changed(key); value && !value->empty()) {
            Log(std::string("event ") + key + "=" + *value);
        }
    }
    if (changed("back") || changed("next") || changed("finish") || changed("cancel")) {
        if (state.count("back") != 0) {
            Log("event buttons back=" + state.at("back") + " next=" + state.at("next") +
                " finish=" + state.at("finish") + " cancel=" + state.at("cancel"));
        }
    }
    g_lastState = state;
}

struct BoxSearch {
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND hwnd, LPARAM param) {
    if (hwnd == g_sheet || !IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770") {
        return TRUE;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process != g_sheetProcess || GetDlgItem(hwnd, IDOK) == nullptr) {
        return TRUE;
    }
    reinterpret_cast<BoxSearch*>(param)->boxes.push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK CollectTexts(HWND child, LPARAM param) {
    if (ClassOf(child) != L"Static" && ClassOf(child) != L"STATIC") {
        return TRUE;
    }
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        return TRUE;
    }
    const std::wstring text = TextOf(child);
    if (!text.empty()) {
        auto* all = reinterpret_cast<std::wstring*>(param);
        if (!all->empty()) {
            all->push_back(L'|');
        }
        *all += text;
    }
    return TRUE;
}

void HandleBoxes() {
    if (g_sheetProcess == 0) {
        return;
    }
    BoxSearch search;
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.boxes) {
        if (g_boxesReported.insert(box).second) {
            std::wstring text;
            EnumChildWindows(box, CollectTexts, reinterpret_cast<LPARAM>(&text));
            HWND owner = GetWindow(box, GW_OWNER);
            ++g_boxesSeen;
            Log("box caption=" + Quote(TextOf(box)) + " text=" + Quote(text) +
                " owner=" + (owner == nullptr ? "none" : (owner == g_sheet ? "wizard" : "other")));
        }
        if (g_closeBoxes) {
            PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        }
    }
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// One look around: boxes, changes, our own window's messages.
void Tick() {
    Pump();
    HandleBoxes();
    LogChanges();
}

template <typename Done> bool WaitFor(DWORD ms, Done done) {
    const DWORD start = GetTickCount();
    for (;;) {
        Tick();
        if (done()) {
            return true;
        }
        if (GetTickCount() - start >= ms) {
            return false;
        }
        Sleep(kPollMs);
    }
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring wide = Wide(path);
    if (!wide.empty() && wide[0] == L'/') {
        wide = L"Z:" + wide;
    }
    for (auto& c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return wide;
}

bool Screenshot(const std::string& path) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        GdiFlush();
        SelectObject(memory, old);
        const DWORD rowSize = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        const DWORD dataSize = rowSize * static_cast<DWORD>(height);
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
        file.bfSize = file.bfOffBits + dataSize;
        HANDLE out =
            CreateFileW(WindowsPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ok = WriteFile(out, &file, sizeof(file), &written, nullptr) &&
                 WriteFile(out, &info.bmiHeader, sizeof(info.bmiHeader), &written, nullptr) &&
                 WriteFile(out, bits, dataSize, &written, nullptr);
            CloseHandle(out);
        }
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

LRESULT CALLBACK OwnWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void FocusSelf() {
    if (g_ownWindow == nullptr) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = OwnWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"windriver";
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        RegisterClassW(&wc);
        g_ownWindow = CreateWindowExW(0, L"windriver", L"windriver", WS_OVERLAPPEDWINDOW, 600, 500, 300, 200,
                                      nullptr, nullptr, wc.hInstance, nullptr);
    }
    ShowWindow(g_ownWindow, SW_SHOW);
    SetForegroundWindow(g_ownWindow);
    WaitFor(300, [] { return false; });
    Log("focus-self foreground=" + Quote(TextOf(GetForegroundWindow())));
}

struct ProcessWindows {
    DWORD process;
    std::set<HWND> seen;
};

BOOL CALLBACK CollectProcessWindows(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<ProcessWindows*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == search->process && IsWindowVisible(hwnd)) {
        search->seen.insert(hwnd);
    }
    return TRUE;
}

void Run(const std::string& exe, DWORD ms) {
    std::wstring command = L"\"" + WindowsPath(exe) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        Log("run failed error=" + std::to_string(GetLastError()));
        return;
    }
    ProcessWindows windows{process.dwProcessId, {}};
    const DWORD start = GetTickCount();
    bool ended = false;
    while (GetTickCount() - start < ms) {
        EnumWindows(CollectProcessWindows, reinterpret_cast<LPARAM>(&windows));
        if (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        Tick();
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    Log(std::string("run ") + (ended ? "ended" : "still-running") + " exit=" + std::to_string(code) +
        " windows=" + std::to_string(windows.seen.size()) + " ms=" + std::to_string(GetTickCount() - start));
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

int Arity(const std::string& verb) {
    static const std::map<std::string, int> arity = {
        {"find", 2},       {"state", 0}, {"click", 1},      {"press", 1},       {"wait", 3},
        {"boxes", 2},      {"sleep", 1}, {"gone", 1},       {"shot", 1},        {"focus-self", 0},
        {"foreground", 0}, {"run", 2},   {"keep-boxes", 0}, {"close-boxes", 0}, {"pixel", 1},
    };
    auto it = arity.find(verb);
    return it == arity.end() ? -1 : it->second;
}

// Returns false when the run cannot go on (the wizard never showed up).
bool Step(const std::string& verb, const std::vector<std::string>& args) {
    auto number = [](const std::string& text) {
        return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
    };
    if (verb == "find") {
        const std::wstring title = Wide(args[0]);
        const bool found = WaitFor(number(args[1]), [&] {
            HWND hwnd = FindWindowW(nullptr, title.c_str());
            if (hwnd != nullptr && IsWindowVisible(hwnd)) {
                g_sheet = hwnd;
                GetWindowThreadProcessId(hwnd, &g_sheetProcess);
                return true;
            }
            return false;
        });
        Log((found ? "found " : "timeout find ") + Quote(title));
        return found;
    }
    if (verb == "state") {
        Tick();
        Log(StateLine(ReadState()));
    } else if (verb == "click") {
        const int id = static_cast<int>(number(args[0]));
        HWND page = CurrentPage();
        HWND control = page != nullptr ? GetDlgItem(page, id) : nullptr;
        if (control == nullptr) {
            control = GetDlgItem(g_sheet, id);
        }
        Log("click " + args[0] + (control == nullptr ? " (no such control)" : ""));
        if (control != nullptr) {
            PostMessageW(control, BM_CLICK, 0, 0);
        }
        WaitFor(200, [] { return false; });
    } else if (verb == "press") {
        // Clicked like a user would: a disabled or hidden button does nothing.
        static const std::map<std::string, int> buttons = {
            {"back", kBackButton}, {"next", kNextButton}, {"finish", kFinishButton}, {"cancel", IDCANCEL}};
        auto it = buttons.find(args[0]);
        HWND button = it != buttons.end() ? GetDlgItem(g_sheet, it->second) : nullptr;
        if (button == nullptr) {
            Log("press " + args[0] + " (no such button)");
        } else if (!IsWindowVisible(button) || !IsWindowEnabled(button)) {
            Log("press " + args[0] + " (button disabled: nothing happens)");
        } else {
            Log("press " + args[0]);
            PostMessageW(button, BM_CLICK, 0, 0);
        }
        WaitFor(200, [] { return false; });
    } else if (verb == "wait") {
        const std::string& key = args[0];
        const std::string& value = args[1];
        std::string last;
        const bool reached = WaitFor(number(args[2]), [&] {
            auto state = ReadState();
            last = state.count(key) != 0 ? state[key] : "";
            return last == value || last == "\"" + value + "\"";
        });
        Log((reached ? "reached " : "timeout ") + key + "=" + value + (reached ? "" : " last=" + last));
    } else if (verb == "boxes") {
        const int wanted = static_cast<int>(number(args[0]));
        const bool reached = WaitFor(number(args[1]), [&] { return g_boxesSeen >= wanted; });
        Log((reached ? "reached boxes=" : "timeout boxes=") + args[0] +
            " seen=" + std::to_string(g_boxesSeen));
    } else if (verb == "sleep") {
        WaitFor(number(args[0]), [] { return false; });
    } else if (verb == "gone") {
        const bool gone = WaitFor(number(args[0]), [] { return g_sheet == nullptr || !IsWindow(g_sheet); });
        Log(gone ? "gone" : "timeout gone");
    } else if (verb == "shot") {
        Tick();
        Log((Screenshot(args[0]) ? "shot " : "shot failed ") + args[0]);
    } else if (verb == "focus-self") {
        FocusSelf();
    } else if (verb == "foreground") {
        Tick();
        Log("foreground " + Quote(TextOf(GetForegroundWindow())));
    } else if (verb == "run") {
        Run(args[0], number(args[1]));
    } else if (verb == "pixel") {
        Tick();
        HWND page = CurrentPage();
        HWND control = page != nullptr ? GetDlgItem(page, static_cast<int>(number(args[0]))) : nullptr;
        RECT rect{};
        if (control == nullptr || !GetWindowRect(control, &rect)) {
            Log("pixel " + args[0] + " (no such control)");
        } else {
            HDC screen = GetDC(nullptr);
            const COLORREF colour =
                GetPixel(screen, (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
            ReleaseDC(nullptr, screen);
            Log("pixel " + args[0] + " " + std::to_string(GetRValue(colour)) + "," +
                std::to_string(GetGValue(colour)) + "," + std::to_string(GetBValue(colour)));
        }
    } else if (verb == "keep-boxes") {
        g_closeBoxes = false;
    } else if (verb == "close-boxes") {
        g_closeBoxes = true;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    g_start = GetTickCount();
    // Plain "\n" line ends: the log is read by shell scripts.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        words.push_back(Utf8(argv[i]));
    }
    // Check the whole script before acting on any of it.
    for (std::size_t i = 0; i < words.size();) {
        const int arity = Arity(words[i]);
        if (arity < 0 || i + 1 + static_cast<std::size_t>(arity) > words.size()) {
            std::fprintf(stderr, "windriver: bad step '%s' (see the list at the top of windriver.cpp)\n",
                         words[i].c_str());
            return 2;
        }
        i += 1 + static_cast<std::size_t>(arity);
    }
    for (std::size_t i = 0; i < words.size();) {
        const std::string verb = words[i];
        const auto arity = static_cast<std::size_t>(Arity(verb));
        std::vector<std::string> args(words.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                      words.begin() + static_cast<std::ptrdiff_t>(i + 1 + arity));
        i += 1 + arity;
        if (!Step(verb, args)) {
            Log("abort");
            return 1;
        }
    }
    Log("done");
    return 0;
}

// The application object and the program's entry point.
#include "platform/win32/Internal.h"

#include <string>
#include <vector>

namespace {
CWinApp* g_app = nullptr;
} // namespace

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) {
        g_app = nullptr;
    }
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

CWinApp* AfxGetApp() {
    return g_app;
}

const wchar_t* CWinApp::AppTitle() {
    // The program has no title string of its own: its title is the executable's file name
    // without the extension, read once.
    static const std::wstring title = [] {
        std::vector<wchar_t> path(MAX_PATH);
        for (;;) {
            const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (length == 0) {
                return std::wstring();
            }
            if (length < path.size()) {
                path.resize(length);
                break;
            }
            path.resize(path.size() * 2);
        }
        std::wstring name(path.begin(), path.end());
        const std::size_t slash = name.find_last_of(L"\\/");
        if (slash != std::wstring::npos) {
            name.erase(0, slash + 1);
        }
        const std::size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos && dot > 0) {
            name.erase(dot);
        }
        return name;
    }();
    return title.c_str();
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    vestrel::win32::StartUiThread(instance);
    CWinApp* app = AfxGetApp();
    if (app != nullptr) {
        // The sheet is the main window and the program's only one: once InitInstance returns,
        // the wizard has been closed (or a second copy stepped aside) and the program ends.
        app->InitInstance();
    }
    vestrel::win32::StopUiThread();
    return 0;
}

// Desktop services of start-up and the welcome page.
#include "platform/win32/Internal.h"

#include <commctrl.h>
#include <shlobj.h>

#include <vector>

bool BringWindowWithTitleToFront(const wchar_t* title) {
    HWND window = FindWindowW(nullptr, title);
    if (window == nullptr) {
        return false;
    }
    // Nothing else is done to it: a minimised window stays minimised.
    SetForegroundWindow(window);
    return true;
}

void CloseTopLevelWindowOfClass(const wchar_t* className) {
    HWND window = FindWindowW(className, nullptr);
    if (window != nullptr) {
        SendMessageW(window, WM_CLOSE, 0, 0);
    }
}

void InitCommonControlsForWizard() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = 8;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
}

std::wstring LogoFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_INTERNET_CACHE, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        return folder;
    }
    // The temporary-files directory, whatever its length, without its trailing backslash.
    std::vector<wchar_t> temp(256);
    DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    if (length >= temp.size()) {
        temp.resize(length + 1);
        length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    }
    if (length == 0 || length >= temp.size()) {
        return {};
    }
    std::wstring path(temp.data(), length);
    if (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

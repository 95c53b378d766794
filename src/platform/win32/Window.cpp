// Windows and controls over HWNDs. A CWnd never creates or destroys its window: the dialog
// manager makes the controls from the templates and destroys them with the page; the object is
// only bound to its control by DDX_Control.
//
// Calls from the worker thread need no hand-over of their own here: SetWindowTextW, PBM_SETPOS
// and the other sent messages already run on the thread that owns the window while the caller
// waits. Message boxes are the exception (a box must belong to the user-interface thread), so
// they go through RunOnUiThread.
#include "platform/win32/Internal.h"

#include <commctrl.h>

#include <vector>

namespace vestrel::win32 {

void BindWindow(HWND hwnd, CWnd* wnd) {
    if (hwnd == nullptr) {
        return;
    }
    if (wnd != nullptr) {
        SetPropW(hwnd, kBoundWndProp, wnd);
    } else {
        RemovePropW(hwnd, kBoundWndProp);
    }
}

CWnd* BoundWindow(HWND hwnd) {
    return hwnd != nullptr ? static_cast<CWnd*>(GetPropW(hwnd, kBoundWndProp)) : nullptr;
}

HWND TopLevelOwner(HWND hwnd) {
    if (hwnd == nullptr || !IsWindow(hwnd)) {
        return nullptr;
    }
    HWND root = GetAncestor(hwnd, GA_ROOT);
    return root != nullptr ? root : hwnd;
}

} // namespace vestrel::win32

using namespace vestrel::win32;

namespace {
HWND H(WindowRef ref) {
    return static_cast<HWND>(ref);
}
} // namespace

CWnd::CWnd() = default;

CWnd::~CWnd() {
    // The window may outlive the object (or the other way round): only drop our own binding.
    HWND hwnd = H(m_hWnd);
    if (hwnd != nullptr && IsWindow(hwnd) && BoundWindow(hwnd) == this) {
        BindWindow(hwnd, nullptr);
    }
}

void CWnd::SetWindowText(const wchar_t* text) {
    if (m_hWnd != nullptr) {
        ::SetWindowTextW(H(m_hWnd), text != nullptr ? text : L"");
    }
}

std::wstring CWnd::GetWindowText() const {
    if (m_hWnd == nullptr) {
        return {};
    }
    const int length = GetWindowTextLengthW(H(m_hWnd));
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
    const int got = ::GetWindowTextW(H(m_hWnd), buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

void CWnd::EnableWindow(bool enable) {
    if (m_hWnd != nullptr) {
        ::EnableWindow(H(m_hWnd), enable ? TRUE : FALSE);
    }
}

bool CWnd::IsWindowEnabled() const {
    return m_hWnd != nullptr && ::IsWindowEnabled(H(m_hWnd)) != FALSE;
}

void CWnd::RedrawNow() {
    if (m_hWnd != nullptr) {
        RedrawWindow(H(m_hWnd), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
}

void CWnd::SetDlgItemText(int id, const wchar_t* text) {
    if (m_hWnd != nullptr) {
        ::SetDlgItemTextW(H(m_hWnd), id, text != nullptr ? text : L"");
    }
}

std::wstring CWnd::GetDlgItemText(int id) const {
    CWnd item;
    item.m_hWnd = GetDlgItem(id);
    std::wstring text = item.GetWindowText();
    item.m_hWnd = nullptr;
    return text;
}

WindowRef CWnd::GetDlgItem(int id) const {
    return m_hWnd != nullptr ? ::GetDlgItem(H(m_hWnd), id) : nullptr;
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    int result = 0;
    RunOnUiThread([&] {
        result = ::MessageBoxW(TopLevelOwner(H(m_hWnd)), text != nullptr ? text : L"",
                               caption != nullptr ? caption : CWinApp::AppTitle(), type);
    });
    return result;
}

void* CWnd::OnReflectedCtlColor(CDC*, UINT) {
    return nullptr;
}

COLORREF CDC::SetBkColor(COLORREF colour) {
    COLORREF previous = m_bkColour;
    if (m_hDC != nullptr) {
        previous = ::SetBkColor(static_cast<HDC>(m_hDC), colour);
    }
    m_bkColour = colour;
    return previous;
}

COLORREF CDC::SetTextColor(COLORREF colour) {
    COLORREF previous = m_textColour;
    if (m_hDC != nullptr) {
        previous = ::SetTextColor(static_cast<HDC>(m_hDC), colour);
    }
    m_textColour = colour;
    return previous;
}

namespace {
// The logo the program loaded itself, remembered on the control so that a later load can free
// it: the page loads the logo on every activation and must not leak one bitmap per visit.
constexpr const wchar_t* kLoadedBitmapProp = L"Vestrel.LoadedBitmap";
} // namespace

bool CStatic::SetBitmapFromFile(const wchar_t* path) {
    if (m_hWnd == nullptr || path == nullptr) {
        return false;
    }
    auto* bitmap =
        static_cast<HBITMAP>(LoadImageW(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
    if (bitmap == nullptr) {
        return false;
    }
    HWND hwnd = H(m_hWnd);
    auto* ours = static_cast<HBITMAP>(GetPropW(hwnd, kLoadedBitmapProp));
    auto* previous = reinterpret_cast<HBITMAP>(
        SendMessageW(hwnd, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
    SetPropW(hwnd, kLoadedBitmapProp, bitmap);
    if (ours != nullptr && ours != bitmap) {
        // The control may have handed back a copy it made rather than our handle; ours is no
        // longer shown either way.
        DeleteObject(ours);
        if (previous != nullptr && previous != ours) {
            DeleteObject(previous);
        }
    }
    return true;
}

int CButton::GetCheck() const {
    return m_hWnd != nullptr ? static_cast<int>(SendMessageW(H(m_hWnd), BM_GETCHECK, 0, 0)) : BST_UNCHECKED;
}

void CButton::SetCheck(int check) {
    if (m_hWnd != nullptr) {
        SendMessageW(H(m_hWnd), BM_SETCHECK, static_cast<WPARAM>(check), 0);
    }
}

void CProgressCtrl::SetPos(int pos) {
    if (m_hWnd != nullptr) {
        SendMessageW(H(m_hWnd), PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    }
}

int CProgressCtrl::GetPos() const {
    return m_hWnd != nullptr ? static_cast<int>(SendMessageW(H(m_hWnd), PBM_GETPOS, 0, 0)) : 0;
}

CBrush::~CBrush() {
    if (m_handle != nullptr) {
        DeleteObject(static_cast<HBRUSH>(m_handle));
    }
}

bool CBrush::CreateSolidBrush(COLORREF colour) {
    if (m_handle != nullptr) {
        DeleteObject(static_cast<HBRUSH>(m_handle));
    }
    m_handle = ::CreateSolidBrush(colour);
    m_colour = colour;
    return m_handle != nullptr;
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (pDX == nullptr || pDX->m_pDlgWnd == nullptr || pDX->m_pDlgWnd->m_hWnd == nullptr) {
        return;
    }
    HWND item = ::GetDlgItem(H(pDX->m_pDlgWnd->m_hWnd), id);
    if (item == nullptr) {
        return;
    }
    control.m_hWnd = item;
    BindWindow(item, &control);
}

int OwnerlessMessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    // Shown on the calling thread: a box without owner leaves the wizard usable, and a worker
    // stopped while its box is open takes the box with it.
    return MessageBoxW(nullptr, text != nullptr ? text : L"",
                       caption != nullptr ? caption : CWinApp::AppTitle(), type);
}

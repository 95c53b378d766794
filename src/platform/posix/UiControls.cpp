// Windows and controls over the window model. Every operation runs on the user-interface thread
// (at once when called there, or when no loop runs); other threads wait for it.
#include "platform/posix/UiModel.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>

using ui::AsNode;
using ui::Change;
using ui::Node;
using ui::NotifyChanged;

namespace {

std::uint32_t Le(const unsigned char* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Whether the file holds a bitmap the system would load (a BMP with a sane header whose pixels
// are all there), and its size in pixels.
bool ProbeBitmapFile(const std::string& path, int& width, int& height) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    file.seekg(0, std::ios::end);
    const auto fileSize = static_cast<std::uint64_t>(std::max<std::streamoff>(file.tellg(), 0));
    file.seekg(0);
    std::array<unsigned char, 54> h{};
    file.read(reinterpret_cast<char*>(h.data()), static_cast<std::streamsize>(h.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got < 26 || h[0] != 'B' || h[1] != 'M')
        return false;
    const std::uint32_t bitsOffset = Le(&h[10], 4);
    const std::uint32_t infoSize = Le(&h[14], 4);
    std::int64_t w = 0;
    std::int64_t ht = 0;
    std::uint32_t planes = 0;
    std::uint32_t bpp = 0;
    std::uint32_t compression = 0;
    if (infoSize == 12) {
        w = Le(&h[18], 2);
        ht = Le(&h[20], 2);
        planes = Le(&h[22], 2);
        bpp = Le(&h[24], 2);
    } else if (infoSize >= 40 && infoSize <= 124 && got >= 54) {
        w = static_cast<std::int32_t>(Le(&h[18], 4));
        ht = static_cast<std::int32_t>(Le(&h[22], 4));
        planes = Le(&h[26], 2);
        bpp = Le(&h[28], 2);
        compression = Le(&h[30], 4);
    } else {
        return false;
    }
    const bool bppOk = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    if (planes != 1 || !bppOk || compression > 3 || w <= 0 || ht == 0 || w > 32767 || ht > 32767 ||
        ht < -32767)
        return false;
    if (bitsOffset < 14 + infoSize || bitsOffset > fileSize)
        return false;
    if (compression == 0 || compression == 3) {
        const std::uint64_t stride = ((static_cast<std::uint64_t>(w) * bpp + 31) / 32) * 4;
        const std::uint64_t rows = static_cast<std::uint64_t>(ht < 0 ? -ht : ht);
        if (bitsOffset + stride * rows > fileSize)
            return false;
    }
    width = static_cast<int>(w);
    height = static_cast<int>(ht < 0 ? -ht : ht);
    return true;
}

} // namespace

CWnd::CWnd() = default;

CWnd::~CWnd() {
    // The node outlives a control bound to it; it must not keep pointing at a dead object.
    // Window objects with a window die on the user-interface thread; nothing is handed over
    // here (a destructor must not wait, nor throw while a stopped thread unwinds).
    if (Node* n = AsNode(m_hWnd); n != nullptr && n->object == this)
        n->object = nullptr;
}

void CWnd::SetWindowText(const wchar_t* text) {
    const std::wstring value = text != nullptr ? text : L"";
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd)) {
            n->text = value;
            ++n->textWrites;
            NotifyChanged(*n, Change::Text);
        }
    });
}

std::wstring CWnd::GetWindowText() const {
    std::wstring value;
    RunOnUiThread([&] {
        if (const Node* n = AsNode(m_hWnd))
            value = n->text;
    });
    return value;
}

void CWnd::EnableWindow(bool enable) {
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd); n != nullptr && n->enabled != enable) {
            n->enabled = enable;
            NotifyChanged(*n, Change::Enabled);
        }
    });
}

bool CWnd::IsWindowEnabled() const {
    bool enabled = false;
    RunOnUiThread([&] {
        if (const Node* n = AsNode(m_hWnd))
            enabled = n->enabled;
    });
    return enabled;
}

void CWnd::RedrawNow() {
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd))
            NotifyChanged(*n, Change::Redraw);
    });
}

void CWnd::SetDlgItemText(int id, const wchar_t* text) {
    const std::wstring value = text != nullptr ? text : L"";
    RunOnUiThread([&] {
        if (Node* n = ui::FindChild(AsNode(m_hWnd), id)) {
            n->text = value;
            ++n->textWrites;
            NotifyChanged(*n, Change::Text);
        }
    });
}

std::wstring CWnd::GetDlgItemText(int id) const {
    std::wstring value;
    RunOnUiThread([&] {
        if (const Node* n = ui::FindChild(AsNode(m_hWnd), id))
            value = n->text;
    });
    return value;
}

WindowRef CWnd::GetDlgItem(int id) const {
    WindowRef ref = nullptr;
    RunOnUiThread([&] { ref = ui::FindChild(AsNode(m_hWnd), id); });
    return ref;
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    return ui::ShowMessageBox(
        {this, text != nullptr ? text : L"", caption != nullptr ? caption : CWinApp::AppTitle(), type});
}

void* CWnd::OnReflectedCtlColor(CDC* /*dc*/, UINT /*ctlColor*/) {
    return nullptr;
}

int OwnerlessMessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    return ui::ShowMessageBox(
        {nullptr, text != nullptr ? text : L"", caption != nullptr ? caption : CWinApp::AppTitle(), type});
}

COLORREF CDC::SetBkColor(COLORREF colour) {
    const COLORREF previous = m_bkColour;
    m_bkColour = colour;
    return previous;
}

COLORREF CDC::SetTextColor(COLORREF colour) {
    const COLORREF previous = m_textColour;
    m_textColour = colour;
    return previous;
}

bool CStatic::SetBitmapFromFile(const wchar_t* path) {
    if (path == nullptr)
        return false;
    std::string file = ui::ToUtf8(path);
    std::replace(file.begin(), file.end(), '\\', '/');
    int width = 0;
    int height = 0;
    if (!ProbeBitmapFile(file, width, height))
        return false;
    const std::wstring shown = path;
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd)) {
            n->hasBitmap = true;
            n->bitmapFile = shown;
            n->bitmapWidth = width;
            n->bitmapHeight = height;
            NotifyChanged(*n, Change::Bitmap);
        }
    });
    return true;
}

int CButton::GetCheck() const {
    int check = BST_UNCHECKED;
    RunOnUiThread([&] {
        if (const Node* n = AsNode(m_hWnd))
            check = n->check;
    });
    return check;
}

void CButton::SetCheck(int check) {
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd)) {
            n->check = check == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
            NotifyChanged(*n, Change::Check);
        }
    });
}

void CProgressCtrl::SetPos(int pos) {
    // The bar's range is 0 to 100; a position outside it is pinned to the nearer end.
    const int clamped = std::clamp(pos, 0, 100);
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd)) {
            n->pos = clamped;
            NotifyChanged(*n, Change::Position);
        }
    });
}

int CProgressCtrl::GetPos() const {
    int pos = 0;
    RunOnUiThread([&] {
        if (const Node* n = AsNode(m_hWnd))
            pos = n->pos;
    });
    return pos;
}

CBrush::~CBrush() {
    m_handle = nullptr;
}

bool CBrush::CreateSolidBrush(COLORREF colour) {
    if (m_handle != nullptr)
        return false; // one brush per object
    m_colour = colour;
    m_handle = this;
    return true;
}

COLORREF GetSysColor(int index) {
    constexpr int kColorWindow = 5;
    constexpr int kColorWindowText = 8;
    constexpr int kColorBtnText = 18;
    switch (index) {
    case COLOR_BTNFACE:
        return RGB(240, 240, 240);
    case kColorWindow:
        return RGB(255, 255, 255);
    case kColorWindowText:
    case kColorBtnText:
    default:
        return RGB(0, 0, 0);
    }
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (pDX == nullptr || pDX->m_pDlgWnd == nullptr)
        return;
    RunOnUiThread([&] {
        if (control.m_hWnd != nullptr)
            return; // bound already: later exchanges leave the binding alone
        if (Node* n = ui::FindChild(AsNode(pDX->m_pDlgWnd->m_hWnd), id)) {
            control.m_hWnd = n;
            n->object = &control;
        }
    });
}

// Property pages and the wizard sheet over the common controls' PropertySheetW.
//
// Each page is a PROPSHEETPAGEW built on its dialog template; one dialog procedure serves every
// page and dispatches to the page object, which it finds through the page's DWLP_USER slot.
#include "platform/win32/Internal.h"

#include <commctrl.h>

#include <vector>

using namespace vestrel::win32;

namespace {

HWND H(WindowRef ref) {
    return static_cast<HWND>(ref);
}

// Marks a page that has been activated before: the base OnSetActive exchanges data into the
// controls only on later activations.
constexpr const wchar_t* kActivatedProp = L"Vestrel.Activated";

void SetResult(HWND page, LONG_PTR result) {
    SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
}

INT_PTR HandleNotify(CPropertyPage* page, HWND hwnd, const NMHDR* header) {
    switch (header->code) {
    case PSN_SETACTIVE:
        SetResult(hwnd, page->OnSetActive() ? 0 : -1);
        return TRUE;
    case PSN_WIZNEXT:
        SetResult(hwnd, page->OnWizardNext());
        return TRUE;
    case PSN_WIZFINISH:
        // Non-zero keeps the sheet open.
        SetResult(hwnd, page->OnWizardFinish() ? FALSE : TRUE);
        return TRUE;
    case PSN_QUERYCANCEL:
        // Only the active page is asked; cancelling is always allowed.
        SetResult(hwnd, FALSE);
        return TRUE;
    case PSN_RESET:
        // Sent once to every page whose window exists when the sheet is cancelled (Cancel
        // button, close box, Escape), and never on Finish: the one place where a page's
        // OnCancel runs exactly once.
        page->OnCancel();
        SetResult(hwnd, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK PageDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        const auto* sheetPage = reinterpret_cast<const PROPSHEETPAGEW*>(lParam);
        auto* page = reinterpret_cast<CPropertyPage*>(sheetPage->lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
        page->m_hWnd = hwnd;
        BindWindow(hwnd, page);
        if (page->m_sheet != nullptr && page->m_sheet->m_hWnd == nullptr) {
            page->m_sheet->m_hWnd = GetParent(hwnd);
        }
        CDataExchange exchange(page);
        page->DoDataExchange(&exchange);
        return page->OnInitDialog();
    }

    auto* page = reinterpret_cast<CPropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (page == nullptr) {
        return FALSE;
    }
    switch (message) {
    case WM_NOTIFY:
        return HandleNotify(page, hwnd, reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        page->OnCommand(LOWORD(wParam), HIWORD(wParam));
        return FALSE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX: {
        // Reflection: the child's own object answers its colour request first.
        CWnd* child = BoundWindow(reinterpret_cast<HWND>(lParam));
        if (child == nullptr || child == page) {
            return FALSE;
        }
        CDC dc(reinterpret_cast<HDC>(wParam));
        void* brush = child->OnReflectedCtlColor(&dc, message);
        return reinterpret_cast<INT_PTR>(brush);
    }
    case WM_NCDESTROY:
        RemovePropW(hwnd, kActivatedProp);
        BindWindow(hwnd, nullptr);
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        page->m_hWnd = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

// The sheet sizes every page from the page template's dialog units taken in the sheet's own
// font. A page drawn in another font (the templates ask for "System" and "Arial" at 10 points)
// would spill out of the frame the sheet made for it, so each page is shown in the sheet's font,
// as the framework this program was designed for does. The template's controls keep their
// positions and sizes; only the font entry of the dialog header changes.
constexpr const wchar_t* kSheetFontFace = L"MS Shell Dlg";
constexpr WORD kSheetFontPoints = 8;

// Copies a DLGTEMPLATEEX with its font replaced; an empty result leaves the template as it is.
std::vector<BYTE> WithSheetFont(HINSTANCE instance, UINT templateId) {
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
    const auto* data = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    const DWORD size = found != nullptr ? SizeofResource(instance, found) : 0;
    if (data == nullptr || size < 26) {
        return {};
    }
    auto word = [&](std::size_t offset) -> WORD {
        return static_cast<WORD>(data[offset] | (data[offset + 1] << 8));
    };
    if (word(0) != 1 || word(2) != 0xFFFF) {
        return {}; // not the extended form
    }
    const DWORD style = static_cast<DWORD>(word(12) | (word(14) << 16));
    if ((style & DS_SETFONT) == 0) {
        return {};
    }
    // Skips a string or an ordinal (0xFFFF then one WORD); false past the end.
    std::size_t at = 26;
    auto skipSzOrOrd = [&]() -> bool {
        if (at + 2 > size) {
            return false;
        }
        if (word(at) == 0xFFFF) {
            at += 4;
            return at <= size;
        }
        while (at + 2 <= size && word(at) != 0) {
            at += 2;
        }
        at += 2;
        return at <= size;
    };
    if (!skipSzOrOrd() || !skipSzOrOrd() || !skipSzOrOrd()) { // menu, class, title
        return {};
    }
    const std::size_t fontAt = at;
    at += 6; // point size, weight, italic, character set
    if (!skipSzOrOrd()) {
        return {};
    }
    const std::size_t itemsAt = (at + 3) & ~static_cast<std::size_t>(3);

    std::vector<BYTE> out(data, data + fontAt);
    const WORD points = kSheetFontPoints;
    out.push_back(static_cast<BYTE>(points & 0xFF));
    out.push_back(static_cast<BYTE>(points >> 8));
    out.insert(out.end(), data + fontAt + 2, data + fontAt + 6);
    for (const wchar_t* c = kSheetFontFace;; ++c) {
        out.push_back(static_cast<BYTE>(*c & 0xFF));
        out.push_back(static_cast<BYTE>((*c >> 8) & 0xFF));
        if (*c == 0) {
            break;
        }
    }
    // Items are DWORD-aligned from the start of the template; moving the whole block by a
    // multiple of four keeps every one of them aligned.
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
    if (itemsAt < size) {
        out.insert(out.end(), data + itemsAt, data + size);
    }
    return out;
}

// The sheet being run by DoModal on this thread, for the sheet callback, which gets no
// parameter of its own.
CPropertySheet* g_sheetStarting = nullptr;

int CALLBACK SheetCallback(HWND hwnd, UINT message, LPARAM) {
    if (message == PSCB_INITIALIZED && g_sheetStarting != nullptr) {
        g_sheetStarting->m_hWnd = hwnd;
    }
    return 0;
}

} // namespace

CPropertyPage::CPropertyPage(UINT templateId) : m_templateId(templateId) {}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::DoDataExchange(CDataExchange*) {}

BOOL CPropertyPage::OnInitDialog() {
    return TRUE;
}

BOOL CPropertyPage::OnSetActive() {
    HWND hwnd = H(m_hWnd);
    if (hwnd == nullptr) {
        return TRUE;
    }
    if (GetPropW(hwnd, kActivatedProp) != nullptr) {
        CDataExchange exchange(this);
        DoDataExchange(&exchange);
    } else {
        SetPropW(hwnd, kActivatedProp, reinterpret_cast<HANDLE>(1));
    }
    return TRUE;
}

LRESULT CPropertyPage::OnWizardNext() {
    return 0;
}

BOOL CPropertyPage::OnWizardFinish() {
    return TRUE;
}

void CPropertyPage::OnCancel() {}

void CPropertyPage::OnCommand(int, UINT) {}

void CPropertyPage::CancelToClose() {
    HWND sheet = m_hWnd != nullptr ? GetParent(H(m_hWnd)) : nullptr;
    if (sheet != nullptr) {
        SendMessageW(sheet, PSM_CANCELTOCLOSE, 0, 0);
    }
}

CPropertySheet::CPropertySheet() = default;

CPropertySheet::~CPropertySheet() = default;

void CPropertySheet::AddPage(CPropertyPage* page) {
    if (page == nullptr) {
        return;
    }
    page->m_sheet = this;
    m_pages.push_back(page);
}

CPropertyPage* CPropertySheet::GetPage(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_pages.size()) {
        return nullptr;
    }
    return m_pages[static_cast<std::size_t>(index)];
}

int CPropertySheet::GetPageCount() const {
    return static_cast<int>(m_pages.size());
}

int CPropertySheet::GetActiveIndex() const {
    if (m_hWnd == nullptr) {
        return 0;
    }
    auto current = reinterpret_cast<HWND>(SendMessageW(H(m_hWnd), PSM_GETCURRENTPAGEHWND, 0, 0));
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        if (m_pages[i]->m_hWnd == current) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

void CPropertySheet::SetActivePage(int index) {
    if (m_hWnd != nullptr) {
        SendMessageW(H(m_hWnd), PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
}

void CPropertySheet::SetWizardButtons(DWORD flags) {
    if (m_hWnd != nullptr) {
        PostMessageW(H(m_hWnd), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(flags));
    }
}

void CPropertySheet::SetIconFromResource(int iconId) {
    if (m_hWnd == nullptr) {
        return;
    }
    // Shared icons are owned by the system: setting them on every activation costs nothing.
    auto* big =
        static_cast<HICON>(LoadImageW(AppInstance(), MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_SHARED));
    SendMessageW(H(m_hWnd), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    auto* small = static_cast<HICON>(LoadImageW(AppInstance(), MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_SHARED));
    SendMessageW(H(m_hWnd), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

intptr_t CPropertySheet::DoModal() {
    std::vector<PROPSHEETPAGEW> sheetPages(m_pages.size());
    std::vector<std::vector<BYTE>> templates(m_pages.size());
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        PROPSHEETPAGEW& p = sheetPages[i];
        p.dwSize = sizeof(p);
        p.dwFlags = PSP_DEFAULT |
                    (m_pages[i]->m_dwPageFlags & ~static_cast<DWORD>(PSP_USECALLBACK | PSP_DLGINDIRECT));
        p.hInstance = AppInstance();
        templates[i] = WithSheetFont(AppInstance(), m_pages[i]->TemplateId());
        if (!templates[i].empty()) {
            p.dwFlags |= PSP_DLGINDIRECT;
            p.pResource = reinterpret_cast<const DLGTEMPLATE*>(templates[i].data());
        } else {
            p.pszTemplate = MAKEINTRESOURCEW(m_pages[i]->TemplateId());
        }
        p.pfnDlgProc = PageDialogProc;
        p.lParam = reinterpret_cast<LPARAM>(m_pages[i]);
    }

    PROPSHEETHEADERW header{};
    header.dwSize = sizeof(header);
    // The caller's wizard flags; the platform adds its own bookkeeping bits only.
    header.dwFlags = (m_dwSheetFlags & ~static_cast<DWORD>(PSH_HASHELP | PSH_MODELESS)) | PSH_PROPSHEETPAGE |
                     PSH_USECALLBACK;
    header.hwndParent = nullptr;
    header.hInstance = AppInstance();
    header.nPages = static_cast<UINT>(sheetPages.size());
    header.nStartPage = 0;
    header.ppsp = sheetPages.data();
    header.pfnCallback = SheetCallback;

    CPropertySheet* outer = g_sheetStarting;
    g_sheetStarting = this;
    const INT_PTR result = PropertySheetW(&header);
    g_sheetStarting = outer;
    m_hWnd = nullptr;
    return result;
}

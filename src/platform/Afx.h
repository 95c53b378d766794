// Vestrel's own small stand-in for the application-framework classes the wizard is built on:
// windows and controls with ids and texts, progress bars, check boxes, property pages and the
// wizard sheet, message boxes, worker threads and files.
//
// One declaration, two implementations: win32/ over the real Win32 API (property sheet, dialog
// templates from the resources) and posix/ over a window model that a terminal front end draws.
// Page and application code includes this header and OsApi.h, never an OS header.
#pragma once

#include "platform/OsApi.h"
#ifdef _WIN32
// The wizard, button and progress-bar constants the pages name (PSWIZB_NEXT, PBM_SETPOS...).
#include <commctrl.h>
#endif

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
// Values of the Win32 constants the pages name, for the posix build.
using LRESULT = std::intptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr DWORD PSWIZB_BACK = 0x1;
constexpr DWORD PSWIZB_NEXT = 0x2;
constexpr DWORD PSWIZB_FINISH = 0x4;
constexpr DWORD PSWIZB_DISABLEDFINISH = 0x8;
constexpr DWORD PSH_HASHELP = 0x200;
constexpr DWORD PSH_WIZARD97 = 0x01000000;
constexpr DWORD PSP_HASHELP = 0x20;
constexpr int COLOR_BTNFACE = 15;
constexpr UINT BN_CLICKED = 0;
constexpr int BST_UNCHECKED = 0;
constexpr int BST_CHECKED = 1;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr inline COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
#endif

// An opaque reference to a window: HWND on Windows, a node of the window model on posix.
using WindowRef = void*;

class CPropertySheet;

// A window or control. Operations called on a thread other than the user-interface thread are
// carried out on the user-interface thread while the caller waits (as a sent message would be).
class CWnd {
public:
    CWnd();
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    WindowRef m_hWnd = nullptr;
    WindowRef GetSafeHwnd() const { return m_hWnd; }

    void SetWindowText(const wchar_t* text);
    std::wstring GetWindowText() const;
    void EnableWindow(bool enable);
    bool IsWindowEnabled() const;
    // Redraw now, background included.
    void RedrawNow();

    void SetDlgItemText(int id, const wchar_t* text);
    std::wstring GetDlgItemText(int id) const;
    WindowRef GetDlgItem(int id) const;

    // A modal message box owned by this window; returns when the user has closed it.
    int MessageBox(const wchar_t* text, const wchar_t* caption, UINT type);

    // Control colours: the parent hands the colour request back to the control (reflection).
    // A control that wants its own colours sets them on the device context and returns its
    // background brush's handle; nullptr keeps the defaults.
    virtual void* OnReflectedCtlColor(class CDC* dc, UINT ctlColor);
};

// The drawing context a colour request carries; only the two colours matter here.
class CDC {
public:
    explicit CDC(void* handle = nullptr) : m_hDC(handle) {}
    COLORREF SetBkColor(COLORREF colour);
    COLORREF SetTextColor(COLORREF colour);
    void* m_hDC;
    // What was set, for the posix renderer and for tests.
    COLORREF m_bkColour = 0;
    COLORREF m_textColour = 0;
};

class CStatic : public CWnd {
public:
    // Shows a bitmap loaded from a file; false when the file does not load as a bitmap.
    bool SetBitmapFromFile(const wchar_t* path);
};

class CButton : public CWnd {
public:
    int GetCheck() const;
    void SetCheck(int check);
};

class CProgressCtrl : public CWnd {
public:
    // PBM_SETPOS: the bar's range stays the default 0 to 100.
    void SetPos(int pos);
    int GetPos() const;
};

// A solid brush, made once and deleted with its owner.
class CBrush {
public:
    CBrush() = default;
    explicit CBrush(COLORREF colour) { CreateSolidBrush(colour); }
    ~CBrush();
    CBrush(const CBrush&) = delete;
    CBrush& operator=(const CBrush&) = delete;
    bool CreateSolidBrush(COLORREF colour);
    void* GetSafeHandle() const { return m_handle; }
    COLORREF Colour() const { return m_colour; }

private:
    void* m_handle = nullptr;
    COLORREF m_colour = 0;
};

#ifndef _WIN32
// On Windows this is the system's own GetSysColor from windows.h.
COLORREF GetSysColor(int index);
#endif

class CDataExchange {
public:
    explicit CDataExchange(CWnd* dialog) : m_pDlgWnd(dialog) {}
    CWnd* m_pDlgWnd;
};
// Binds the dialog item with the given id to a control object.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

// A page of the wizard sheet, built on a dialog template.
class CPropertyPage : public CWnd {
public:
    explicit CPropertyPage(UINT templateId);
    ~CPropertyPage() override;

    UINT TemplateId() const { return m_templateId; }
    CPropertySheet* GetSheet() const { return m_sheet; }

    virtual void DoDataExchange(CDataExchange* pDX);
    virtual BOOL OnInitDialog();
    virtual BOOL OnSetActive();
    // 0 moves on to the next page; -1 stays on this page.
    virtual LRESULT OnWizardNext();
    virtual BOOL OnWizardFinish();
    virtual void OnCancel();
    // A command from a control: BN_CLICKED from a button, for instance.
    virtual void OnCommand(int id, UINT code);

    // Disables the sheet's Cancel button (PSM_CANCELTOCLOSE); waits until the sheet has done it.
    void CancelToClose();

    DWORD m_dwPageFlags = 0; // PSP_ flags

    // Platform-internal: the sheet this page was added to.
    CPropertySheet* m_sheet = nullptr;

private:
    UINT m_templateId;
};

class CPropertySheet : public CWnd {
public:
    CPropertySheet();
    ~CPropertySheet() override;

    void AddPage(CPropertyPage* page);
    CPropertyPage* GetPage(int index) const;
    int GetPageCount() const;
    int GetActiveIndex() const;
    void SetActivePage(int index);
    // PSM_SETWIZBUTTONS, posted: takes effect when the sheet next handles its messages.
    void SetWizardButtons(DWORD flags);
    // The big and the small icon, from icon resource 128.
    void SetIconFromResource(int iconId);
    // Runs the sheet modally; returns when it is closed by Finish or Cancel.
    intptr_t DoModal();

    DWORD m_dwSheetFlags = 0; // PSH_ flags

private:
    std::vector<CPropertyPage*> m_pages;
};

// A message box without owner; caption nullptr shows the application title.
int OwnerlessMessageBox(const wchar_t* text, const wchar_t* caption, UINT type);

// Runs work on the user-interface thread and waits for it. On the user-interface thread itself,
// or when no user interface runs (unit tests), it runs at once.
void RunOnUiThread(const std::function<void()>& work);

// Worker threads.
using AFX_THREADPROC = UINT (*)(LPVOID);
class CWinThread {
public:
    ~CWinThread();
    // WAIT_OBJECT_0 once the thread has ended (at once if it already had), WAIT_TIMEOUT otherwise.
    DWORD Wait(DWORD milliseconds);
    // Stops a thread that is still running; afterwards the thread uses nothing of the program's
    // (no port, no file, no lock): see the implementation for how each system does it.
    void ForceStop(DWORD exitCode);
    // The exit code, once ended.
    DWORD ExitCode() const;

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL);

// A file opened for reading, read through a buffer of its own: byte-at-a-time callers cost no
// system call per byte.
class CFile {
public:
    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    enum OpenFlags : UINT { modeRead = 0x0, shareDenyWrite = 0x20, shareDenyNone = 0x40 };
    // Backslashes in the path are directory separators on every system.
    bool Open(const wchar_t* path, UINT flags);
    // Bytes delivered, 0 at the end; sets *failed (when given) on a read error.
    UINT Read(void* buffer, UINT count, bool* failed = nullptr);
    // Reads one byte; false at the end of the file or on an error.
    bool ReadByte(BYTE& b, bool* failed = nullptr);
    std::uint64_t GetLength() const;
    void Close();
    bool IsOpen() const;

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    std::vector<BYTE> m_buffer;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
};

// The application object: one global instance whose InitInstance runs the program.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    virtual BOOL InitInstance();
    CWnd* m_pMainWnd = nullptr;
    // The title of message boxes shown without a caption: the executable's name without extension.
    static const wchar_t* AppTitle();
};
CWinApp* AfxGetApp();

// Desktop services the welcome page and start-up need.
// Single-copy test: when a top-level window titled exactly `title` exists, brings it to the
// foreground and returns true (posix: the equivalent among running copies of the program).
bool BringWindowWithTitleToFront(const wchar_t* title);
// Sends WM_CLOSE to the first top-level window of the class and waits until it has been
// handled; nothing where the system has no such windows.
void CloseTopLevelWindowOfClass(const wchar_t* className);
// Initialises the common controls (ICC_WIN95_CLASSES); nothing where there are none.
void InitCommonControlsForWizard();
// The folder the welcome page looks for its logo in: the user's Temporary Internet Files
// folder, or else the temporary-files directory without its trailing separator.
std::wstring LogoFolder();

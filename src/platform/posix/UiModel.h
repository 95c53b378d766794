// The posix window model behind Afx.h's windows and controls, and the hand-over of work to the
// user-interface thread.
//
// Every CWnd's m_hWnd points to a Node: id, kind, style, text, state and children. The model is
// changed only on the user-interface thread while a user-interface loop runs (a sheet's DoModal);
// other threads hand their work over and wait, as a sent message would make them. A front end
// (the terminal, or the unattended driver) runs the loop, draws the model and turns keys into
// button presses; the sheet logic both share lives here too.
#pragma once

#include "platform/Afx.h"
#include "res/DialogTemplates.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ui {

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
// What DoModal returns after Finish (the sheet's Finish button id).
inline constexpr int kIdWizFinish = 0x3025;
inline constexpr UINT kCtlColorStatic = 6;
inline constexpr UINT kIconMask = 0xF0;
inline constexpr UINT kIconWarning = 0x30;
inline constexpr UINT kIconQuestion = 0x20;

enum class NodeKind { Sheet, Page, Static, Picture, CheckBox, ProgressBar };

struct Node {
    NodeKind kind = NodeKind::Static;
    int id = res::kNoId;
    std::uint32_t style = 0;
    std::uint32_t exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units, relative to the page
    std::wstring text;
    const char* role = "";
    bool enabled = true;
    bool visible = true;
    int check = BST_UNCHECKED;
    int pos = 0;             // progress bars: 0 to 100
    bool hasBitmap = false;  // a picture showing an image (the template's or a loaded file)
    std::wstring bitmapFile; // empty while the template's image shows
    int bitmapWidth = 0, bitmapHeight = 0;
    // The object bound to this node (a page, the sheet, a control bound by DDX_Control).
    CWnd* object = nullptr;
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    // Pages: the template they were built from.
    const res::DialogTemplate* dialog = nullptr;
    int activations = 0;
    // Sheet: PSWIZB_ flags, the Cancel button, the pages' state and the outcome.
    DWORD wizardButtons = PSWIZB_BACK | PSWIZB_NEXT;
    bool cancelEnabled = true;
    int activeIndex = -1; // -1 while the sheet is not running
    int startIndex = 0;
    int iconId = 0;
    bool closed = false;
    int result = 0;
    // Counts every write of the text (a write of the same text included).
    unsigned long textWrites = 0;
};

Node* AsNode(WindowRef ref);
// A page's window: a page node with a child per control of the template.
std::unique_ptr<Node> NodeFromTemplate(const res::DialogTemplate& dialog);
Node* FindChild(const Node* parent, int id);

// The wizard buttons as the sheet shows them: Finish takes Next's place once asked for.
struct WizardButtons {
    bool backEnabled;
    bool finishShown; // instead of Next
    bool nextEnabled;
    bool finishEnabled;
    bool cancelEnabled;
};
WizardButtons ButtonsOf(const Node& sheet);

// What a front end is told about.
enum class Change { Text, Enabled, Check, Position, Colour, Bitmap, Buttons, Page, Redraw };

struct MessageBoxRequest {
    CWnd* owner; // nullptr: ownerless
    std::wstring text;
    std::wstring caption;
    UINT type;
};

// Runs the sheet's loop and draws; all its calls come on the user-interface thread.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // Runs the loop until the sheet has closed (SheetClosed); the sheet's first page is shown
    // before it is called.
    virtual void Run(CPropertySheet& sheet) = 0;
    // A modal message box: returns once the user has closed it (its button's id).
    virtual int ShowMessageBox(const MessageBoxRequest& request) = 0;
    virtual void Changed(Node& /*node*/, Change /*what*/) {}
};

// Which front end DoModal uses; the program's entry point chooses, a test may set its own.
void SetFrontEndFactory(std::function<std::unique_ptr<FrontEnd>()> factory);
// The front end for a sheet about to run: the factory's, or the default one.
std::unique_ptr<FrontEnd> MakeFrontEndForSheet();
// Message boxes while no loop runs (a unit test without a sheet): the handler answers them;
// without one they are answered with OK at once.
void SetHeadlessMessageBoxHandler(std::function<int(const MessageBoxRequest&)> handler);

// The front ends the program offers: the terminal (ncurses) and the unattended driver, which
// prints every change as a line on `out` and presses what a user would.
std::unique_ptr<FrontEnd> MakeTerminalFrontEnd();
std::unique_ptr<FrontEnd> MakeUnattendedFrontEnd(std::FILE* out);
// The terminal when standard input and output are terminals, the unattended driver otherwise.
std::unique_ptr<FrontEnd> MakeDefaultFrontEnd();

// The hand-over to the user-interface thread.
bool LoopRunning();
bool OnUiThread();
// Queues work for the loop without waiting (a posted message); with no loop it runs at once.
void Post(std::function<void()> work);
// Runs what other threads handed over, in order; true when anything ran.
bool RunPending();
// A descriptor that becomes readable when work is queued (the loop polls it); RunPending
// empties it.
int WakeDescriptor();

// The calling thread becomes the user-interface thread and work handed over is queued for it,
// until EndLoop (which drops what is still queued and releases its senders).
void BeginLoop(FrontEnd& frontEnd, CPropertySheet& sheet);
void EndLoop();
FrontEnd* CurrentFrontEnd();

// Shows a message box: on the user-interface thread through the front end (other threads wait
// for it), or through the headless handler when no loop runs.
int ShowMessageBox(const MessageBoxRequest& request);

// Notifies the front end of a change (on the user-interface thread).
void NotifyChanged(Node& node, Change what);

// What the last sheet's DoModal returned (kIdWizFinish, kIdCancel), for the exit status.
int LastSheetResult();

// The sheet logic both front ends share; user-interface thread only.
CPropertySheet* ActiveSheet();
Node* SheetNode(const CPropertySheet& sheet);
CPropertyPage* ActivePage(const CPropertySheet& sheet);
bool SheetClosed(const CPropertySheet& sheet);
// The buttons, as the user presses them; each does nothing when its button is disabled.
void PressBack(CPropertySheet& sheet);
void PressNext(CPropertySheet& sheet);
void PressFinish(CPropertySheet& sheet);
void PressCancel(CPropertySheet& sheet);
// Ctrl+C, SIGTERM: the way Cancel goes (every created page's OnCancel, with the stop of a
// running worker), even where the Cancel button is disabled.
void CancelSheet(CPropertySheet& sheet);
// The user clicks a check box: it toggles and the page hears BN_CLICKED.
void ClickCheckBox(Node& checkBox);

// The colours a static text asks its bound control for (reflected WM_CTLCOLOR).
struct TextColours {
    COLORREF text;
    COLORREF background;
    bool custom; // false: the control kept the defaults
};
TextColours ColoursOf(Node& node);

// The posix counterpart of "a top-level window with this title exists": while a sheet shows a
// title, it holds an abstract unix socket named after the user and the title. Another copy that
// looks for the title connects to it (BringWindowWithTitleToFront), which asks the holder to
// come forward; the holder's loop polls Descriptor() and calls TakeRequests().
class TitleBeacon {
public:
    TitleBeacon() = default;
    ~TitleBeacon();
    TitleBeacon(const TitleBeacon&) = delete;
    TitleBeacon& operator=(const TitleBeacon&) = delete;
    // Holds the name for `title` (and lets go of the previous one); empty: holds none.
    void Show(const std::wstring& title);
    int Descriptor() const { return m_fd; }
    // Accepts what came in; true when another copy asked this one to come forward.
    bool TakeRequests();

private:
    int m_fd = -1;
    std::wstring m_title;
};

// Signals the loops handle (Ctrl+C, SIGTERM, SIGHUP, a resized terminal), caught into a pipe
// the loops poll. A second request to end that comes while the first is still being handled
// ends the program at once, after the emergency restore (if one is set) has put the terminal back.
namespace signals {
inline constexpr unsigned kInterrupt = 1;
inline constexpr unsigned kTerminate = 2;
inline constexpr unsigned kHangup = 4;
inline constexpr unsigned kResize = 8;
void Install();
void Uninstall();
int Descriptor();
// The signals caught since the last call.
unsigned Take();
// Called from the signal handler before the program ends at once: async-signal-safe only.
void SetEmergencyRestore(void (*restore)());
} // namespace signals

// A plain sentence about a message box's system error code, for the user who wonders what it
// means (a device that is busy, one that is missing); empty when there is nothing to add.
std::wstring HintFor(const MessageBoxRequest& request);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

} // namespace ui

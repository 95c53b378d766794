// What the Win32 files of the platform share among themselves; nothing outside win32/ sees it.
#pragma once

#include "platform/Afx.h"

#include <windows.h>

namespace vestrel::win32 {

// Window property that ties a control's HWND to the CWnd bound to it, so a colour request the
// dialog receives for a child can be handed back to that child's object.
inline constexpr const wchar_t* kBoundWndProp = L"Vestrel.CWnd";

// Binds (or, with nullptr, unbinds) the object to the window.
void BindWindow(HWND hwnd, CWnd* wnd);
CWnd* BoundWindow(HWND hwnd);

// The user-interface thread: the thread that runs WinMain. Creates the hidden message-only window
// through which other threads hand work to it.
void StartUiThread(HINSTANCE instance);
void StopUiThread();
bool OnUiThread();
// Work handed over by a thread that has since been stopped forcibly is skipped, never run: its
// captures point into a stack that no longer belongs to anyone.
void AbandonWorkOfThread(DWORD threadId);
// A thread id handed out again belongs to a new thread, whose work runs as usual.
void NewThreadStarted(DWORD threadId);

HINSTANCE AppInstance();

// The top-level window a page-owned message box must disable.
HWND TopLevelOwner(HWND hwnd);

} // namespace vestrel::win32

// A static text control with a text and a background colour of its own.
#include "pages/StaticColor.h"

CStaticColor::CStaticColor() : m_backColour(GetSysColor(COLOR_BTNFACE)), m_textColour(RGB(0, 0, 0)) {
    // One brush for the life of the control: colour requests come with every repaint.
    m_backBrush.CreateSolidBrush(m_backColour);
}

// The brush is a member and is deleted with the control.
CStaticColor::~CStaticColor() = default;

void* CStaticColor::OnReflectedCtlColor(CDC* dc, UINT) {
    // The background mode stays opaque, so the text cells and the rest of the control share
    // one colour.
    dc->SetBkColor(m_backColour);
    dc->SetTextColor(m_textColour);
    return m_backBrush.GetSafeHandle();
}

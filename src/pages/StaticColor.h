// A static text control that draws in its own text colour on its own background.
#pragma once

#include "platform/Afx.h"

class CStaticColor : public CStatic {
public:
    CStaticColor();
    ~CStaticColor() override;

    void* OnReflectedCtlColor(CDC* dc, UINT ctlColor) override;

    CBrush m_backBrush;
    COLORREF m_backColour;
    COLORREF m_textColour;
};

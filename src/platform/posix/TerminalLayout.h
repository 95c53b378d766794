// Where the terminal wizard draws a page's controls: dialog units mapped to character cells.
//
// The page's template is scaled onto the page area. A terminal cannot show a picture, so the
// columns of picture controls shrink to a narrow strip and the texts get the width instead.
// Rows scale evenly; a text that needs more rows than its box scales to grows downwards and
// pushes the controls below it (in the same columns) down, so nothing overlaps.
#pragma once

#include "platform/posix/UiModel.h"

#include <string>
#include <vector>

namespace ui {

struct CellRect {
    int row = 0, col = 0, rows = 0, cols = 0;
    int Bottom() const { return row + rows; }
    int Right() const { return col + cols; }
};

// Word-wraps a text (line breaks kept; a word longer than the width is cut) into lines of at
// most `width` characters. Empty lines at the end are dropped: they show nothing.
std::vector<std::wstring> WrapText(const std::wstring& text, int width);

struct PlacedControl {
    Node* node;
    CellRect box;   // the whole control, border included
    CellRect inner; // where its text or bar goes
    bool clipped;   // the page area was too small for all of it
};

// Columns a picture shrinks to.
inline constexpr int kPictureColumns = 4;

std::vector<PlacedControl> LayoutPage(Node& page, CellRect area);

} // namespace ui

#include "platform/posix/TerminalLayout.h"

#include <algorithm>
#include <cmath>

namespace ui {

std::vector<std::wstring> WrapText(const std::wstring& text, int width) {
    std::vector<std::wstring> lines;
    if (width <= 0)
        return lines;
    const auto w = static_cast<std::size_t>(width);
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'\n', start);
        std::wstring paragraph =
            text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!paragraph.empty() && paragraph.back() == L'\r')
            paragraph.pop_back();
        if (paragraph.size() <= w) {
            lines.push_back(paragraph);
        } else {
            std::size_t pos = 0;
            while (pos < paragraph.size()) {
                if (paragraph.size() - pos <= w) {
                    lines.push_back(paragraph.substr(pos));
                    break;
                }
                // Break at the last blank that keeps the line within the width.
                std::size_t cut = paragraph.rfind(L' ', pos + w);
                if (cut == std::wstring::npos || cut <= pos) {
                    lines.push_back(paragraph.substr(pos, w));
                    pos += w;
                    continue;
                }
                lines.push_back(paragraph.substr(pos, cut - pos));
                pos = cut + 1;
                while (pos < paragraph.size() && paragraph[pos] == L' ' && paragraph.size() - pos > w)
                    ++pos;
            }
        }
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    while (!lines.empty() && lines.back().find_first_not_of(L' ') == std::wstring::npos)
        lines.pop_back();
    return lines;
}

namespace {

// Piecewise-linear map of dialog-unit x to columns: picture spans shrink to a strip each.
class ColumnMap {
public:
    ColumnMap(const Node& page, int columns) {
        const int width = std::max(page.cx, 1);
        for (const auto& c : page.children) {
            if (c->kind == NodeKind::Picture && c->visible)
                m_pictures.push_back({std::max(c->x, 0), std::min(c->x + c->cx, width)});
        }
        std::sort(m_pictures.begin(), m_pictures.end());
        int pictureUnits = 0;
        for (auto [a, b] : m_pictures)
            pictureUnits += std::max(b - a, 0);
        const int strips = static_cast<int>(m_pictures.size()) * kPictureColumns;
        const bool shrink = !m_pictures.empty() && columns > strips * 4 && pictureUnits < width;
        if (!shrink)
            m_pictures.clear();
        const double rest = shrink ? width - pictureUnits : width;
        m_scale = (columns - (shrink ? strips : 0)) / rest;
    }

    double At(int x) const {
        double cells = 0;
        int from = 0;
        for (auto [a, b] : m_pictures) {
            if (x <= a)
                break;
            cells += (a - from) * m_scale;
            const int span = std::max(b - a, 1);
            cells += kPictureColumns * std::min(x - a, span) / static_cast<double>(span);
            from = std::min(x, b);
            if (x <= b)
                return cells;
        }
        return cells + (x - from) * m_scale;
    }

private:
    std::vector<std::pair<int, int>> m_pictures;
    double m_scale = 1;
};

bool HasEdge(const Node& n) {
    return (n.exStyle & res::kWsExStaticEdge) != 0 || (n.style & res::kWsBorder) != 0;
}

} // namespace

std::vector<PlacedControl> LayoutPage(Node& page, CellRect area) {
    std::vector<PlacedControl> placed;
    if (area.rows <= 0 || area.cols <= 0)
        return placed;
    const ColumnMap columns(page, area.cols);
    const double rowScale = area.rows / static_cast<double>(std::max(page.cy, 1));

    for (auto& child : page.children) {
        Node& n = *child;
        if (!n.visible)
            continue;
        const int left = static_cast<int>(std::lround(columns.At(n.x)));
        const int right = static_cast<int>(std::lround(columns.At(n.x + n.cx)));
        PlacedControl p{&n, {}, {}, false};
        p.box.col = area.col + left;
        p.box.cols = std::max(right - left, 1);
        p.box.row = area.row + static_cast<int>(std::lround(n.y * rowScale));
        int rows = std::max(static_cast<int>(std::lround(n.cy * rowScale)), 1);
        const bool edge = n.kind == NodeKind::Static && HasEdge(n);
        switch (n.kind) {
        case NodeKind::ProgressBar:
        case NodeKind::CheckBox:
            rows = 1;
            break;
        case NodeKind::Static: {
            const int inner = p.box.cols - (edge ? 2 : 0);
            const int needed = static_cast<int>(WrapText(n.text, inner).size()) + (edge ? 2 : 0);
            rows = std::max({rows, needed, edge ? 3 : 1});
            break;
        }
        default:
            break;
        }
        p.box.rows = rows;
        placed.push_back(p);
    }

    // Top to bottom: a control that starts inside one above it (sharing columns) moves below it,
    // keeping a blank row between them where the template has a gap, if the page has room.
    std::stable_sort(placed.begin(), placed.end(), [](const PlacedControl& a, const PlacedControl& b) {
        return a.box.row < b.box.row || (a.box.row == b.box.row && a.node->y < b.node->y);
    });
    const std::vector<PlacedControl> scaled = placed;
    for (int gap : {1, 0}) {
        placed = scaled;
        bool fits = true;
        for (std::size_t i = 0; i < placed.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                const CellRect& above = placed[j].box;
                CellRect& box = placed[i].box;
                const Node& a = *placed[j].node;
                const Node& b = *placed[i].node;
                const bool sharesColumns = box.col < above.Right() && above.col < box.Right();
                const bool picture = a.kind == NodeKind::Picture || b.kind == NodeKind::Picture;
                const int spacing = b.y > a.y + a.cy ? gap : 0;
                if (sharesColumns && !picture && box.row < above.Bottom() + spacing)
                    box.row = above.Bottom() + spacing;
            }
            fits = fits && placed[i].box.Bottom() <= area.Bottom();
        }
        if (fits)
            break;
    }

    for (PlacedControl& p : placed) {
        CellRect& box = p.box;
        // What does not fit is cut off; a control pushed out altogether keeps no cells.
        if (box.Bottom() > area.Bottom()) {
            p.clipped = true;
            box.row = std::min(box.row, area.Bottom());
            box.rows = area.Bottom() - box.row;
        }
        if (box.Right() > area.Right()) {
            p.clipped = true;
            box.col = std::min(box.col, area.Right());
            box.cols = area.Right() - box.col;
        }
        const bool edge = p.node->kind == NodeKind::Static && HasEdge(*p.node);
        p.inner = box;
        if (edge) {
            p.inner = {box.row + 1, box.col + 1, std::max(box.rows - 2, 0), std::max(box.cols - 2, 0)};
        }
    }
    return placed;
}

} // namespace ui

// Where the terminal wizard puts the controls: every text readable in an 80x25 terminal,
// nothing overlapping, nothing outside the page area at any size.
#include "UiTestSupport.h"

#include "pages/WelcomePage.h"
#include "platform/posix/TerminalLayout.h"

#include <gtest/gtest.h>

namespace {

using ui::CellRect;
using ui::WrapText;

TEST(WrapText, BreaksAtBlanksKeepsLineBreaksAndCutsOverlongWords) {
    struct Case {
        std::wstring text;
        int width;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {L"", 10, {}},
        {L"exactly10!", 10, {L"exactly10!"}},
        {L"two words", 4, {L"two", L"word", L"s"}},
        {L"one two three", 7, {L"one two", L"three"}},
        {L"a\n\nb", 5, {L"a", L"", L"b"}},
        // The device error keeps its leading blank on its own line.
        {L"Can't find Windows CE USB device\n Error code: 2",
         40,
         {L"Can't find Windows CE USB device", L" Error code: 2"}},
        // Trailing empty lines show nothing and take no rows.
        {L"3. Click \"Next\"\n\n", 20, {L"3. Click \"Next\""}},
        {L"abcdefghij", 3, {L"abc", L"def", L"ghi", L"j"}},
        {L"anything", 0, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WrapText(c.text, c.width), c.lines) << ui::ToUtf8(c.text) << " / " << c.width;
}

bool Overlap(const CellRect& a, const CellRect& b) {
    return a.row < b.Bottom() && b.row < a.Bottom() && a.col < b.Right() && b.col < a.Right();
}

// The page area of a terminal of the given size: below the title line, above the separator
// and the button row.
CellRect AreaOf(int columns, int lines) {
    return {1, 1, lines - 3, columns - 2};
}

void ExpectReadable(ui::Node& page, int columns, int lines) {
    const CellRect area = AreaOf(columns, lines);
    const auto placed = ui::LayoutPage(page, area);
    ASSERT_EQ(placed.size(), page.children.size());
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const ui::PlacedControl& p = placed[i];
        const std::string what =
            std::string(p.node->role) + " at " + std::to_string(columns) + "x" + std::to_string(lines);
        EXPECT_FALSE(p.clipped) << what;
        EXPECT_GE(p.box.row, area.row) << what;
        EXPECT_GE(p.box.col, area.col) << what;
        EXPECT_LE(p.box.Bottom(), area.Bottom()) << what;
        EXPECT_LE(p.box.Right(), area.Right()) << what;
        if (p.node->kind == ui::NodeKind::Static) {
            EXPECT_LE(WrapText(p.node->text, p.inner.cols).size(), static_cast<std::size_t>(p.inner.rows))
                << what;
        }
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_FALSE(Overlap(p.box, placed[j].box)) << what << " overlaps " << placed[j].node->role;
    }
}

void ExpectInsideArea(ui::Node& page, int columns, int lines) {
    const CellRect area = AreaOf(columns, lines);
    for (const ui::PlacedControl& p : ui::LayoutPage(page, area)) {
        EXPECT_GE(p.box.row, area.row);
        EXPECT_LE(p.box.Bottom(), area.Bottom());
        EXPECT_LE(p.box.Right(), area.Right());
        EXPECT_GE(p.inner.rows, 0);
        EXPECT_GE(p.inner.cols, 0);
    }
}

TEST(TerminalLayout, WelcomePageWithItsRealTextsFitsEightyByTwentyFive) {
    CPropertySheet sheet;
    CWelcomePage welcome;
    sheet.AddPage(&welcome);
    bool checked = false;
    ASSERT_TRUE(RunSheetWith(sheet, [&](CPropertySheet& s) {
        ui::Node& page = *ui::AsNode(welcome.m_hWnd);
        for (auto [columns, lines] : {std::pair{80, 25}, {100, 30}, {132, 43}})
            ExpectReadable(page, columns, lines);
        for (auto [columns, lines] : {std::pair{40, 12}, {20, 6}, {3, 4}})
            ExpectInsideArea(page, columns, lines);
        // The picture gives its width to the texts: a narrow strip.
        for (const ui::PlacedControl& p : ui::LayoutPage(page, AreaOf(80, 25))) {
            if (p.node->kind == ui::NodeKind::Picture) {
                EXPECT_EQ(p.box.cols, ui::kPictureColumns);
            }
        }
        checked = true;
        ui::PressCancel(s);
    }));
    EXPECT_TRUE(checked);
}

TEST(TerminalLayout, DownloadPageFitsWithALongStatusText) {
    auto page = ui::NodeFromTemplate(*res::FindDialogTemplate(105));
    ui::FindChild(page.get(), 1033)->text =
        L"Send \"Partition Table\" packet fail, the handset answered with an error status. Download process "
        L"stop. The handset keeps its old partition table.";
    ExpectReadable(*page, 80, 25);
    ExpectReadable(*page, 120, 40);
    ExpectInsideArea(*page, 30, 10);
    // The bars keep their order: the phase bar above the overall bar, the label under it.
    const auto placed = ui::LayoutPage(*page, AreaOf(80, 25));
    auto rowOf = [&](int id) {
        for (const auto& p : placed)
            if (p.node->id == id)
                return p.box.row;
        return -1;
    };
    EXPECT_LT(rowOf(1032), rowOf(1030));
    EXPECT_LT(rowOf(1030), rowOf(1031));
    EXPECT_LT(rowOf(1031), rowOf(1033));
}

} // namespace

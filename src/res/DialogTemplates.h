// The two wizard pages as data, for the posix wizard, which draws them in the terminal: the
// same dialogs, controls, ids, styles, positions, sizes and texts as Vestrel.rc gives Windows.
// Positions and sizes are in dialog units.
#pragma once

#include <cstdint>
#include <span>

namespace res {

// Win32 style bits the templates use, with their Win32 values.
inline constexpr std::uint32_t kSsLeft = 0x0;
inline constexpr std::uint32_t kSsCenter = 0x1;
inline constexpr std::uint32_t kSsBitmap = 0xE;
inline constexpr std::uint32_t kSsCenterImage = 0x200;
inline constexpr std::uint32_t kSsRightJust = 0x400;
inline constexpr std::uint32_t kSsRealSizeImage = 0x800;
inline constexpr std::uint32_t kSsSunken = 0x1000;
inline constexpr std::uint32_t kBsAutoCheckBox = 0x3;
inline constexpr std::uint32_t kPbsSmooth = 0x1;
inline constexpr std::uint32_t kWsTabStop = 0x00010000;
inline constexpr std::uint32_t kWsGroup = 0x00020000;
inline constexpr std::uint32_t kWsBorder = 0x00800000;
inline constexpr std::uint32_t kWsVisible = 0x10000000;
inline constexpr std::uint32_t kWsChild = 0x40000000;
inline constexpr std::uint32_t kWsExTransparent = 0x00000020;
inline constexpr std::uint32_t kWsExStaticEdge = 0x00020000;

// The item id of controls nobody addresses.
inline constexpr int kNoId = -1;

enum class ControlKind { Static, Picture, CheckBox, ProgressBar };

struct ControlTemplate {
    int id;
    ControlKind kind;
    // The window class's own style bits and the extended style, as in the resource script
    // (WS_CHILD and WS_VISIBLE, which every control has, are left out).
    std::uint32_t style;
    std::uint32_t exStyle;
    int x, y, cx, cy;
    // The control's text; for a picture, none (the image is imageId).
    const wchar_t* text;
    int imageId;
    // What the control is for, in a word or two: the unattended wizard prints it with changes.
    const char* role;
};

struct DialogTemplate {
    unsigned id;
    const wchar_t* caption;
    const wchar_t* fontName;
    int pointSize;
    int cx, cy;
    std::span<const ControlTemplate> controls;
};

// The template with the given id, or nullptr.
const DialogTemplate* FindDialogTemplate(unsigned id);
// Every template, for tests.
std::span<const DialogTemplate> AllDialogTemplates();

} // namespace res

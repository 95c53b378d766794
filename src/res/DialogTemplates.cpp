#include "res/DialogTemplates.h"

#include "res/ResourceIds.h"

#include <array>

namespace res {
namespace {

constexpr std::array kWelcomeControls{
    ControlTemplate{IDC_NOTICE_TEXT, ControlKind::Static, kSsLeft, 0, 172, 2, 148, 135,
                    L"Read the notice below before you go on.", 0, "notice"},
    ControlTemplate{IDC_WELCOME_PICTURE, ControlKind::Picture,
                    kSsBitmap | kSsCenterImage | kSsRealSizeImage | kSsRightJust, kWsExTransparent, 4, 0, 161,
                    266, nullptr, IDB_WELCOME, "picture"},
    ControlTemplate{IDC_CAUTION_TEXT, ControlKind::Static, kSsLeft, 0, 172, 142, 145, 89, L"Static", 0,
                    "caution"},
    ControlTemplate{IDC_AGREE_CHECK, ControlKind::CheckBox, kBsAutoCheckBox | kWsTabStop, 0, 172, 232, 126,
                    10, L"I agree with the statement above", 0, "agreement"},
};

constexpr std::array kDownloadControls{
    ControlTemplate{IDC_PHASE_BAR, ControlKind::ProgressBar, kPbsSmooth | kWsBorder, 0, 13, 79, 265, 16, L"",
                    0, "phase bar"},
    ControlTemplate{IDC_OVERALL_BAR, ControlKind::ProgressBar, kPbsSmooth | kWsBorder, 0, 12, 109, 265, 16,
                    L"", 0, "overall bar"},
    ControlTemplate{IDC_PERCENT_LABEL, ControlKind::Static, kSsCenter, 0, 125, 129, 39, 9, L"0%", 0,
                    "percent"},
    ControlTemplate{kNoId, ControlKind::Static, kSsLeft, 0, 7, 7, 265, 60,
                    L"Please wait...\n\nYour handheld is being upgraded.\n\nDO NOT REMOVE THE USB CABLE.", 0,
                    "notice"},
    ControlTemplate{IDC_STATUS_LINE, ControlKind::Static, kSsLeft | kSsSunken, kWsExStaticEdge, 14, 144, 263,
                    37, L"Static", 0, "status"},
};

constexpr std::array kTemplates{
    DialogTemplate{IDD_WELCOME_PAGE, L"Korvane", L"System", 10, 329, 266, kWelcomeControls},
    DialogTemplate{IDD_DOWNLOAD_PAGE, L"Download Image", L"Arial", 10, 290, 200, kDownloadControls},
};

} // namespace

const DialogTemplate* FindDialogTemplate(unsigned id) {
    for (const DialogTemplate& t : kTemplates) {
        if (t.id == id)
            return &t;
    }
    return nullptr;
}

std::span<const DialogTemplate> AllDialogTemplates() {
    return kTemplates;
}

} // namespace res

// The entry point of the posix wizard: options, then the application object's InitInstance.
#include "platform/Afx.h"
#include "platform/posix/UiModel.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The environment variable the device name \\.\wceusbsh001 is looked up in.
constexpr const char* kDeviceVariable = "VESTREL_DEVICE_WCEUSBSH001";

void Usage(std::FILE* to) {
    std::fprintf(
        to,
        "Usage: vestrel [--device PATH] [--unattended | --terminal]\n"
        "Re-flashes the handset from the image files in the current directory.\n"
        "\n"
        "  --device PATH  the handset's serial device (default: $%s, else /dev/wceusbsh001,\n"
        "                 the name the shipped udev rule gives the handset)\n"
        "  --unattended   no terminal drawing: print every change as a line and drive the wizard\n"
        "                 as a user would (chosen by itself when input or output is not a terminal)\n"
        "  --terminal     the terminal wizard even when that check says otherwise\n"
        "  --help         this text\n",
        kDeviceVariable);
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    enum class Mode { Automatic, Terminal, Unattended } mode = Mode::Automatic;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--device" && i + 1 < argc) {
            // Set before anything opens the device: the name is looked up at each open.
            setenv(kDeviceVariable, argv[++i], 1);
        } else if (arg.rfind("--device=", 0) == 0) {
            setenv(kDeviceVariable, arg.c_str() + std::strlen("--device="), 1);
        } else if (arg == "--unattended") {
            mode = Mode::Unattended;
        } else if (arg == "--terminal") {
            mode = Mode::Terminal;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "vestrel: unknown option %s\n\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (mode == Mode::Unattended)
        ui::SetFrontEndFactory([] { return ui::MakeUnattendedFrontEnd(stdout); });
    else if (mode == Mode::Terminal)
        ui::SetFrontEndFactory([] { return ui::MakeTerminalFrontEnd(); });

    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return 1;
    // A second copy ends silently, as on Windows.
    if (!app->InitInstance())
        return 0;
    return ui::LastSheetResult() == ui::kIdWizFinish ? 0 : 1;
}

#include "platform/posix/UiModel.h"

namespace ui {
std::unique_ptr<FrontEnd> MakeTerminalFrontEnd() {
    return MakeUnattendedFrontEnd(stdout);
}
} // namespace ui

// A front end for tests: runs the sheet's loop in the test's thread and lets the test script
// what the user does, one step per turn of the loop; message boxes are recorded and closed by
// the test.
#pragma once

#include "platform/posix/UiModel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

class ScriptedFrontEnd : public ui::FrontEnd {
public:
    // Called on every turn of the loop until the sheet closes; the step may press buttons.
    std::function<void(CPropertySheet&)> step;
    // Answers a message box (on the user-interface thread); default: OK at once.
    std::function<int(const ui::MessageBoxRequest&)> onBox;
    std::vector<ui::MessageBoxRequest>* boxesOut = nullptr;
    bool* timedOutFlag = nullptr;
    std::chrono::milliseconds limit{10000};

    void Run(CPropertySheet& sheet) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ui::SheetClosed(sheet)) {
            pollfd fd{ui::WakeDescriptor(), POLLIN, 0};
            poll(&fd, 1, 5);
            ui::RunPending();
            if (step)
                step(sheet);
            if (std::chrono::steady_clock::now() > deadline) {
                ui::CancelSheet(sheet); // a test that hangs ends instead
                if (timedOutFlag != nullptr)
                    *timedOutFlag = true;
            }
        }
    }

    int ShowMessageBox(const ui::MessageBoxRequest& request) override {
        if (boxesOut != nullptr)
            boxesOut->push_back(request);
        return onBox ? onBox(request) : ui::kIdOk;
    }
};

// Runs the sheet modally with a scripted front end; false when the script did not close it in time.
inline bool RunSheetWith(CPropertySheet& sheet, std::function<void(CPropertySheet&)> step,
                         std::function<int(const ui::MessageBoxRequest&)> onBox = nullptr,
                         intptr_t* result = nullptr, std::vector<ui::MessageBoxRequest>* boxes = nullptr) {
    bool timedOut = false;
    ui::SetFrontEndFactory([&] {
        auto frontEnd = std::make_unique<ScriptedFrontEnd>();
        frontEnd->step = step;
        frontEnd->onBox = onBox;
        frontEnd->timedOutFlag = &timedOut;
        frontEnd->boxesOut = boxes;
        return frontEnd;
    });
    const intptr_t r = sheet.DoModal();
    ui::SetFrontEndFactory(nullptr);
    if (result != nullptr)
        *result = r;
    return !timedOut;
}

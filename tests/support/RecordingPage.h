// A download page that records what it reports instead of drawing it, and closes its message
// boxes at once. Phases run on it in the test's own thread, against a PtyPeer or handset-sim.
#pragma once

#include "pages/DownloadPage.h"

#include <mutex>
#include <string>
#include <vector>

struct RecordedMessage {
    std::wstring text;
    std::wstring caption; // L"(app title)" when none was given
    UINT icon;
    bool ownerless;
};

class RecordingPage : public CDownloadPage {
public:
    // The image directory the phases read from.
    explicit RecordingPage(const std::wstring& imageDir = L".");

    void SetStatusText(const wchar_t* text) override;
    void SetPhaseProgress(int pos) override;
    void SetOverallProgress(int pos) override;
    void ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override;
    void ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon) override;

    // Everything reported, in order, as lines such as "status:Sending...", "phase:30",
    // "overall:10", "label:10%", "box:Vestrel:16:Send hello packet fail." (ownerless: "obox:...").
    std::vector<std::string> Events() const;
    std::vector<int> PhasePositions() const;
    std::vector<int> OverallPositions() const;
    std::vector<RecordedMessage> Messages() const;
    std::wstring Status() const;
    std::wstring PercentLabel() const;
    void ClearEvents();

private:
    void Record(std::string event);
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<int> m_phase;
    std::vector<int> m_overall;
    std::vector<RecordedMessage> m_messages;
    std::wstring m_status;
    std::wstring m_label = L"0%";
};

std::string Narrow(const std::wstring& text);

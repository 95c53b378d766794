#include "support/RecordingPage.h"

#include <cwchar>

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

RecordingPage::RecordingPage(const std::wstring& imageDir) {
    std::wcsncpy(m_imageDir, imageDir.c_str(), kImageDirCapacity - 1);
    m_imageDir[kImageDirCapacity - 1] = 0;
}

void RecordingPage::Record(std::string event) { m_events.push_back(std::move(event)); }

void RecordingPage::SetStatusText(const wchar_t* text) {
    std::lock_guard lock(m_mutex);
    m_status = text;
    Record("status:" + Narrow(text));
}

void RecordingPage::SetPhaseProgress(int pos) {
    std::lock_guard lock(m_mutex);
    m_phase.push_back(pos);
    Record("phase:" + std::to_string(pos));
}

void RecordingPage::SetOverallProgress(int pos) {
    std::lock_guard lock(m_mutex);
    m_overall.push_back(pos);
    m_label = std::to_wstring(pos) + L"%";
    Record("overall:" + std::to_string(pos));
}

void RecordingPage::ShowPageMessage(const wchar_t* text, const wchar_t* caption, UINT icon) {
    std::lock_guard lock(m_mutex);
    std::wstring cap = caption ? caption : L"(app title)";
    m_messages.push_back({text, cap, icon, false});
    Record("box:" + Narrow(cap) + ":" + std::to_string(icon) + ":" + Narrow(text));
}

void RecordingPage::ShowOwnerlessMessage(const wchar_t* text, const wchar_t* caption, UINT icon) {
    std::lock_guard lock(m_mutex);
    std::wstring cap = caption ? caption : L"(app title)";
    m_messages.push_back({text, cap, icon, true});
    Record("obox:" + Narrow(cap) + ":" + std::to_string(icon) + ":" + Narrow(text));
}

std::vector<std::string> RecordingPage::Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}
std::vector<int> RecordingPage::PhasePositions() const {
    std::lock_guard lock(m_mutex);
    return m_phase;
}
std::vector<int> RecordingPage::OverallPositions() const {
    std::lock_guard lock(m_mutex);
    return m_overall;
}
std::vector<RecordedMessage> RecordingPage::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}
std::wstring RecordingPage::Status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}
std::wstring RecordingPage::PercentLabel() const {
    std::lock_guard lock(m_mutex);
    return m_label;
}
void RecordingPage::ClearEvents() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
    m_phase.clear();
    m_overall.clear();
    m_messages.clear();
}

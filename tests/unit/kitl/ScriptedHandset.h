// A handset in its kITL mode on the master side of a pseudo-terminal: announces itself, checks our
// acknowledgement, acknowledges, then takes data frames and acknowledges each one.
#pragma once

#include "KitlTestFrames.h"

#include <string>
#include <thread>

struct HandsetScript {
    std::size_t framesToTake = 0;
    // Unplug (close the master side) after taking this many data frames, without acknowledging
    // the last one.
    std::optional<std::size_t> vanishAfter;
    // Unplug a moment after the program has had time to open the device, without announcing.
    bool vanishBeforeAnnouncing = false;
};

inline HandsetScript TakeFrames(std::size_t n) {
    HandsetScript s;
    s.framesToTake = n;
    return s;
}
inline HandsetScript VanishAfterFrames(std::size_t n) {
    HandsetScript s;
    s.framesToTake = n + 1;
    s.vanishAfter = n;
    return s;
}
inline HandsetScript VanishBeforeAnnouncing() {
    HandsetScript s;
    s.vanishBeforeAnnouncing = true;
    return s;
}

struct ReceivedData {
    std::uint32_t sequence;
    Bytes piece; // 1516 bytes
};

class ScriptedHandset {
public:
    ScriptedHandset(PtyPeer& peer, HandsetScript script);
    ~ScriptedHandset();
    ScriptedHandset(const ScriptedHandset&) = delete;
    ScriptedHandset& operator=(const ScriptedHandset&) = delete;

    // Waits for the script to end; afterwards the results below are complete.
    void Join();

    std::vector<ReceivedData> frames;
    // Empty when everything the program sent was well formed and in order.
    std::string problem;

private:
    void Run();
    PtyPeer& m_peer;
    HandsetScript m_script;
    std::thread m_thread;
};

// The file content the handset put together: the pieces in order, padding included.
Bytes Reassemble(const std::vector<ReceivedData>& frames);

// The flash programmer's side of the streaming protocol, scripted by a test: a thread that
// splits what the program writes into frames, decodes them on its own (un-escaping and FCS
// check written here, apart from the program's encoder) and sends the script's answers.
#pragma once

#include "support/PtyPeer.h"
#include "support/RecordingPage.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct ReceivedFrame {
    Bytes raw;  // as it came, flags and escapes included
    Bytes body; // un-escaped, without the FCS
    bool fcsOk = false;
};

// Given each frame received (and its index), the raw bytes to send back; empty for silence.
using Script = std::function<Bytes(const ReceivedFrame& frame, std::size_t index)>;

class ProgrammerPeer {
public:
    ProgrammerPeer(PtyPeer& pty, Script script);
    ~ProgrammerPeer();
    ProgrammerPeer(const ProgrammerPeer&) = delete;
    ProgrammerPeer& operator=(const ProgrammerPeer&) = delete;

    // Takes in what is still in flight, then ends the thread. The accessors below need it first.
    void Stop();
    const std::vector<ReceivedFrame>& Frames() const { return m_frames; }
    // Every byte received, frames and anything between them.
    const Bytes& Raw() const { return m_raw; }

private:
    void Run();
    void Feed(const std::uint8_t* data, std::size_t length);

    PtyPeer& m_pty;
    Script m_script;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<ReceivedFrame> m_frames;
    Bytes m_raw;
    Bytes m_current;
    bool m_inFrame = false;
};

// The frame of a body, built here bit by bit (reflected 0x8408), independent of the program.
Bytes FrameOf(const Bytes& body);
Bytes Concat(std::initializer_list<Bytes> parts);

// The programmer as it normally answers: open -> 1C 00, stream-write -> 08 and the offset,
// close -> 16. Frames it does not know get no answer.
Bytes NormalAnswer(const ReceivedFrame& frame);

// The image a programmer would rebuild from the stream-write frames, in arrival order; fails the
// test if the offsets do not follow one another.
Bytes RebuildImage(const std::vector<ReceivedFrame>& frames);

// A download page on an image directory, its port open and configured on a pseudo-terminal.
class StreamingTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TempDir m_dir;
    PtyPeer m_pty;
    RecordingPage m_page{m_dir.PathW()};
};

// Expected event lines of a failure report with the error icon.
std::vector<std::string> FailureEvents(const std::string& caption, const std::string& box,
                                       const std::string& status);

// The handset itself, free of any I/O: it takes the host's bytes with the time they arrived,
// produces its answers with the time they may go out, plays the chosen scenario and records
// everything for the verdict. The program loop (main.cpp) and the tests drive it.
#pragma once

#include "Hdlc.h"
#include "ImageSet.h"
#include "Kitl.h"
#include "Options.h"
#include "Verdict.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

using Millis = std::int64_t;

struct Output {
    Bytes bytes;
    Millis due = 0; // not to be written before this time; outputs are in order
};

class Handset {
public:
    Handset(const Options& options, const ImageSet& images);

    void Start(Millis now);
    void OnBytes(std::span<const std::uint8_t> bytes, Millis now);
    // Timers: the kITL announcement and the clean copy of a spoiled frame. `hostBacklog` says
    // the host has not yet read what was sent before (then no further announcement is queued).
    void OnTick(Millis now, bool hostBacklog);

    // The reboot packet arrived: the device is to vanish.
    bool WantsAway() const { return m_mode == Mode::Rebooting; }
    void OnAway();
    bool Away() const { return m_mode == Mode::Away; }
    // The device is back (a fresh pty): from now on it speaks kITL.
    void OnReturned(Millis now);
    bool Finished() const { return m_mode == Mode::Done; }

    std::vector<Output> TakeOutputs();
    Verdict Conclude(bool interrupted);

    Stage CurrentStage() const { return m_stage; }
    const Received& Got() const { return m_received; }

private:
    enum class Mode { Download, Streaming, Rebooting, Away, Kitl, Done };
    enum class KitlState { Announcing, Transfer };

    void Emit(Bytes bytes, int delayMs);
    void Answer(std::span<const std::uint8_t> body, int delayMs);
    void AddFault(Stage stage, std::size_t frame, std::string what);
    bool Silenced(Stage stage) const;
    void Refuse(std::string what);

    void OnHdlcFrame(HdlcFrame& frame);
    void OnDownloadFrame(const HdlcFrame& frame);
    void OnStreamingFrame(const HdlcFrame& frame);
    void OnWrite(const Bytes& body);
    void OnOpen(const Bytes& body);
    void OnStreamWrite(const Bytes& body);
    void OnClose();
    bool CheckFixed(const HdlcFrame& frame, std::span<const std::uint8_t> expected, const char* name,
                    Stage stage);
    void ExpectNext(Stage got, const char* name);

    void OnKitlFrame(const KitlFrame& frame);
    void SendKitl(std::uint8_t type, std::span<const std::uint8_t> data, bool stray, bool badHeader);
    void SendAnnouncement();

    const Options& m_options;
    const ImageSet& m_images;
    Mode m_mode = Mode::Download;
    Stage m_stage = Stage::Download;
    Millis m_now = 0;
    Millis m_lastDue = 0;
    std::vector<Output> m_out;

    HdlcDecoder m_hdlc;
    KitlParser m_kitl;
    Received m_received;
    std::vector<Fault> m_faults;
    std::size_t m_faultsTotal = 0;
    std::size_t m_hdlcFrames = 0;
    std::size_t m_kitlFrames = 0;
    std::string m_refused; // the refusal the host should have stopped at

    // Download protocol.
    std::uint32_t m_writes = 0;
    std::size_t m_programmerNext = 0;
    bool m_shortWriteSeen = false;
    bool m_goSeen = false;

    // Streaming protocol.
    Stage m_next = Stage::Hello;
    std::size_t m_nextImage = 0;
    int m_current = -1; // image being streamed
    std::size_t m_nextOffset = 0;
    std::uint32_t m_chunk = 0;
    bool m_shortChunkSeen = false;
    std::vector<Bytes> m_withheld;

    // kITL.
    KitlState m_kitlState = KitlState::Announcing;
    Millis m_nextAnnounce = 0;
    std::size_t m_announcements = 0;
    std::optional<Millis> m_resendAt;
    Bytes m_resend;
    std::size_t m_dataFrames = 0;
    std::optional<std::uint32_t> m_firstSeq;
    std::uint32_t m_nextSeq = 0;
    std::optional<std::size_t> m_expectedPieces;
};

} // namespace sim

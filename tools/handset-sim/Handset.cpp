#include "Handset.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

constexpr std::uint32_t kLoadAddress = 0x00A00000;
constexpr std::size_t kWriteChunk = 1017;
constexpr std::size_t kStreamChunk = 1024;
// Data is kept by its address or offset, so a wild address from a faulty host must not turn into
// a huge allocation: data may land at most this far past the end of the file it should match.
constexpr std::size_t kPlaceSlack = std::size_t{16} << 20;

std::size_t PlaceLimit(const std::optional<Bytes>& expected) {
    return (expected ? expected->size() : 0) + kPlaceSlack;
}

constexpr std::array<std::uint8_t, 9> kGoPacket = {0x7E, 0x05, 0x00, 0xA0, 0x00, 0x00, 0xF4, 0xE6, 0x7E};
constexpr std::array<std::uint8_t, 5> kSwitchPacket = {0x7E, 0x0C, 0x14, 0x3A, 0x7E};
constexpr std::array<std::uint8_t, 11> kReadPacket = {0x7E, 0x03, 0x20, 0x00, 0x00, 0x00,
                                                      0x34, 0x00, 0xBC, 0x70, 0x7E};
constexpr std::array<std::uint8_t, 6> kSecurityPacket = {0x7E, 0x17, 0x00, 0xDE, 0xD7, 0x7E};
constexpr std::array<std::uint8_t, 5> kClosePacket = {0x7E, 0x15, 0x54, 0xB7, 0x7E};
constexpr std::array<std::uint8_t, 5> kRebootPacket = {0x7E, 0x0B, 0xAB, 0x4E, 0x7E};
constexpr std::array<std::uint8_t, 14> kHostAck = {0x6B, 0x49, 0x54, 0x4C, 0xDD, 0x00, 0x04,
                                                   0x00, 0x00, 0x35, 0x00, 0x00, 0x00, 0x00};
constexpr const char* kHostMagic = "QCOM fast download protocol host";
constexpr const char* kTargetMagic = "QCOM fast download protocol targ";

// Noise before kITL frames: no byte of it can start a magic.
constexpr std::array<std::uint8_t, 16> kGarbage = {0x00, 0xFF, 0x7E, 0x49, 0x54, 0x4C, 0x20, 0x13,
                                                   0x11, 0x4B, 0x69, 0x74, 0x6C, 0x0D, 0x0A, 0x55};

Bytes HelloPacket() {
    Bytes p(40);
    p[0] = 0x7E;
    p[1] = 0x01;
    std::memcpy(p.data() + 2, kHostMagic, 32);
    constexpr std::uint8_t kTail[6] = {0x03, 0x03, 0x09, 0xC6, 0x32, 0x7E};
    std::memcpy(p.data() + 34, kTail, sizeof kTail);
    return p;
}

void PutLe(Bytes& out, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Hex8(unsigned v) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02X", v & 0xFF);
    return t;
}

} // namespace

Handset::Handset(const Options& options, const ImageSet& images) : m_options(options), m_images(images) {
    if (images.flash)
        m_expectedPieces = (images.flash->size() + kKitlPiece - 1) / kKitlPiece;
}

void Handset::Start(Millis now) {
    m_now = now;
    m_lastDue = now;
    if (m_options.startAt == Stage::Hello) {
        m_mode = Mode::Streaming;
        m_stage = Stage::Hello;
        m_goSeen = true;
    } else if (m_options.startAt == Stage::KitlAnnounce) {
        OnReturned(now);
    }
}

std::vector<Output> Handset::TakeOutputs() {
    std::vector<Output> out;
    out.swap(m_out);
    return out;
}

void Handset::Emit(Bytes bytes, int delayMs) {
    const Millis due = std::max(m_now + delayMs, m_lastDue);
    m_lastDue = due;
    m_out.push_back(Output{std::move(bytes), due});
}

void Handset::Answer(std::span<const std::uint8_t> body, int delayMs) {
    Emit(EncodeFrame(body), delayMs);
}

void Handset::AddFault(Stage stage, std::size_t frame, std::string what) {
    ++m_faultsTotal;
    if (m_faults.size() < kFaultListLimit)
        m_faults.push_back(Fault{StageName(stage), frame, std::move(what)});
}

bool Handset::Silenced(Stage stage) const {
    return m_options.scenario == Scenario::Silent && stage >= m_options.silentAt;
}

void Handset::Refuse(std::string what) {
    if (m_refused.empty())
        m_refused = std::move(what);
}

// ---- HDLC side -------------------------------------------------------------------------------

void Handset::OnBytes(std::span<const std::uint8_t> bytes, Millis now) {
    m_now = now;
    if (!bytes.empty())
        m_resendAt.reset();
    for (std::uint8_t b : bytes) {
        switch (m_mode) {
        case Mode::Download:
        case Mode::Streaming:
            if (auto frame = m_hdlc.Feed(b))
                OnHdlcFrame(*frame);
            break;
        case Mode::Kitl:
            if (auto frame = m_kitl.Feed(b))
                OnKitlFrame(*frame);
            break;
        case Mode::Rebooting:
        case Mode::Away:
        case Mode::Done: {
            // Count, don't store: a runaway host must not grow the fault list byte by byte.
            static constexpr const char* kAfter = "bytes after the conversation ended";
            if (m_faults.empty() || m_faults.back().what.rfind(kAfter, 0) != 0)
                AddFault(m_stage, 0, kAfter);
            else
                ++m_faultsTotal;
            break;
        }
        }
    }
}

void Handset::OnHdlcFrame(HdlcFrame& frame) {
    ++m_hdlcFrames;
    const Stage stage = m_mode == Mode::Download ? Stage::Download : m_stage;
    if (frame.strayBefore)
        AddFault(stage, m_hdlcFrames,
                 std::to_string(frame.strayBefore) + " byte(s) outside any frame before it");
    if (frame.doubledFlags)
        AddFault(stage, m_hdlcFrames,
                 std::to_string(frame.doubledFlags) + " empty frame(s) (flag right after flag)");
    for (std::string& f : frame.faults)
        AddFault(stage, m_hdlcFrames, std::move(f));
    // A needless escape is a fault of the sender but the frame still reads; a broken frame doesn't.
    if (!frame.complete)
        return;
    if (!frame.fcsOk) {
        // A real handset drops a frame that fails its check; so does this one (no answer).
        AddFault(stage, m_hdlcFrames, "FCS wrong, frame dropped: " + HexBytes(frame.raw));
        return;
    }
    if (!m_refused.empty())
        AddFault(stage, m_hdlcFrames,
                 "host went on after the refusal (" + m_refused + ") with " + HexBytes(frame.raw, 12));
    if (m_mode == Mode::Download)
        OnDownloadFrame(frame);
    else
        OnStreamingFrame(frame);
}

bool Handset::CheckFixed(const HdlcFrame& frame, std::span<const std::uint8_t> expected, const char* name,
                         Stage stage) {
    if (std::equal(frame.raw.begin(), frame.raw.end(), expected.begin(), expected.end()))
        return true;
    AddFault(stage, m_hdlcFrames,
             std::string(name) + " packet is " + HexBytes(frame.raw) + ", should be " + HexBytes(expected));
    return false;
}

void Handset::OnDownloadFrame(const HdlcFrame& frame) {
    switch (frame.body[0]) {
    case 0x0F:
        m_stage = Stage::Download;
        OnWrite(frame.body);
        break;
    case 0x05:
        m_stage = Stage::Go;
        CheckFixed(frame, kGoPacket, "go", Stage::Go);
        m_goSeen = true;
        // The host reads this answer without waiting for a flag, so it never gets the latency.
        if (!Silenced(Stage::Go))
            Answer(std::array<std::uint8_t, 1>{0x02}, 0);
        break;
    case 0x0C:
        CheckFixed(frame, kSwitchPacket, "0x0C", Stage::Go);
        if (!m_goSeen)
            AddFault(Stage::Go, m_hdlcFrames, "0x0C packet before the go packet");
        m_mode = Mode::Streaming;
        m_stage = Stage::Hello;
        break;
    default:
        AddFault(Stage::Download, m_hdlcFrames,
                 "unexpected command " + Hex8(frame.body[0]) +
                     " in download mode: " + HexBytes(frame.raw, 16));
        break;
    }
}

void Handset::OnWrite(const Bytes& body) {
    const std::size_t n = ++m_writes;
    if (m_goSeen)
        AddFault(Stage::Download, m_hdlcFrames, "write packet after the go packet");
    if (body.size() < 7) {
        AddFault(Stage::Download, m_hdlcFrames,
                 "write packet of " + std::to_string(body.size()) + " body bytes");
        return;
    }
    const std::uint32_t address = static_cast<std::uint32_t>(body[1]) << 24 |
                                  static_cast<std::uint32_t>(body[2]) << 16 |
                                  static_cast<std::uint32_t>(body[3]) << 8 | body[4];
    const std::size_t length = static_cast<std::size_t>(body[5]) << 8 | body[6];
    const std::size_t carried = body.size() - 7;
    const std::size_t expectedAddress = kLoadAddress + m_programmerNext;
    char text[160];
    if (address != expectedAddress) {
        std::snprintf(text, sizeof text, "write %zu to address 0x%08X, should be 0x%08zX", n, address,
                      expectedAddress);
        AddFault(Stage::Download, m_hdlcFrames, text);
    }
    if (length != carried) {
        std::snprintf(text, sizeof text, "write %zu: length field %zu, carries %zu bytes", n, length,
                      carried);
        AddFault(Stage::Download, m_hdlcFrames, text);
    }
    if (carried == 0 || carried > kWriteChunk) {
        std::snprintf(text, sizeof text, "write %zu carries %zu bytes (1 to 1017 allowed)", n, carried);
        AddFault(Stage::Download, m_hdlcFrames, text);
    }
    if (m_shortWriteSeen)
        AddFault(Stage::Download, m_hdlcFrames,
                 "write packet after a short one (only the last may be short)");
    if (carried != kWriteChunk)
        m_shortWriteSeen = true;
    if (address >= kLoadAddress && address - kLoadAddress + carried <= PlaceLimit(m_images.programmer)) {
        m_received.programmer.Put(address - kLoadAddress, body.data() + 7, carried);
        m_programmerNext = address - kLoadAddress + carried;
    } else {
        AddFault(Stage::Download, m_hdlcFrames, "write outside the programmer's memory, not stored");
    }
    if (!Silenced(Stage::Download))
        Answer(std::array<std::uint8_t, 1>{0x02}, m_options.latencyMs);
}

void Handset::ExpectNext(Stage got, const char* name) {
    if (got != m_next)
        AddFault(got, m_hdlcFrames,
                 std::string(name) + " packet where the " + StageName(m_next) + " packet was due");
    m_stage = got;
}

void Handset::OnStreamingFrame(const HdlcFrame& frame) {
    const int latency = m_options.latencyMs;
    const Scenario sc = m_options.scenario;
    switch (frame.body[0]) {
    case 0x01: {
        ExpectNext(Stage::Hello, "hello");
        CheckFixed(frame, HelloPacket(), "hello", Stage::Hello);
        m_next = Stage::Read;
        if (Silenced(Stage::Hello))
            return;
        std::string magic = kTargetMagic;
        if (sc == Scenario::HelloBad) {
            magic.back() = 'h';
            Refuse("hello answer with a wrong magic");
        } else if (sc == Scenario::HelloCase) {
            magic = "qcom FAST Download PROTOCOL TARG";
        }
        Bytes body = {0x02};
        body.insert(body.end(), magic.begin(), magic.end());
        body.push_back(0x03); // protocol version
        body.push_back(0x03); // lowest compatible version
        PutLe(body, 1024, 4); // largest block
        PutLe(body, 0, 4);    // flash base address
        const char* flashName = "sim-nand";
        body.push_back(static_cast<std::uint8_t>(std::strlen(flashName)));
        body.insert(body.end(), flashName, flashName + std::strlen(flashName));
        PutLe(body, 1, 2);    // window size
        PutLe(body, 0, 2);    // sector count
        body.push_back(0x09); // feature bits
        Answer(body, latency);
        return;
    }
    case 0x03: {
        ExpectNext(Stage::Read, "read");
        CheckFixed(frame, kReadPacket, "read", Stage::Read);
        m_next = Stage::Security;
        if (Silenced(Stage::Read))
            return;
        Bytes body = {0x04};
        PutLe(body, sc == Scenario::ReadBad ? 0x21 : 0x20, 4);
        for (unsigned i = 0; i < 0x34; ++i)
            body.push_back(static_cast<std::uint8_t>(0x30 + i * 7));
        if (sc == Scenario::ReadBad)
            Refuse("read answer for another address");
        Answer(body, latency);
        return;
    }
    case 0x17: {
        ExpectNext(Stage::Security, "security");
        CheckFixed(frame, kSecurityPacket, "security", Stage::Security);
        m_next = Stage::Partition;
        if (Silenced(Stage::Security))
            return;
        Bytes answer = EncodeFrame(std::array<std::uint8_t, 1>{0x18});
        if (sc == Scenario::SecurityBad) {
            answer[3] ^= 0x01; // FCS high byte 6C becomes 6D
            Refuse("security answer with a wrong FCS");
        }
        Emit(std::move(answer), latency);
        return;
    }
    case 0x19: {
        ExpectNext(Stage::Partition, "partition-table");
        m_next = Stage::Open;
        if (frame.body.size() < 2) {
            AddFault(Stage::Partition, m_hdlcFrames, "partition-table packet without the override flag");
        } else {
            if (frame.body[1] != 0)
                AddFault(Stage::Partition, m_hdlcFrames,
                         "override flag " + Hex8(frame.body[1]) + ", should be 0x00");
            if (m_received.partition)
                AddFault(Stage::Partition, m_hdlcFrames, "partition table sent again");
            m_received.partition = Bytes(frame.body.begin() + 2, frame.body.end());
        }
        if (Silenced(Stage::Partition))
            return;
        if (sc == Scenario::PartitionForeign) {
            Refuse("partition-table answer with a foreign code");
            Answer(std::array<std::uint8_t, 2>{0x0E, 0x00}, latency);
        } else {
            const std::uint8_t status =
                sc == Scenario::PartitionStatus ? static_cast<std::uint8_t>(m_options.status) : 0;
            if (status)
                Refuse("partition-table status " + std::to_string(status));
            Answer(std::array<std::uint8_t, 2>{0x1A, status}, latency);
        }
        return;
    }
    case 0x1B:
        OnOpen(frame.body);
        return;
    case 0x07:
        OnStreamWrite(frame.body);
        return;
    case 0x15:
        CheckFixed(frame, kClosePacket, "close", Stage::Close);
        OnClose();
        return;
    case 0x0B:
        ExpectNext(Stage::Reboot, "reboot");
        CheckFixed(frame, kRebootPacket, "reboot", Stage::Reboot);
        m_mode = Mode::Rebooting; // no answer: the handset restarts at once
        return;
    default:
        AddFault(m_stage, m_hdlcFrames,
                 "unexpected command " + Hex8(frame.body[0]) +
                     " to the programmer: " + HexBytes(frame.raw, 16));
        return;
    }
}

void Handset::OnOpen(const Bytes& body) {
    ExpectNext(Stage::Open, "open");
    if (body.size() < 2) {
        AddFault(Stage::Open, m_hdlcFrames, "open packet without an image type");
        return;
    }
    const int index = BootImageIndexOfType(body[1]);
    if (index < 0) {
        AddFault(Stage::Open, m_hdlcFrames, "open packet for unknown image type " + std::to_string(body[1]));
        return;
    }
    if (static_cast<std::size_t>(index) != m_nextImage)
        AddFault(Stage::Open, m_hdlcFrames,
                 std::string("open of ") + kBootImages[static_cast<std::size_t>(index)].label +
                     " out of order");
    Received::Boot& boot = m_received.boot[static_cast<std::size_t>(index)];
    if (boot.opened)
        AddFault(Stage::Open, m_hdlcFrames,
                 std::string(kBootImages[static_cast<std::size_t>(index)].label) + " opened again");
    boot.opened = true;
    boot.header.assign(body.begin() + 2, body.end());
    m_nextImage = static_cast<std::size_t>(index);
    if (Silenced(Stage::Open))
        return;
    std::uint8_t status = 0;
    if (m_options.scenario == Scenario::OpenStatus && index == m_options.image) {
        status = static_cast<std::uint8_t>(m_options.status);
        if (status)
            Refuse("open status " + std::to_string(status));
    }
    if (status == 0) {
        boot.accepted = true;
        m_current = index;
        m_nextOffset = 0;
        m_chunk = 0;
        m_shortChunkSeen = false;
        m_next = Stage::Stream;
    }
    Answer(std::array<std::uint8_t, 2>{0x1C, status}, m_options.latencyMs);
}

void Handset::OnStreamWrite(const Bytes& body) {
    if (m_next != Stage::Stream || m_current < 0) {
        ExpectNext(Stage::Stream, "stream-write");
        AddFault(Stage::Stream, m_hdlcFrames, "stream-write packet without an open image");
        return;
    }
    m_stage = Stage::Stream;
    if (body.size() < 6) {
        AddFault(Stage::Stream, m_hdlcFrames,
                 "stream-write packet of " + std::to_string(body.size()) + " body bytes");
        return;
    }
    const std::uint32_t offset = Le32(body.data() + 1);
    const std::size_t carried = body.size() - 5;
    const std::uint32_t chunk = m_chunk++;
    const char* label = kBootImages[static_cast<std::size_t>(m_current)].label;
    char text[160];
    if (offset != m_nextOffset) {
        std::snprintf(text, sizeof text, "%s chunk %u at offset %u, should be %zu", label, chunk, offset,
                      m_nextOffset);
        AddFault(Stage::Stream, m_hdlcFrames, text);
    }
    if (carried > kStreamChunk) {
        std::snprintf(text, sizeof text, "%s chunk %u carries %zu bytes (at most 1024)", label, chunk,
                      carried);
        AddFault(Stage::Stream, m_hdlcFrames, text);
    }
    if (m_shortChunkSeen)
        AddFault(Stage::Stream, m_hdlcFrames,
                 std::string(label) + ": chunk after a short one (only the last may be short)");
    if (carried != kStreamChunk)
        m_shortChunkSeen = true;
    if (static_cast<std::size_t>(offset) + carried <=
        PlaceLimit(m_images.images[static_cast<std::size_t>(m_current)]))
        m_received.boot[static_cast<std::size_t>(m_current)].image.Put(offset, body.data() + 5, carried);
    else
        AddFault(Stage::Stream, m_hdlcFrames, "offset far beyond the image, not stored");
    m_nextOffset = static_cast<std::size_t>(offset) + carried;
    if (Silenced(Stage::Stream))
        return;

    const Scenario sc = m_options.scenario;
    const bool target = m_current == m_options.image;
    const std::uint32_t first = m_options.chunk.value_or(0);
    Bytes answer = {0x08};
    if (target && sc == Scenario::StreamBad && chunk == first) {
        answer = {0x0E, 0x00};
        Refuse("stream-write answer with a wrong code");
    } else if (target && sc == Scenario::StreamOffset && chunk == first) {
        PutLe(answer, offset + 1, 4);
    } else {
        PutLe(answer, offset, 4);
    }
    if (target && sc == Scenario::StreamLate && chunk >= first && chunk - first < m_options.count &&
        carried == kStreamChunk) {
        m_withheld.push_back(EncodeFrame(answer)); // sent after the close packet
        return;
    }
    Answer(answer, m_options.latencyMs);
}

void Handset::OnClose() {
    if (m_next != Stage::Stream || m_current < 0) {
        ExpectNext(Stage::Close, "close");
        return;
    }
    m_stage = Stage::Close;
    const std::size_t index = static_cast<std::size_t>(m_current);
    m_received.boot[index].closed = true;
    m_current = -1;
    m_nextImage = index + 1;
    m_next = m_nextImage < kBootImages.size() ? Stage::Open : Stage::Reboot;
    if (Silenced(Stage::Close))
        return;
    for (Bytes& late : m_withheld)
        Emit(std::move(late), m_options.latencyMs);
    m_withheld.clear();
    if (m_options.scenario == Scenario::CloseBad && static_cast<int>(index) == m_options.image) {
        Refuse("close answer with a wrong code");
        Answer(std::array<std::uint8_t, 2>{0x0E, 0x00}, m_options.latencyMs);
    } else {
        Answer(std::array<std::uint8_t, 1>{0x16}, m_options.latencyMs);
    }
}

// ---- the device's departure and return ----------------------------------------------------

void Handset::OnAway() {
    if (m_hdlc.PendingBytes())
        AddFault(Stage::Reboot, 0,
                 std::to_string(m_hdlc.PendingBytes()) + " byte(s) of no complete frame before the reboot");
    m_mode = Mode::Away;
    m_stage = Stage::Reboot;
}

void Handset::OnReturned(Millis now) {
    m_now = now;
    m_lastDue = std::max(m_lastDue, now);
    m_mode = Mode::Kitl;
    m_stage = Stage::KitlAnnounce;
    m_kitlState = KitlState::Announcing;
    m_nextAnnounce = now;
}

// ---- kITL side ------------------------------------------------------------------------------

void Handset::SendKitl(std::uint8_t type, std::span<const std::uint8_t> data, bool stray, bool badHeader) {
    Bytes frame = BuildKitlFrame(type, data);
    Bytes wire;
    if (m_options.scenario == Scenario::KitlGarbage)
        wire.assign(kGarbage.begin(), kGarbage.end());
    if (stray)
        wire.push_back(kKitlMagic[0]);
    if (badHeader)
        frame[9] = static_cast<std::uint8_t>(frame[9] ^ 0x5A);
    wire.insert(wire.end(), frame.begin(), frame.end());
    if ((stray || badHeader) && type == kKitlAck) {
        // The host cannot see this acknowledgement; a clean copy follows if it stays silent.
        m_resend = BuildKitlFrame(type, data);
        m_resendAt = m_now + m_options.latencyMs + m_options.resendMs;
    }
    Emit(std::move(wire), m_options.latencyMs);
}

void Handset::SendAnnouncement() {
    std::array<std::uint8_t, 36> data{};
    const char* name = "handset-sim";
    std::memcpy(data.data(), name, std::strlen(name));
    data[32] = 0x01; // protocol version
    const bool first = m_announcements++ == 0;
    const bool chosen = first && !m_options.chunk;
    SendKitl(kKitlAnnounce, data, chosen && m_options.scenario == Scenario::KitlStray,
             chosen && m_options.scenario == Scenario::KitlBadHeader);
}

void Handset::OnTick(Millis now, bool hostBacklog) {
    m_now = now;
    if (m_mode != Mode::Kitl)
        return;
    if (m_resendAt && now >= *m_resendAt) {
        m_resendAt.reset();
        Emit(m_resend, 0);
    }
    if (m_kitlState == KitlState::Announcing && now >= m_nextAnnounce && !hostBacklog &&
        !Silenced(Stage::KitlAnnounce)) {
        SendAnnouncement();
        m_nextAnnounce = now + m_options.announceMs;
    }
}

void Handset::OnKitlFrame(const KitlFrame& frame) {
    ++m_kitlFrames;
    const std::size_t n = m_kitlFrames;
    if (frame.strayBefore)
        AddFault(m_stage, n, std::to_string(frame.strayBefore) + " byte(s) outside any kITL frame before it");
    if (!frame.Intact()) {
        for (const std::string& f : frame.faults)
            AddFault(m_stage, n, f + ", frame dropped: " + HexBytes(frame.header));
        return;
    }
    if (frame.header[5] != 0)
        AddFault(m_stage, n, "reserved byte " + Hex8(frame.header[5]) + ", should be 0x00");
    if (!m_refused.empty())
        AddFault(m_stage, n, "host went on after the refusal (" + m_refused + ")");

    const Bytes raw = frame.Raw();
    if (m_kitlState == KitlState::Announcing) {
        if (frame.Type() != kKitlAck || frame.Length() != 4) {
            AddFault(m_stage, n,
                     "frame type " + Hex8(frame.Type()) + " with " + std::to_string(frame.Length()) +
                         " data bytes where the acknowledgement of the announcement was due");
            return;
        }
        if (!std::equal(raw.begin(), raw.end(), kHostAck.begin(), kHostAck.end()))
            AddFault(Stage::KitlAck, n,
                     "acknowledgement is " + HexBytes(raw) + ", should be " + HexBytes(kHostAck));
        m_received.kitlHandshake = true;
        m_kitlState = KitlState::Transfer;
        m_stage = Stage::KitlAck;
        if (!Silenced(Stage::KitlAck)) {
            if (m_options.scenario == Scenario::KitlRepeat)
                SendAnnouncement();
            SendKitl(kKitlAck, std::array<std::uint8_t, 4>{}, false, false);
        }
        if (m_expectedPieces && *m_expectedPieces == 0) {
            m_mode = Mode::Done;
            m_stage = Stage::Done;
        }
        return;
    }

    if (frame.Type() != kKitlData || frame.Length() != kKitlMaxData) {
        AddFault(m_stage, n,
                 "frame type " + Hex8(frame.Type()) + " with " + std::to_string(frame.Length()) +
                     " data bytes where a data frame was due");
        return;
    }
    m_stage = Stage::KitlData;
    const std::size_t dataIndex = m_dataFrames++;
    const std::uint32_t seq = Le32(frame.data.data());
    if (!m_firstSeq) {
        m_firstSeq = seq;
        m_nextSeq = seq;
    }
    if (seq != m_nextSeq)
        AddFault(Stage::KitlData, n,
                 "sequence number " + std::to_string(seq) + ", should be " + std::to_string(m_nextSeq));
    m_nextSeq = seq + 1;
    const std::uint64_t piece = static_cast<std::uint64_t>(seq) - *m_firstSeq;
    if (seq < *m_firstSeq || piece * kKitlPiece + kKitlPiece > PlaceLimit(m_images.flash)) {
        AddFault(Stage::KitlData, n, "data frame out of range, not stored");
    } else {
        const std::size_t at = static_cast<std::size_t>(piece) * kKitlPiece;
        m_received.flash.Put(at, frame.data.data() + 4, kKitlPiece);
        // The last piece is padded with zeros past the file's end.
        if (m_images.flash && at < m_images.flash->size() && at + kKitlPiece > m_images.flash->size()) {
            const std::size_t used = m_images.flash->size() - at;
            const auto pad = std::span(frame.data).subspan(4 + used);
            if (std::any_of(pad.begin(), pad.end(), [](std::uint8_t b) { return b != 0; }))
                AddFault(Stage::KitlData, n, "padding of the last piece is not all zero");
        }
    }
    if (!Silenced(Stage::KitlData)) {
        const Scenario sc = m_options.scenario;
        const bool chosen = m_options.chunk && *m_options.chunk == dataIndex;
        if (sc == Scenario::KitlRepeat)
            SendAnnouncement();
        Bytes ackData;
        PutLe(ackData, seq, 4);
        SendKitl(kKitlAck, ackData, chosen && sc == Scenario::KitlStray,
                 chosen && sc == Scenario::KitlBadHeader);
    }
    if (m_expectedPieces && m_dataFrames >= *m_expectedPieces) {
        m_mode = Mode::Done;
        m_stage = Stage::Done;
    }
}

Verdict Handset::Conclude(bool interrupted) {
    if (m_mode == Mode::Download || m_mode == Mode::Streaming) {
        if (m_hdlc.PendingBytes())
            AddFault(m_stage, 0,
                     std::to_string(m_hdlc.PendingBytes()) + " byte(s) of no complete frame at the end");
    } else if (m_mode == Mode::Kitl && m_kitl.PendingBytes()) {
        AddFault(m_stage, 0,
                 std::to_string(m_kitl.PendingBytes()) + " byte(s) of no complete kITL frame at the end");
    }
    Verdict v = Judge(m_received, m_images, m_faults, m_faultsTotal, m_stage, m_options.startAt,
                      m_options.scenarioName, m_hdlcFrames, m_kitlFrames);
    v.interrupted = interrupted;
    if (interrupted)
        v.pass = false;
    return v;
}

} // namespace sim

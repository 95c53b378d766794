#include "ProgrammerPeer.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

std::uint16_t Fcs16(const Bytes& data) {
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : data) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1) ? static_cast<std::uint16_t>((reg >> 1) ^ 0x8408)
                            : static_cast<std::uint16_t>(reg >> 1);
    }
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

ReceivedFrame Decode(Bytes raw) {
    ReceivedFrame frame;
    Bytes unescaped;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == 0x7D && i + 2 < raw.size())
            unescaped.push_back(static_cast<std::uint8_t>(raw[++i] ^ 0x20));
        else
            unescaped.push_back(raw[i]);
    }
    if (unescaped.size() >= 2) {
        const std::uint16_t sent = static_cast<std::uint16_t>(unescaped[unescaped.size() - 2] |
                                                              (unescaped[unescaped.size() - 1] << 8));
        unescaped.resize(unescaped.size() - 2);
        frame.fcsOk = Fcs16(unescaped) == sent;
    }
    frame.body = std::move(unescaped);
    frame.raw = std::move(raw);
    return frame;
}

} // namespace

ProgrammerPeer::ProgrammerPeer(PtyPeer& pty, Script script) : m_pty(pty), m_script(std::move(script)) {
    m_thread = std::thread([this] { Run(); });
}

ProgrammerPeer::~ProgrammerPeer() {
    Stop();
}

void ProgrammerPeer::Stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void ProgrammerPeer::Run() {
    std::uint8_t buffer[4096];
    for (;;) {
        const bool stopping = m_stop;
        pollfd p{m_pty.MasterFd(), POLLIN, 0};
        // Once asked to stop, only what is already in the pty is taken.
        const int ready = poll(&p, 1, stopping ? 0 : 10);
        if (ready > 0 && (p.revents & POLLIN)) {
            const ssize_t n = read(m_pty.MasterFd(), buffer, sizeof buffer);
            if (n > 0) {
                Feed(buffer, static_cast<std::size_t>(n));
                continue;
            }
        }
        if (stopping)
            return;
    }
}

void ProgrammerPeer::Feed(const std::uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = data[i];
        m_raw.push_back(byte);
        if (!m_inFrame) {
            if (byte == 0x7E) {
                m_current = {byte};
                m_inFrame = true;
            }
            continue;
        }
        m_current.push_back(byte);
        if (byte != 0x7E)
            continue;
        m_inFrame = false;
        m_frames.push_back(Decode(std::move(m_current)));
        m_current.clear();
        const Bytes answer = m_script(m_frames.back(), m_frames.size() - 1);
        if (!answer.empty())
            m_pty.Send(answer);
    }
}

Bytes FrameOf(const Bytes& body) {
    Bytes withFcs = body;
    const std::uint16_t fcs = Fcs16(body);
    withFcs.push_back(static_cast<std::uint8_t>(fcs & 0xFF));
    withFcs.push_back(static_cast<std::uint8_t>(fcs >> 8));
    Bytes frame{0x7E};
    for (std::uint8_t byte : withFcs) {
        if (byte == 0x7E || byte == 0x7D) {
            frame.push_back(0x7D);
            frame.push_back(static_cast<std::uint8_t>(byte ^ 0x20));
        } else {
            frame.push_back(byte);
        }
    }
    frame.push_back(0x7E);
    return frame;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes NormalAnswer(const ReceivedFrame& frame) {
    if (frame.body.empty())
        return {};
    switch (frame.body[0]) {
    case 0x1B:
        return FrameOf({0x1C, 0x00});
    case 0x07:
        if (frame.body.size() < 5)
            return {};
        return FrameOf({0x08, frame.body[1], frame.body[2], frame.body[3], frame.body[4]});
    case 0x15:
        return FrameOf({0x16});
    default:
        return {};
    }
}

Bytes RebuildImage(const std::vector<ReceivedFrame>& frames) {
    Bytes image;
    for (const ReceivedFrame& frame : frames) {
        if (frame.body.empty() || frame.body[0] != 0x07)
            continue;
        EXPECT_TRUE(frame.fcsOk);
        EXPECT_GE(frame.body.size(), 6u);
        const std::uint32_t offset = frame.body[1] | (frame.body[2] << 8) | (frame.body[3] << 16) |
                                     (static_cast<std::uint32_t>(frame.body[4]) << 24);
        EXPECT_EQ(offset, image.size());
        image.insert(image.end(), frame.body.begin() + 5, frame.body.end());
    }
    return image;
}

void StreamingTest::SetUp() {
    ASSERT_TRUE(m_page.m_port.Open(m_pty.SlavePathW().c_str()));
    ASSERT_TRUE(m_page.m_port.ConfigureState());
    ASSERT_TRUE(m_page.m_port.ConfigureTimeouts());
}

void StreamingTest::TearDown() {
    m_page.m_port.Close();
}

std::vector<std::string> FailureEvents(const std::string& caption, const std::string& box,
                                       const std::string& status) {
    return {"box:" + caption + ":16:" + box, "status:" + status};
}

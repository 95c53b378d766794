// The response reader and the hello, read and security exchanges against a scripted programmer.
#include "ProgrammerPeer.h"

#include "protocol/hdlc/FixedPackets.h"

#include <cctype>
#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

enum class Phase { Hello, Read, Security };

struct PhaseInfo {
    const char* name;
    Bytes packet;
    std::vector<std::string> progressBeforeVerdict;
    std::string box;
};

PhaseInfo Info(Phase phase) {
    switch (phase) {
    case Phase::Hello:
        return {"hello",
                Bytes(std::begin(kHelloPacket), std::end(kHelloPacket)),
                {"phase:0", "phase:30", "phase:60", "phase:90"},
                "Send hello packet fail."};
    case Phase::Read:
        return {"read",
                Bytes(std::begin(kReadPacket), std::end(kReadPacket)),
                {"phase:0", "phase:30", "phase:60", "phase:90"},
                "Send read packet fail."};
    case Phase::Security:
        break;
    }
    return {"security",
            Bytes(std::begin(kSecurityPacket), std::end(kSecurityPacket)),
            {"phase:0", "phase:30", "phase:60"},
            "Send security packet fail."};
}

int RunPhase(RecordingPage& page, Phase phase) {
    switch (phase) {
    case Phase::Hello:
        return page.SendHelloPacket();
    case Phase::Read:
        return page.SendReadPacket();
    case Phase::Security:
        break;
    }
    return page.SendSecurityPacket();
}

const Bytes kHelloBody = Concat({{0x02}, Text("QCOM fast download protocol targ"), {0x03, 0x03}});

struct AnswerCase {
    const char* what;
    Phase phase;
    Bytes answer; // raw bytes, as the programmer sends them
    bool accepted;
};

const AnswerCase kAnswers[] = {
    {"hello as expected", Phase::Hello, FrameOf(kHelloBody), true},
    {"hello magic in other letter case", Phase::Hello,
     FrameOf(Concat({{0x02}, Text("qcom FAST Download PROTOCOL tArG"), {0x03}})), true},
    {"hello accepted whatever follows the magic, a wrong FCS included", Phase::Hello,
     Concat({{0x7E, 0x02}, Text("QCOM fast download protocol targ"), {0x01, 0x02, 0x99, 0x99, 0x7E}}), true},
    {"hello with bytes before the opening flag", Phase::Hello,
     Concat({{0x00, 0x41, 0x13}, FrameOf(kHelloBody)}), true},
    {"hello magic off by one letter", Phase::Hello,
     FrameOf(Concat({{0x02}, Text("QCOM fast download protocol tarh")})), false},
    // Case folding must not fold anything but letters: 0x00 is no blank, 0x22 no 0x02.
    {"hello with 0x00 where the magic has a blank", Phase::Hello,
     FrameOf(Concat({{0x02}, Text("QCOM"), {0x00}, Text("fast download protocol targ")})), false},
    {"hello code 0x22 instead of 0x02", Phase::Hello,
     FrameOf(Concat({{0x22}, Text("QCOM fast download protocol targ")})), false},
    {"hello answered by another code", Phase::Hello, FrameOf({0x04, 0x20}), false},
    {"hello after a stray flag", Phase::Hello, Concat({{0x7E}, FrameOf(kHelloBody)}), false},
    {"hello cut short", Phase::Hello, FrameOf(Concat({{0x02}, Text("QCOM fast")})), false},
    {"read as expected", Phase::Read, FrameOf({0x04, 0x20, 0x00, 0x00, 0x00, 0x34, 0x00, 0xAA, 0xBB}), true},
    {"read accepted whatever its length", Phase::Read, Bytes{0x7E, 0x04, 0x20, 0x7E}, true},
    {"read with a wrong address byte", Phase::Read, FrameOf({0x04, 0x21, 0x00, 0x00, 0x00}), false},
    {"read answered by another code", Phase::Read, FrameOf({0x05, 0x20}), false},
    {"read after a stray flag", Phase::Read, Concat({{0x7E}, FrameOf({0x04, 0x20})}), false},
    {"security as expected", Phase::Security,
     Bytes(std::begin(kSecurityResponse), std::end(kSecurityResponse)), true},
    {"security with bytes before the opening flag", Phase::Security,
     Concat({{0x41, 0x42}, Bytes(std::begin(kSecurityResponse), std::end(kSecurityResponse))}), true},
    {"security with a wrong FCS", Phase::Security, Bytes{0x7E, 0x18, 0xB1, 0x6D, 0x7E}, false},
    {"security with a trailing byte", Phase::Security, Bytes{0x7E, 0x18, 0xB1, 0x6C, 0x00, 0x7E}, false},
    {"security after a stray flag", Phase::Security, Bytes{0x7E, 0x7E, 0x18, 0xB1, 0x6C, 0x7E}, false},
};

class HandshakeAnswers : public StreamingTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(HandshakeAnswers, SendsThePacketAndJudgesTheAnswer) {
    const AnswerCase& c = GetParam();
    const PhaseInfo info = Info(c.phase);
    ProgrammerPeer programmer(m_pty, [&](const ReceivedFrame&, std::size_t) { return c.answer; });

    const int result = RunPhase(m_page, c.phase);
    programmer.Stop();

    EXPECT_EQ(programmer.Raw(), info.packet);
    std::string statusText = std::string("Sending ") + info.name + " packet...";
    std::vector<std::string> expected{"status:" + statusText};
    expected.insert(expected.end(), info.progressBeforeVerdict.begin(), info.progressBeforeVerdict.end());
    if (c.accepted) {
        EXPECT_NE(result, 0);
        expected.push_back("phase:100");
    } else {
        EXPECT_EQ(result, 0);
        for (const std::string& line :
             FailureEvents("Vestrel", info.box, info.box + " Download process stop"))
            expected.push_back(line);
    }
    EXPECT_EQ(m_page.Events(), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandshakeAnswers, ::testing::ValuesIn(kAnswers),
                         [](const ::testing::TestParamInfo<AnswerCase>& param) {
                             std::string name;
                             for (const char* p = param.param.what; *p; ++p)
                                 name.push_back(std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
                             return name;
                         });

using ResponseReader = StreamingTest;

TEST_F(ResponseReader, StoresTheFrameRawFromItsFlag) {
    // Escapes stay as they came; the bytes before the flag leave no trace.
    m_pty.Send({0x11, 0x22, 0x7E, 0x08, 0x7D, 0x5E, 0x00, 0x7E, 0x99});
    ASSERT_TRUE(m_page.ReadResponse());
    ASSERT_EQ(m_page.m_receiveCount, 6u);
    EXPECT_EQ(Bytes(m_page.m_receiveBuffer, m_page.m_receiveBuffer + 6),
              (Bytes{0x7E, 0x08, 0x7D, 0x5E, 0x00, 0x7E}));
}

TEST_F(ResponseReader, StrayFlagGivesATwoByteFrame) {
    m_pty.Send({0x7E, 0x7E, 0x02, 0x7E});
    ASSERT_TRUE(m_page.ReadResponse());
    EXPECT_EQ(m_page.m_receiveCount, 2u);
}

TEST_F(ResponseReader, StopsAtTheEndOfTheBuffer) {
    // A frame without a closing flag fills the buffer and no more; the rest stays in the port.
    Bytes flood(1500, 0x41);
    flood[0] = 0x7E;
    m_pty.Send(flood);
    ASSERT_TRUE(m_page.ReadResponse());
    EXPECT_EQ(m_page.m_receiveCount, kReceiveBufferSize);
    EXPECT_EQ(m_page.m_receiveBuffer[kReceiveBufferSize - 1], 0x41);
    BYTE next = 0;
    ASSERT_TRUE(m_page.m_port.ReadByte(next));
    EXPECT_EQ(next, 0x41);
}

TEST_F(ResponseReader, GivesUpWhenTheDeviceGoesAway) {
    // The handset is unplugged while the reader waits for a flag: it must return, not spin.
    std::thread unplug([this] {
        std::this_thread::sleep_for(100ms);
        m_pty.CloseMaster();
    });
    const bool read = m_page.ReadResponse();
    unplug.join();
    EXPECT_FALSE(read);
}

TEST_F(ResponseReader, HandshakeReportsALostDevice) {
    std::thread unplug([this] {
        m_pty.Receive(sizeof kHelloPacket, 2s);
        m_pty.CloseMaster();
    });
    EXPECT_EQ(m_page.SendHelloPacket(), 0);
    unplug.join();
    const auto events = m_page.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              FailureEvents("Vestrel", "Reading from the serial port failed.",
                            "Reading from the serial port failed. Download process stop."));
}

} // namespace

// The partition-table packet on the wire and the programmer's verdicts.
#include "ProgrammerPeer.h"

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kStart{"status:Sending partition table...", "phase:0"};

std::vector<std::string> With(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct VerdictCase {
    const char* what;
    Bytes answer;
    bool accepted;
    std::vector<std::string> events; // after the start
};

const std::string kUnknownBox = "Unknown response packet, fail";
const std::string kUnknownStatus = "Unknown response packet. Download process stop.";

const VerdictCase kVerdicts[] = {
    {"status_0_accepted", FrameOf({0x1A, 0x00}), true, {"phase:30", "phase:60", "phase:90", "phase:100"}},
    {"status_0_whatever_follows",
     Bytes{0x7E, 0x1A, 0x00, 0x12, 0x34, 0x56, 0x7E},
     true,
     {"phase:30", "phase:60", "phase:90", "phase:100"}},
    {"status_1_differs", FrameOf({0x1A, 0x01}), false,
     With({"phase:30", "phase:60", "phase:90"},
          FailureEvents("Error", "Partition table differs, override will be accepted.",
                        "Partition table differs, override will be accepted. Download process stop."))},
    {"status_2_format", FrameOf({0x1A, 0x02}), false,
     With({"phase:30", "phase:60", "phase:90"},
          FailureEvents("Error", "Partition table format not recognized, will not accept override.",
                        "Partition table format not recognized, will not accept override. Download process "
                        "stop."))},
    {"status_3_erase", FrameOf({0x1A, 0x03}), false,
     With({"phase:30", "phase:60", "phase:90"},
          FailureEvents("Error", "Erase operation failed.",
                        "Erase operation failed. Download process stop."))},
    {"status_4_unknown", FrameOf({0x1A, 0x04}), false,
     With({"phase:30", "phase:60", "phase:90"}, FailureEvents("Error", kUnknownBox, kUnknownStatus))},
    {"status_255_unknown", FrameOf({0x1A, 0xFF}), false,
     With({"phase:30", "phase:60", "phase:90"}, FailureEvents("Error", kUnknownBox, kUnknownStatus))},
    // A foreign code is judged before the status: the bar stays at 60.
    {"foreign_code", FrameOf({0x1C, 0x00}), false,
     With({"phase:30", "phase:60"}, FailureEvents("Error", kUnknownBox, kUnknownStatus))},
    {"stray_flag", Concat({{0x7E}, FrameOf({0x1A, 0x00})}), false,
     With({"phase:30", "phase:60"}, FailureEvents("Error", kUnknownBox, kUnknownStatus))},
};

class PartitionVerdicts : public StreamingTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(PartitionVerdicts, ReportsTheVerdict) {
    const VerdictCase& c = GetParam();
    m_dir.Write("partition.mbn", {0x01, 0x02, 0x03});
    ProgrammerPeer programmer(m_pty, [&](const ReceivedFrame&, std::size_t) { return c.answer; });

    const int result = m_page.SendPartitionTable();
    programmer.Stop();

    EXPECT_EQ(result != 0, c.accepted);
    EXPECT_EQ(m_page.Events(), With(kStart, c.events));
    ASSERT_EQ(programmer.Frames().size(), 1u);
    EXPECT_EQ(programmer.Frames()[0].body, (Bytes{0x19, 0x00, 0x01, 0x02, 0x03}));
    EXPECT_TRUE(programmer.Frames()[0].fcsOk);
}

INSTANTIATE_TEST_SUITE_P(Cases, PartitionVerdicts, ::testing::ValuesIn(kVerdicts),
                         [](const ::testing::TestParamInfo<VerdictCase>& param) { return param.param.what; });

struct WireCase {
    const char* what;
    Bytes table;
    Bytes frame;
};

const WireCase kWire[] = {
    {"empty table", {}, {0x7E, 0x19, 0x00, 0xCE, 0x4D, 0x7E}},
    // The escape is on the wire, the FCS over the raw byte.
    {"table byte 0x7E", {0x7E}, {0x7E, 0x19, 0x00, 0x7D, 0x5E, 0xBE, 0x45, 0x7E}},
};

using PartitionWire = StreamingTest;

TEST_F(PartitionWire, FramesTheFileAsStored) {
    for (const WireCase& c : kWire) {
        SCOPED_TRACE(c.what);
        m_dir.Write("partition.mbn", c.table);
        ProgrammerPeer programmer(m_pty, [](const ReceivedFrame&, std::size_t) {
            return FrameOf({0x1A, 0x00});
        });
        EXPECT_NE(m_page.SendPartitionTable(), 0);
        programmer.Stop();
        EXPECT_EQ(programmer.Raw(), c.frame);
    }
}

// The largest table whose frame fills the 1024-byte buffer exactly, and one byte more.
TEST_F(PartitionWire, SendsATableThatFillsTheBufferAndRefusesALargerOne) {
    Bytes fits(1018, 0x55);
    ASSERT_EQ(FrameOf(Concat({{0x19, 0x00}, fits})).size(), 1024u) << "FCS of the sample needs no escape";
    m_dir.Write("partition.mbn", fits);
    {
        ProgrammerPeer programmer(m_pty, [](const ReceivedFrame&, std::size_t) {
            return FrameOf({0x1A, 0x00});
        });
        EXPECT_NE(m_page.SendPartitionTable(), 0);
        programmer.Stop();
        EXPECT_EQ(programmer.Raw(), FrameOf(Concat({{0x19, 0x00}, fits})));
    }

    // Escapes count: a table of 0x7D bytes that would need 1026 bytes once escaped.
    for (const Bytes& tooLarge : {Bytes(1019, 0x55), Bytes(510, 0x7D)}) {
        m_page.ClearEvents();
        m_dir.Write("partition.mbn", tooLarge);
        ProgrammerPeer programmer(m_pty, [](const ReceivedFrame&, std::size_t) {
            return FrameOf({0x1A, 0x00});
        });
        EXPECT_EQ(m_page.SendPartitionTable(), 0);
        programmer.Stop();
        EXPECT_TRUE(programmer.Raw().empty()) << "nothing may be sent";
        EXPECT_EQ(
            m_page.Events(),
            With(kStart, FailureEvents("Vestrel", "Send partition table error: partition table too large.",
                                       "Send partition table error: partition table too large. Download "
                                       "process stop")));
    }
}

TEST_F(PartitionWire, MissingOrUnreadableFileSendsNothing) {
    struct FileCase {
        const char* what;
        void (*prepare)(const TempDir&);
        std::string box;
        std::string status;
    };
    const FileCase cases[] = {
        {"missing", [](const TempDir&) {}, "Send partition table error: open file fail.",
         "Send partition table error: open file fail. Download process stop"},
        // Opens, then fails its first read (the test process's own memory at address 0).
        {"unreadable",
         [](const TempDir& dir) {
             std::filesystem::create_symlink("/proc/self/mem", dir.Path() / "partition.mbn");
         },
         "Send partition table error: read file fail.",
         "Send partition table error: read file fail. Download process stop"},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        RecordingPage page(dir.PathW());
        page.m_port.TakeOver(m_page.m_port);
        c.prepare(dir);
        ProgrammerPeer programmer(m_pty, [](const ReceivedFrame&, std::size_t) {
            return FrameOf({0x1A, 0x00});
        });
        EXPECT_EQ(page.SendPartitionTable(), 0);
        programmer.Stop();
        EXPECT_TRUE(programmer.Raw().empty());
        EXPECT_EQ(page.Events(), With(kStart, FailureEvents("Vestrel", c.box, c.status)));
    }
}

} // namespace

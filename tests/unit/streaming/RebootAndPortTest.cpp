// The reboot packet, and every phase run without an open port.
#include "ProgrammerPeer.h"

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;

using Reboot = StreamingTest;

TEST_F(Reboot, SendsThePacketAndReadsNothing) {
    // An answer already waiting in the port must still be there afterwards.
    m_pty.Send({0x7E, 0x0C, 0x7E});
    m_page.SendReboot();
    EXPECT_EQ(m_pty.Receive(6, 300ms), (Bytes{0x7E, 0x0B, 0xAB, 0x4E, 0x7E}));
    EXPECT_EQ(m_page.Events(), (std::vector<std::string>{"status:Rebooting..."}));
    BYTE first = 0;
    ASSERT_TRUE(m_page.m_port.ReadByte(first));
    EXPECT_EQ(first, 0x7E);
}

TEST(ClosedPort, RebootWritesNothingAndStillSaysSo) {
    RecordingPage page;
    page.SendReboot();
    EXPECT_EQ(page.Events(), (std::vector<std::string>{"status:Rebooting..."}));
    EXPECT_TRUE(page.Messages().empty());
}

// Without a device no response can ever come: each phase must stop with a message instead of
// waiting for a flag at full speed.
TEST(ClosedPort, EveryPhaseStopsAtOnce) {
    struct PhaseCase {
        int (CDownloadPage::*run)();
        const char* status;
    };
    const PhaseCase phases[] = {
        {&CDownloadPage::SendHelloPacket, "Sending hello packet..."},
        {&CDownloadPage::SendReadPacket, "Sending read packet..."},
        {&CDownloadPage::SendSecurityPacket, "Sending security packet..."},
        {&CDownloadPage::SendPartitionTable, "Sending partition table..."},
        {&CDownloadPage::SendOemSbl, "Sending OEM second bootloader..."},
        {&CDownloadPage::SendAmss, "Sending AMSS..."},
        {&CDownloadPage::SendAppsBoot, "Sending APP boot packet..."},
    };
    TempDir dir;
    for (const char* name : {"partition.mbn", "oemsblhd.mbn", "oemsbl.mbn", "amsshd.mbn", "amss.mbn",
                             "appsbootHD.mbn", "appsboot.mbn"})
        dir.Write(name, {0x01, 0x02});
    for (const PhaseCase& p : phases) {
        SCOPED_TRACE(p.status);
        RecordingPage page(dir.PathW());
        EXPECT_EQ((page.*p.run)(), 0);
        EXPECT_EQ(page.Events(),
                  (std::vector<std::string>{std::string("status:") + p.status, "phase:0",
                                            "box:Vestrel:16:The serial port is not open.",
                                            "status:The serial port is not open. Download process stop."}));
    }
    RecordingPage page(dir.PathW());
    EXPECT_FALSE(page.ReadResponse());
    EXPECT_EQ(page.m_receiveCount, 0u);
}

} // namespace

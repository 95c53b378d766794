// Tells the flash programmer to restart the handset. Nothing is read back: the handset leaves
// the bus, and whatever it might still answer is never looked at.
#include "protocol/hdlc/FixedPackets.h"
#include "protocol/streaming/StreamingCommon.h"

void CDownloadPage::SendReboot() {
    SetStatusText(L"Rebooting...");
    if (m_port.IsOpen())
        m_port.Write(kRebootPacket, sizeof kRebootPacket);
}

// CSerialCom against a real pseudo-terminal.
#include "link/SerialCom.h"
#include "platform/posix/UiModel.h"

#include "support/PtyPeer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records the message boxes the port shows (answered with OK at once).
class SerialComTest : public testing::Test {
protected:
    void SetUp() override {
        ui::SetHeadlessMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
            std::lock_guard lock(m_mutex);
            m_boxes.push_back(r);
            return ui::kIdOk;
        });
    }
    void TearDown() override {
        ui::SetHeadlessMessageBoxHandler(nullptr);
        m_port.Close();
    }
    std::vector<ui::MessageBoxRequest> Boxes() {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }

    bool OpenAndConfigure() {
        return m_port.Open(m_peer.SlavePathW().c_str()) && m_port.ConfigureState() &&
               m_port.ConfigureTimeouts();
    }

    PtyPeer m_peer;
    CSerialCom m_port;
    std::mutex m_mutex;
    std::vector<ui::MessageBoxRequest> m_boxes;
};

// Points the device name every caller uses at a path for one test.
class DeviceMapping {
public:
    explicit DeviceMapping(const std::string& path) { setenv(kVariable, path.c_str(), 1); }
    ~DeviceMapping() { unsetenv(kVariable); }

private:
    static constexpr const char* kVariable = "VESTREL_DEVICE_WCEUSBSH001";
};

TEST_F(SerialComTest, ConfiguresTheLineAndTimeouts) {
    ASSERT_TRUE(OpenAndConfigure());
    EXPECT_EQ(m_port.m_dcb.BaudRate, 921600u);
    EXPECT_EQ(m_port.m_dcb.ByteSize, 8);
    EXPECT_EQ(m_port.m_dcb.Parity, NOPARITY);
    EXPECT_EQ(m_port.m_dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(m_port.m_dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(m_port.m_dcb.fRtsControl, RTS_CONTROL_DISABLE);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(m_port.m_hDevice, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 15u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 15u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 5u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(SerialComTest, EveryByteValueCrossesUnchanged) {
    ASSERT_TRUE(OpenAndConfigure());
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<BYTE>(i);

    ASSERT_TRUE(m_port.Write(all.data(), static_cast<DWORD>(all.size())));
    EXPECT_EQ(m_port.m_bytesWritten, 256u);
    EXPECT_EQ(m_peer.Receive(256, 2s), all);

    m_peer.Send(all);
    std::vector<BYTE> got;
    BYTE b = 0;
    while (got.size() < all.size() && m_port.ReadByte(b))
        got.push_back(b);
    EXPECT_EQ(got, all);
}

TEST_F(SerialComTest, AReadOnASilentLineEndsWithinItsTimeout) {
    ASSERT_TRUE(OpenAndConfigure());
    BYTE b = 0xAA;
    const auto start = Clock::now();
    EXPECT_FALSE(m_port.ReadByte(b));
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(b, 0);
    EXPECT_GE(elapsed, 30ms);
    EXPECT_LE(elapsed, 500ms);
    EXPECT_TRUE(m_port.IsOpen());
}

TEST_F(SerialComTest, TheDeviceIsHeldExclusively) {
    ASSERT_TRUE(m_port.Open(m_peer.SlavePathW().c_str()));
    CSerialCom second;
    EXPECT_FALSE(second.Open(m_peer.SlavePathW().c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "the error code of the failed open is kept";
    EXPECT_FALSE(second.IsOpen());

    const HANDLE held = m_port.m_hDevice;
    m_port.Close();
    EXPECT_FALSE(m_port.IsOpen());
    m_port.Close(); // the second Close does nothing
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_FALSE(CloseHandle(held)) << "the device was closed exactly once";

    EXPECT_TRUE(second.Open(m_peer.SlavePathW().c_str()));
    second.Close();
}

TEST_F(SerialComTest, NothingMovesWithoutADevice) {
    m_port.m_bytesWritten = 77;
    const BYTE data[] = {1, 2, 3};
    EXPECT_FALSE(m_port.Write(data, sizeof data));
    EXPECT_EQ(m_port.m_bytesWritten, 0u);
    BYTE b = 0x55;
    EXPECT_FALSE(m_port.ReadByte(b));
    EXPECT_EQ(b, 0);
    EXPECT_TRUE(m_peer.Receive(1, 100ms).empty());
}

TEST_F(SerialComTest, TakeOverSharesTheDevice) {
    ASSERT_TRUE(OpenAndConfigure());
    m_port.m_bytesWritten = 5;
    CSerialCom taker;
    taker.TakeOver(m_port);
    EXPECT_EQ(taker.m_hDevice, m_port.m_hDevice);
    EXPECT_EQ(taker.m_dcb.BaudRate, 921600u);
    EXPECT_EQ(taker.m_timeouts.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(taker.m_bytesWritten, 0u) << "not copied";

    const BYTE ping[] = {0x7E, 0x01, 0x7E};
    ASSERT_TRUE(taker.Write(ping, sizeof ping));
    EXPECT_EQ(m_peer.Receive(3, 2s), std::vector<BYTE>(ping, ping + 3));

    // Closing the taker closes the device for both; the source still names it.
    const HANDLE shared = taker.m_hDevice;
    taker.Close();
    EXPECT_EQ(m_port.m_hDevice, shared);
    BYTE b;
    DWORD n;
    EXPECT_FALSE(ReadFile(m_port.m_hDevice, &b, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CSerialCom other;
    EXPECT_TRUE(other.Open(m_peer.SlavePathW().c_str())) << "the device is free again";
    other.Close();
    m_port.m_hDevice = INVALID_HANDLE_VALUE; // already closed through the taker
}

TEST_F(SerialComTest, ProbeLeavesThePortClosed) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string device;
        bool heldElsewhere;
        bool present;
    };
    const Case cases[] = {
        {"device present", m_peer.SlavePath(), false, true},
        {"device missing", (dir.Path() / "gone").string(), false, false},
        {"device held by another port", m_peer.SlavePath(), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceMapping mapping(c.device);
        CSerialCom holder;
        if (c.heldElsewhere) {
            ASSERT_TRUE(holder.Open(kDeviceName));
        }
        EXPECT_EQ(m_port.ProbeDevice(), c.present);
        EXPECT_FALSE(m_port.IsOpen());
        holder.Close();
        if (c.present) {
            CSerialCom after;
            EXPECT_TRUE(after.Open(kDeviceName)) << "the probe let go of the device";
            after.Close();
        }
    }
    EXPECT_TRUE(Boxes().empty()) << "the probe is silent";
}

// A plain file opens as a "device" but has no line settings: the configure failures in both
// variants.
TEST_F(SerialComTest, ConfigureFailures) {
    TempDir dir;
    dir.Write("not-a-tty", {0});
    const std::wstring path = dir.PathW() + L"/not-a-tty";

    struct Case {
        const char* what;
        bool (CSerialCom::*configure)();
        bool staysOpen;
        const wchar_t* text; // nullptr: no message
        const wchar_t* caption;
    };
    const Case cases[] = {
        {"state, reporting", &CSerialCom::ConfigureState, false, L"SetCommState Error", L"Error"},
        {"state, silent", &CSerialCom::ConfigureStateSilent, true, nullptr, nullptr},
        // Reading the current time-outs fails first: no message, device kept, in both variants.
        {"timeouts, reporting", &CSerialCom::ConfigureTimeouts, true, nullptr, nullptr},
        {"timeouts, silent", &CSerialCom::ConfigureTimeoutsSilent, true, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_boxes.clear();
        ASSERT_TRUE(m_port.Open(path.c_str()));
        EXPECT_FALSE((m_port.*c.configure)());
        EXPECT_EQ(m_port.IsOpen(), c.staysOpen);
        const auto boxes = Boxes();
        if (c.text == nullptr) {
            EXPECT_TRUE(boxes.empty());
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].owner, nullptr);
            EXPECT_EQ(boxes[0].text, c.text);
            EXPECT_EQ(boxes[0].caption, c.caption);
            EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
        }
        m_port.Close();
    }
}

TEST_F(SerialComTest, AnUnpluggedDeviceFailsReadsAtOnce) {
    ASSERT_TRUE(OpenAndConfigure());
    m_peer.CloseMaster();
    const auto start = Clock::now();
    BYTE b = 0x33;
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(m_port.ReadByte(b));
        EXPECT_EQ(b, 0);
    }
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_TRUE(m_port.IsOpen()) << "closing is the caller's decision";
}

} // namespace

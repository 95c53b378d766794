// The posix device and file calls against a real pseudo-terminal and real files.
#include "platform/OsApi.h"

#include "support/PtyPeer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

HANDLE OpenDevice(const std::wstring& path, DWORD share = 0) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(DeviceNames, MapThroughTheEnvironmentOrDev) {
    PtyPeer peer;
    TempDir dir;
    const std::string missing = (dir.Path() / "no-such-tty").string();
    struct Case {
        const char* variable; // nullptr: none set
        std::string value;
        const wchar_t* name;
        bool opens;
    };
    const Case cases[] = {
        {"VESTREL_DEVICE_WCEUSBSH001", peer.SlavePath(), L"\\\\.\\wceusbsh001", true},
        {"VESTREL_DEVICE_WCEUSBSH001", peer.SlavePath(), L"\\\\.\\WceUsbSh001", true},
        {"VESTREL_DEVICE_WCEUSBSH001", missing, L"\\\\.\\wceusbsh001", false},
        // No variable: /dev/NAME, which does not exist here.
        {nullptr, "", L"\\\\.\\vestrel-no-such-device", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::unique_ptr<ScopedEnv> env;
        if (c.variable != nullptr)
            env = std::make_unique<ScopedEnv>(c.variable, c.value);
        HANDLE h = OpenDevice(c.name);
        if (c.opens) {
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            COMMTIMEOUTS t{};
            EXPECT_TRUE(GetCommTimeouts(h, &t)) << "opened as a serial device";
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        }
    }
    // A device is never created, whatever the creation mode says.
    ScopedEnv env("VESTREL_DEVICE_WCEUSBSH001", missing);
    EXPECT_EQ(CreateFileW(L"\\\\.\\wceusbsh001", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(DeviceSharing, ExclusiveOpensKeepEveryoneElseOut) {
    PtyPeer peer;
    const DWORD shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
    struct Case {
        DWORD first;
        DWORD second;
        bool secondOpens;
    };
    const Case cases[] = {{0, 0, false}, {0, shared, false}, {shared, 0, false}, {shared, shared, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << "/" << c.second);
        HANDLE a = OpenDevice(peer.SlavePathW(), c.first);
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        HANDLE b = OpenDevice(peer.SlavePathW(), c.second);
        EXPECT_EQ(b != INVALID_HANDLE_VALUE, c.secondOpens);
        if (b != INVALID_HANDLE_VALUE)
            CloseHandle(b);
        else
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        CloseHandle(a);
        // Closing releases the device at once.
        HANDLE again = OpenDevice(peer.SlavePathW());
        EXPECT_NE(again, INVALID_HANDLE_VALUE);
        CloseHandle(again);
    }
}

TEST(Handles, StaleAndInvalidHandlesFailCleanly) {
    PtyPeer peer;
    HANDLE h = OpenDevice(peer.SlavePathW());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    BYTE b = 0;
    DWORD n = 99;
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ReadFile(bad, &b, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(WriteFile(bad, &b, 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(LineSettings, RawNinetyTwoKiloBaudEightNoneOne) {
    PtyPeer peer;
    HANDLE h = OpenDevice(peer.SlavePathW());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonLim = 1234; // no termios counterpart: kept from the last set
    ASSERT_TRUE(SetCommState(h, &dcb));

    termios t{};
    ASSERT_EQ(tcgetattr(peer.MasterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B921600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);

    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 921600u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.XonLim, 1234);

    // A speed with no termios value is refused, and the line keeps its settings.
    DCB odd = back;
    odd.BaudRate = 921601;
    EXPECT_FALSE(SetCommState(h, &odd));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(tcgetattr(peer.MasterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B921600));

    // A pseudo-terminal has no modem lines: raising DTR fails, and nothing else is hurt.
    BYTE in = 0;
    DWORD returned = 7;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, &in, 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR));
    CloseHandle(h);
}

TEST(LineSettings, PurgeDiscardsWaitingInput) {
    PtyPeer peer;
    HANDLE h = OpenDevice(peer.SlavePathW());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    peer.Send({1, 2, 3});
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    BYTE buf[4];
    DWORD n = 9;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

// The read time-out model. The peer sends `first`, then after `gapMs` sends `later`.
TEST(ReadTimeouts, FollowTheCommTimeoutsModel) {
    struct Case {
        const char* what;
        COMMTIMEOUTS timeouts;
        DWORD toRead;
        std::vector<BYTE> first;
        int gapMs;
        std::vector<BYTE> later;
        DWORD expectCount;
        long long minMs, maxMs;
    };
    const Case cases[] = {
        {"silent line, 15/byte + 30", {15, 15, 30, 0, 0}, 1, {}, 0, {}, 0, 30, 500},
        {"all zero waits for every byte", {0, 0, 0, 0, 0}, 4, {1, 2}, 200, {3, 4}, 4, 150, 2000},
        {"interval ends a read after a gap", {50, 0, 0, 0, 0}, 10, {1}, 600, {2}, 1, 40, 450},
        {"total bound ends a short read", {0, 0, 150, 0, 0}, 10, {1, 2, 3}, 0, {}, 3, 130, 600},
        {"what is there, at once", {MAXDWORD, 0, 0, 0, 0}, 10, {}, 0, {}, 0, 0, 100},
        {"wait for the first, then what is there",
         {MAXDWORD, MAXDWORD, 1000, 0, 0},
         10,
         {},
         150,
         {9, 8},
         2,
         100,
         900},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PtyPeer peer;
        HANDLE h = OpenDevice(peer.SlavePathW());
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        if (!c.first.empty())
            peer.Send(c.first);
        std::thread later([&] {
            if (c.later.empty())
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
            peer.Send(c.later);
        });
        std::vector<BYTE> buf(c.toRead, 0);
        DWORD n = 0;
        const auto start = Clock::now();
        EXPECT_TRUE(ReadFile(h, buf.data(), c.toRead, &n, nullptr));
        const long long ms = MillisSince(start);
        later.join();
        EXPECT_EQ(n, c.expectCount);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        std::vector<BYTE> expected = c.first;
        expected.insert(expected.end(), c.later.begin(), c.later.end());
        expected.resize(c.expectCount);
        buf.resize(n);
        EXPECT_EQ(buf, expected);
        CloseHandle(h);
    }
}

TEST(VanishedDevice, ReadsAndWritesFailAtOnce) {
    for (bool whileWaiting : {false, true}) {
        SCOPED_TRACE(whileWaiting ? "unplugged during a read" : "unplugged before a read");
        PtyPeer peer;
        HANDLE h = OpenDevice(peer.SlavePathW());
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // All-zero time-outs: without the hang-up the read would wait for ever.
        COMMTIMEOUTS t{};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        std::thread unplug;
        if (whileWaiting)
            unplug = std::thread([&] {
                std::this_thread::sleep_for(100ms);
                peer.CloseMaster();
            });
        else
            peer.CloseMaster();
        BYTE b = 0;
        DWORD n = 9;
        const auto start = Clock::now();
        EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(n, 0u);
        if (unplug.joinable())
            unplug.join();
        // Further calls keep failing promptly: callers that retry do not spin inside.
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(ReadFile(h, &b, 1, &n, nullptr));
        EXPECT_FALSE(WriteFile(h, &b, 1, &n, nullptr));
        EXPECT_LE(MillisSince(start), 2000);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST(WriteTimeouts, AWriteNobodyTakesEndsWithItsCount) {
    PtyPeer peer; // never reads: the pseudo-terminal's buffer fills up
    HANDLE h = OpenDevice(peer.SlavePathW());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{0, 0, 0, 0, 200};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    std::vector<BYTE> big(4 << 20, 0x55);
    DWORD written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
    const long long ms = MillisSince(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(ms, 150);
    EXPECT_LE(ms, 1500);
    CloseHandle(h);
}

TEST(Files, OpenReadWriteAndSize) {
    TempDir dir;
    const std::wstring path = dir.PathW() + L"\\data.bin"; // backslash as separator
    HANDLE w =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    const BYTE data[] = {0, 1, 0x7E, 0xFF, '\n', '\r'};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(w, data, sizeof data, &n, nullptr));
    EXPECT_EQ(n, sizeof data);
    CloseHandle(w);

    HANDLE r = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(r, &size));
    EXPECT_EQ(size.QuadPart, static_cast<std::int64_t>(sizeof data));
    BYTE back[16] = {};
    ASSERT_TRUE(ReadFile(r, back, sizeof back, &n, nullptr));
    EXPECT_EQ(n, sizeof data);
    EXPECT_EQ(std::vector<BYTE>(back, back + n), std::vector<BYTE>(data, data + sizeof data));
    ASSERT_TRUE(ReadFile(r, back, sizeof back, &n, nullptr));
    EXPECT_EQ(n, 0u) << "end of file";
    // A plain file is no serial device.
    COMMTIMEOUTS t{};
    EXPECT_FALSE(GetCommTimeouts(r, &t));
    DCB dcb{};
    EXPECT_FALSE(SetCommState(r, &dcb));
    CloseHandle(r);

    struct Case {
        std::wstring path;
        DWORD error;
    };
    const Case failures[] = {
        {dir.PathW() + L"\\missing.bin", ERROR_FILE_NOT_FOUND},
        {dir.PathW(), ERROR_ACCESS_DENIED}, // a directory
    };
    for (const Case& c : failures) {
        EXPECT_EQ(
            CreateFileW(c.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

class CurrentDirectory : public testing::Test {
protected:
    void SetUp() override { m_saved = std::filesystem::current_path(); }
    void TearDown() override { std::filesystem::current_path(m_saved); }
    std::filesystem::path m_saved;
};

TEST_F(CurrentDirectory, ReportsSizesAsWin32Does) {
    TempDir dir;
    std::filesystem::current_path(dir.Path());
    const std::wstring expected = std::filesystem::current_path().wstring();
    const auto length = static_cast<DWORD>(expected.size());

    EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), length + 1);
    std::vector<wchar_t> small(length, L'#');
    EXPECT_EQ(GetCurrentDirectoryW(length, small.data()), length + 1);
    EXPECT_EQ(small[0], L'#') << "a buffer too small is left alone";
    std::vector<wchar_t> fits(length + 1, L'#');
    EXPECT_EQ(GetCurrentDirectoryW(length + 1, fits.data()), length);
    EXPECT_EQ(std::wstring(fits.data()), expected);
}

TEST_F(CurrentDirectory, NamesThatAreNotUtf8StillOpen) {
    TempDir dir;
    const std::filesystem::path odd = dir.Path() / std::string("bild\xE4r"); // Latin-1, invalid UTF-8
    std::filesystem::create_directory(odd);
    std::ofstream(odd / "partition.mbn") << "x";
    std::filesystem::current_path(odd);
    wchar_t buf[1024];
    const DWORD n = GetCurrentDirectoryW(1024, buf);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, 1024u);
    const std::wstring path = std::wstring(buf, n) + L"\\partition.mbn";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

} // namespace

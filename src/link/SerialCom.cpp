// CSerialCom: the handset's USB serial device.
#include "link/SerialCom.h"

namespace {

// Line settings and time-outs every configure writes; all other members keep the device's.
constexpr DWORD kBaudRate = 921600;
constexpr DWORD kReadIntervalMs = 15;
constexpr DWORD kReadPerByteMs = 15;
constexpr DWORD kReadConstantMs = 30;
constexpr DWORD kWritePerByteMs = 5;
constexpr DWORD kWriteConstantMs = 10;
constexpr DWORD kEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kPurgeFlags = PURGE_TXCLEAR | PURGE_RXCLEAR;

} // namespace

CSerialCom::CSerialCom() = default;

// The device outlives the port object: after TakeOver another port uses it.
CSerialCom::~CSerialCom() = default;

bool CSerialCom::Open(const wchar_t* deviceName) {
    // Synchronous transfers, no sharing, only an existing device. On failure the system's error
    // code is left for the caller to report.
    m_hDevice = CreateFileW(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return m_hDevice != INVALID_HANDLE_VALUE;
}

namespace {

bool WriteLineSettings(CSerialCom& port) {
    port.m_dcb.DCBlength = sizeof(DCB);
    GetCommState(port.m_hDevice, &port.m_dcb); // a failed read still writes the new values
    port.m_dcb.BaudRate = kBaudRate;
    port.m_dcb.ByteSize = 8;
    port.m_dcb.Parity = NOPARITY;
    port.m_dcb.StopBits = ONESTOPBIT;
    port.m_dcb.fBinary = 1;
    port.m_dcb.fOutxCtsFlow = 0;
    port.m_dcb.fOutxDsrFlow = 0;
    port.m_dcb.fDtrControl = DTR_CONTROL_DISABLE;
    port.m_dcb.fDsrSensitivity = 0;
    port.m_dcb.fOutX = 0;
    port.m_dcb.fInX = 0;
    port.m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    return SetCommState(port.m_hDevice, &port.m_dcb) != FALSE;
}

enum class TimeoutsResult { Written, ReadFailed, WriteFailed };

TimeoutsResult WriteTimeouts(CSerialCom& port) {
    if (!GetCommTimeouts(port.m_hDevice, &port.m_timeouts))
        return TimeoutsResult::ReadFailed;
    port.m_timeouts.ReadIntervalTimeout = kReadIntervalMs;
    port.m_timeouts.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    port.m_timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
    port.m_timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
    port.m_timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    if (!SetCommTimeouts(port.m_hDevice, &port.m_timeouts))
        return TimeoutsResult::WriteFailed;
    SetCommMask(port.m_hDevice, kEventMask);
    PurgeComm(port.m_hDevice, kPurgeFlags);
    return TimeoutsResult::Written;
}

} // namespace

bool CSerialCom::ConfigureState() {
    if (WriteLineSettings(*this))
        return true;
    OwnerlessMessageBox(L"SetCommState Error", L"Error", MB_OK | MB_ICONERROR);
    Close();
    return false;
}

bool CSerialCom::ConfigureStateSilent() {
    return WriteLineSettings(*this);
}

bool CSerialCom::ConfigureTimeouts() {
    const TimeoutsResult result = WriteTimeouts(*this);
    if (result == TimeoutsResult::WriteFailed) {
        OwnerlessMessageBox(L"StCommTimeouts function failed", L"Com Port Error", MB_OK | MB_ICONERROR);
        Close();
    }
    return result == TimeoutsResult::Written;
}

bool CSerialCom::ConfigureTimeoutsSilent() {
    return WriteTimeouts(*this) == TimeoutsResult::Written;
}

bool CSerialCom::ReadByte(BYTE& byte) {
    byte = 0;
    if (!IsOpen())
        return false;
    BYTE received = 0;
    DWORD count = 0;
    if (!ReadFile(m_hDevice, &received, 1, &count, nullptr) || count != 1)
        return false;
    byte = received;
    return true;
}

bool CSerialCom::Write(const BYTE* buffer, DWORD length) {
    m_bytesWritten = 0;
    if (!IsOpen())
        return false;
    // Fewer bytes within the write time-out still count as success, as the system reports it.
    return WriteFile(m_hDevice, buffer, length, &m_bytesWritten, nullptr) != FALSE;
}

void CSerialCom::Close() {
    if (!IsOpen())
        return;
    CloseHandle(m_hDevice);
    m_hDevice = INVALID_HANDLE_VALUE;
}

void CSerialCom::TakeOver(const CSerialCom& other) {
    m_hDevice = other.m_hDevice;
    m_dcb = other.m_dcb;
    m_timeouts = other.m_timeouts;
}

bool CSerialCom::ProbeDevice() {
    if (!Open(kDeviceName))
        return false;
    const bool usable = ConfigureStateSilent() && ConfigureTimeoutsSilent();
    Close();
    return usable;
}

// The handset's USB serial device: open, configure, read single bytes, write, probe, close.
#pragma once

#include "platform/Afx.h"

// The name every caller opens; on Linux it maps to a tty (see platform/posix/Win32Compat.h).
inline constexpr const wchar_t* kDeviceName = L"\\\\.\\wceusbsh001";

class CSerialCom : public CWnd {
public:
    CSerialCom();
    // Never closes the device: closing is always explicit.
    ~CSerialCom() override;

    bool Open(const wchar_t* deviceName);
    bool ConfigureState();
    bool ConfigureStateSilent();
    bool ConfigureTimeouts();
    bool ConfigureTimeoutsSilent();
    bool ReadByte(BYTE& byte);
    bool Write(const BYTE* buffer, DWORD length);
    void Close();
    void TakeOver(const CSerialCom& other);
    bool ProbeDevice();

    bool IsOpen() const { return m_hDevice != INVALID_HANDLE_VALUE; }

    HANDLE m_hDevice = INVALID_HANDLE_VALUE;
    DCB m_dcb{};
    COMMTIMEOUTS m_timeouts{};
    DWORD m_bytesWritten = 0;
};

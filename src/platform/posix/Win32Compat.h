// A small, self-written equivalent of the Win32 calls Vestrel needs for devices and files, so
// that CSerialCom and the kITL transfer are one source on both systems.
//
// Device names: a name of the form \\.\NAME is a device. It is looked up as follows:
//   1. the environment variable VESTREL_DEVICE_NAME (for example VESTREL_DEVICE_WCEUSBSH001),
//      NAME upper-cased, holding a tty path: lets a user point the program at any tty;
//   2. otherwise /dev/NAME (the shipped udev rule creates /dev/wceusbsh001 for the handset).
// A device is never created: a missing one fails with ERROR_FILE_NOT_FOUND whatever the
// creation mode. Any other name is a file path; backslashes in it are taken as directory
// separators. Whatever path names a terminal (a tty, a pseudo-terminal's slave) is handled as a
// serial device; everything else as a plain file. Paths are UTF-8 on the system side.
//
// Serial devices are opened O_NOCTTY|O_NONBLOCK, and I/O waits with poll(). Opened without
// sharing (share 0), a device is locked with flock(LOCK_EX|LOCK_NB) plus TIOCEXCL, so a second
// open fails with ERROR_ACCESS_DENIED; opened with sharing it takes a shared flock, which still
// keeps out an exclusive opener (and is kept out by one), as the Win32 sharing rules do.
//
// Reads follow the COMMTIMEOUTS model: a read of n bytes ends when n bytes came, when more than
// ReadIntervalTimeout ms pass between two bytes, or when Multiplier*n+Constant ms passed; all
// zero waits for all n bytes; MAXDWORD/0/0 returns what is there at once. A write of n bytes
// ends after WriteTotalTimeoutMultiplier*n+Constant ms at the latest (when not both zero) and
// then reports the count written and success. A device that has gone (unplugged, or a
// pseudo-terminal whose other side closed) fails at once with ERROR_DEVICE_NOT_CONNECTED.
//
// On a thread started by AfxBeginThread, device reads and writes and Sleep end by throwing
// vestrel::ThreadStopRequested once the thread is asked to stop (see StopToken.h).
//
// Handles are checked against a table of open ones: a handle closed twice, or never opened,
// fails with ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using LPDWORD = DWORD*;
using COLORREF = DWORD;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000u;

constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BAD_UNIT = 20;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

// A signed 64-bit value as the file-size call reports it.
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};

// Line settings, with the members the port reads and writes.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

constexpr BYTE NOPARITY = 0;
constexpr BYTE ONESTOPBIT = 0;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD IOCTL_SERIAL_SET_DTR = 0x001B0024;
constexpr DWORD IOCTL_SERIAL_CLR_DTR = 0x001B0028;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* security, DWORD creation, DWORD flags,
                   HANDLE templateFile);
BOOL CloseHandle(HANDLE h);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, void* overlapped);
BOOL GetFileSizeEx(HANDLE h, LARGE_INTEGER* size);
DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD milliseconds);
DWORD GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer);

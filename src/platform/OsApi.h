// The operating-system calls the link and the kITL transfer are written against.
//
// On Windows this is the real Win32 API. On Linux, posix/Win32Compat.h provides the same
// handful of calls over termios, poll and open(2), with the semantics the port needs (see that
// header for the device-name mapping and the time-out model). Code outside platform/ includes
// this header, never an OS header itself.
#pragma once

#ifdef _WIN32
#include <windows.h>
#ifndef IOCTL_SERIAL_SET_DTR
// The serial driver's "raise DTR" control code; the driver-kit header that defines it does not
// compile in an application.
inline constexpr DWORD IOCTL_SERIAL_SET_DTR = 0x001B0024;
#endif
#else
#include "platform/posix/Win32Compat.h"
#endif

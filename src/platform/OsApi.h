// The operating-system calls the link and the kITL transfer are written against.
//
// On Windows this is the real Win32 API. On Linux, posix/Win32Compat.h provides the same
// handful of calls over termios, poll and open(2), with the semantics the port needs (see that
// header for the device-name mapping and the time-out model). Code outside platform/ includes
// this header, never an OS header itself.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/Win32Compat.h"
#endif

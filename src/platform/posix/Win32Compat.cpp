// The Win32 device and file calls over open(2), termios and poll(2). See Win32Compat.h for the
// device-name mapping, the locking and the time-out model.
#include "platform/posix/Win32Compat.h"

#include "platform/posix/StopToken.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

thread_local DWORD t_lastError = ERROR_SUCCESS;

BOOL Fail(DWORD code) {
    t_lastError = code;
    return FALSE;
}

DWORD ErrorFromErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENXIO: // a device node whose hardware has gone
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// errno of a read or write on a device that has been unplugged or whose other side closed.
bool DeviceGone(int e) {
    return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE;
}

// ---- Paths: wide text <-> the system's UTF-8 bytes ----
//
// Bytes that are not valid UTF-8 (a directory named in another encoding) travel as the lone
// surrogates U+DC80..U+DCFF and back, so every path the system hands out can be opened again.

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c >= 0xDC80 && c <= 0xDCFF) {
        out.push_back(static_cast<char>(c - 0xDC00));
        return;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = '?';
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string ToNative(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t w : wide)
        AppendUtf8(out, static_cast<std::uint32_t>(w));
    return out;
}

std::wstring FromNative(const std::string& bytes) {
    std::wstring out;
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        std::size_t len = 0;
        std::uint32_t c = 0;
        std::uint32_t min = 0;
        if (b0 < 0x80) {
            len = 1;
            c = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2;
            c = b0 & 0x1F;
            min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3;
            c = b0 & 0x0F;
            min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4;
            c = b0 & 0x07;
            min = 0x10000;
        }
        bool ok = len != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto b = static_cast<unsigned char>(bytes[i + k]);
            if ((b & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (b & 0x3F);
        }
        if (ok && len > 1 && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out.push_back(static_cast<wchar_t>(0xDC00 + b0));
            ++i;
        } else {
            out.push_back(static_cast<wchar_t>(c));
            i += len;
        }
    }
    return out;
}

// \\.\NAME -> $VESTREL_DEVICE_<NAME> or /dev/NAME; anything else is a path with '\' as '/'.
std::string ResolvePath(const std::wstring& name, bool& isDevice) {
    static const std::wstring kDevicePrefix = L"\\\\.\\";
    isDevice = name.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0;
    std::wstring rest = isDevice ? name.substr(kDevicePrefix.size()) : name;
    std::replace(rest.begin(), rest.end(), L'\\', L'/');
    if (!isDevice)
        return ToNative(rest);
    std::string variable = "VESTREL_DEVICE_";
    for (wchar_t w : rest) {
        if (w >= L'a' && w <= L'z')
            variable.push_back(static_cast<char>(w - L'a' + 'A'));
        else if ((w >= L'A' && w <= L'Z') || (w >= L'0' && w <= L'9'))
            variable.push_back(static_cast<char>(w));
        else
            variable.push_back('_');
    }
    if (const char* mapped = std::getenv(variable.c_str()); mapped != nullptr && *mapped != '\0')
        return mapped;
    return "/dev/" + ToNative(rest);
}

// ---- Handles ----

struct Object {
    int fd = -1;
    bool isTty = false;
    bool exclusive = false;
    // Set by CloseHandle; a read or write still running on another thread then gives up.
    std::atomic<bool> closed{false};
    COMMTIMEOUTS timeouts{};
    DWORD eventMask = 0;
    DCB lastDcb{};
    bool haveDcb = false;

    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() {
        if (fd < 0)
            return;
        if (isTty) {
            // TIOCEXCL outlives our descriptor when someone else keeps the tty open: undo it.
            if (exclusive)
                ioctl(fd, TIOCNXCL);
            flock(fd, LOCK_UN);
        }
        close(fd);
    }
};

// Open handles by their value. Leaked on purpose: worker threads may still close handles while
// static objects are being destroyed at exit.
struct Table {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<Object>> objects;
};
Table& Handles() {
    static Table* table = new Table;
    return *table;
}

std::shared_ptr<Object> Lookup(HANDLE h) {
    Table& table = Handles();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(h);
    if (it == table.objects.end()) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Object> LookupTty(HANDLE h) {
    auto object = Lookup(h);
    if (object && !object->isTty) {
        t_lastError = ERROR_INVALID_FUNCTION;
        return nullptr;
    }
    return object;
}

// ---- Line settings ----

struct Speed {
    DWORD baud;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool BaudToSpeed(DWORD baud, speed_t& code) {
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    }
    return false;
}

DWORD SpeedToBaud(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code)
            return s.baud;
    }
    return 0;
}

DCB DefaultDcb() {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

// Raises or lowers a modem line. A pseudo-terminal has no modem lines and refuses: that is fine,
// there is nothing to drive.
void SetModemLine(int fd, int line, bool on) {
    int bits = line;
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

} // namespace

// ---- Errors ----

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

// ---- Open and close ----

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* /*security*/, DWORD creation, DWORD flags,
                   HANDLE /*templateFile*/) {
    (void)flags; // FILE_FLAG_RANDOM_ACCESS and attributes are hints with no meaning here
    if (name == nullptr || *name == L'\0') {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    bool isDevice = false;
    const std::string path = ResolvePath(name, isDevice);

    int mode = O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
    const bool wantRead = (access & GENERIC_READ) != 0;
    const bool wantWrite = (access & GENERIC_WRITE) != 0;
    mode |= wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    if (!isDevice) { // devices are never created, whatever the creation mode asks for
        switch (creation) {
        case CREATE_NEW:
            mode |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            mode |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            mode |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            mode |= O_TRUNC;
            break;
        default:
            t_lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
    }

    int fd = -1;
    do {
        fd = open(path.c_str(), mode, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        t_lastError = ErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }

    auto object = std::make_shared<Object>();
    object->fd = fd;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        // Opening a directory as a file fails as it does on Windows.
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    object->isTty = isatty(fd) != 0;
    if (object->isTty) {
        const bool exclusive = (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0;
        if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            t_lastError = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
            return INVALID_HANDLE_VALUE;
        }
        if (exclusive) {
            // Also keeps out programs that do not use flock (refused for everyone but root).
            ioctl(fd, TIOCEXCL);
            object->exclusive = true;
        }
    } else {
        // Plain files read and write blocking; only devices wait with poll().
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }

    const HANDLE h = object.get();
    Table& table = Handles();
    std::lock_guard lock(table.mutex);
    table.objects.emplace(h, std::move(object));
    t_lastError = ERROR_SUCCESS;
    return h;
}

BOOL CloseHandle(HANDLE h) {
    std::shared_ptr<Object> object;
    {
        Table& table = Handles();
        std::lock_guard lock(table.mutex);
        auto it = table.objects.find(h);
        if (it == table.objects.end())
            return Fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        table.objects.erase(it);
    }
    // The descriptor is closed with the last reference: at once, or when a read or write that
    // another thread still runs on it has noticed the close.
    object->closed = true;
    return TRUE;
}

// ---- Reads and writes ----

namespace {

// Milliseconds from now until `deadline`, at least 0 and at most one stop-check tick.
int PollSlice(Clock::time_point now, const Clock::time_point* deadline) {
    auto slice = std::chrono::duration_cast<Millis>(vestrel::kStopCheckInterval);
    if (deadline != nullptr) {
        auto left = std::chrono::ceil<Millis>(*deadline - now);
        slice = std::clamp(left, Millis(0), slice);
    }
    return static_cast<int>(slice.count());
}

BOOL ReadDevice(Object& object, BYTE* buffer, DWORD toRead, DWORD& got) {
    const COMMTIMEOUTS t = object.timeouts;
    // The Win32 special cases: return what is there at once; or wait for the first byte at most
    // the constant, then return what is there.
    const bool returnAvailable = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                                 t.ReadTotalTimeoutConstant == 0;
    const bool firstThenAvailable = t.ReadIntervalTimeout == MAXDWORD &&
                                    t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                                    t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    const auto start = Clock::now();
    std::uint64_t totalMs = 0;
    bool hasTotal = false;
    if (firstThenAvailable) {
        totalMs = t.ReadTotalTimeoutConstant;
        hasTotal = true;
    } else if (!returnAvailable && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
        totalMs = std::uint64_t{t.ReadTotalTimeoutMultiplier} * toRead + t.ReadTotalTimeoutConstant;
        hasTotal = true;
    }
    const bool hasInterval = !returnAvailable && !firstThenAvailable && t.ReadIntervalTimeout != 0;
    const auto totalDeadline =
        start + Millis(static_cast<Millis::rep>(std::min<std::uint64_t>(totalMs, INT_MAX)));
    auto lastByte = start;

    for (;;) {
        vestrel::ThrowIfStopRequested();
        if (object.closed)
            return Fail(ERROR_OPERATION_ABORTED);

        const ssize_t n = read(object.fd, buffer + got, toRead - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            lastByte = Clock::now();
            if (got == toRead || returnAvailable || firstThenAvailable)
                return TRUE;
            continue;
        }
        if (n == 0)
            return Fail(ERROR_DEVICE_NOT_CONNECTED); // end of input: the other side hung up
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));

        // Nothing there yet: has a time-out run out?
        const auto now = Clock::now();
        if (returnAvailable)
            return TRUE;
        if (hasTotal && now >= totalDeadline)
            return TRUE;
        const auto intervalDeadline = lastByte + Millis(t.ReadIntervalTimeout);
        if (hasInterval && got > 0 && now >= intervalDeadline)
            return TRUE;
        const Clock::time_point* deadline = nullptr;
        if (hasTotal)
            deadline = &totalDeadline;
        if (hasInterval && got > 0 && (deadline == nullptr || intervalDeadline < *deadline))
            deadline = &intervalDeadline;

        pollfd p{object.fd, POLLIN, 0};
        const int r = poll(&p, 1, PollSlice(now, deadline));
        if (r < 0 && errno != EINTR)
            return Fail(ErrorFromErrno(errno));
        if (r > 0 && (p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        // With POLLIN (hang-up or not) the next read tells what happened.
    }
}

BOOL WriteDevice(Object& object, const BYTE* buffer, DWORD toWrite, DWORD& done) {
    const COMMTIMEOUTS t = object.timeouts;
    const bool hasTotal = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const std::uint64_t totalMs =
        std::uint64_t{t.WriteTotalTimeoutMultiplier} * toWrite + t.WriteTotalTimeoutConstant;
    const auto deadline =
        Clock::now() + Millis(static_cast<Millis::rep>(std::min<std::uint64_t>(totalMs, INT_MAX)));

    while (done < toWrite) {
        vestrel::ThrowIfStopRequested();
        if (object.closed)
            return Fail(ERROR_OPERATION_ABORTED);

        const ssize_t n = write(object.fd, buffer + done, toWrite - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));

        const auto now = Clock::now();
        if (hasTotal && now >= deadline)
            return TRUE; // a write that timed out reports what went out, and success
        pollfd p{object.fd, POLLOUT, 0};
        const int r = poll(&p, 1, PollSlice(now, hasTotal ? &deadline : nullptr));
        if (r < 0 && errno != EINTR)
            return Fail(ErrorFromErrno(errno));
        if (r > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    return TRUE;
}

} // namespace

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped) {
    if (read != nullptr)
        *read = 0;
    auto object = Lookup(h);
    if (!object)
        return FALSE;
    if (overlapped != nullptr || (buffer == nullptr && toRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    auto* bytes = static_cast<BYTE*>(buffer);
    DWORD got = 0;
    BOOL ok = TRUE;
    if (object->isTty) {
        ok = ReadDevice(*object, bytes, toRead, got);
    } else {
        while (got < toRead) {
            const ssize_t n = ::read(object->fd, bytes + got, toRead - got);
            if (n > 0) {
                got += static_cast<DWORD>(n);
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                ok = Fail(ErrorFromErrno(errno));
                break;
            }
        }
    }
    if (read != nullptr)
        *read = got;
    return ok;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped) {
    if (written != nullptr)
        *written = 0;
    auto object = Lookup(h);
    if (!object)
        return FALSE;
    if (overlapped != nullptr || (buffer == nullptr && toWrite != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    const auto* bytes = static_cast<const BYTE*>(buffer);
    DWORD done = 0;
    BOOL ok = TRUE;
    if (object->isTty) {
        ok = WriteDevice(*object, bytes, toWrite, done);
    } else {
        while (done < toWrite) {
            const ssize_t n = write(object->fd, bytes + done, toWrite - done);
            if (n > 0) {
                done += static_cast<DWORD>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                ok = Fail(n < 0 ? ErrorFromErrno(errno) : ERROR_GEN_FAILURE);
                break;
            }
        }
    }
    if (written != nullptr)
        *written = done;
    return ok;
}

BOOL GetFileSizeEx(HANDLE h, LARGE_INTEGER* size) {
    auto object = Lookup(h);
    if (!object)
        return FALSE;
    if (size == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (object->isTty)
        return Fail(ERROR_INVALID_FUNCTION);
    struct stat st {};
    if (fstat(object->fd, &st) != 0)
        return Fail(ErrorFromErrno(errno));
    size->QuadPart = static_cast<std::int64_t>(st.st_size);
    return TRUE;
}

// ---- Serial device settings ----

BOOL GetCommState(HANDLE h, DCB* dcb) {
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    termios t{};
    if (tcgetattr(object->fd, &t) != 0)
        return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));

    // Members termios has no place for come from the last DCB set (or the usual defaults).
    DCB d = object->haveDcb ? object->lastDcb : DefaultDcb();
    d.DCBlength = sizeof(DCB);
    d.BaudRate = SpeedToBaud(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        d.ByteSize = 5;
        break;
    case CS6:
        d.ByteSize = 6;
        break;
    case CS7:
        d.ByteSize = 7;
        break;
    default:
        d.ByteSize = 8;
        break;
    }
    d.Parity = (t.c_cflag & PARENB) == 0 ? NOPARITY : (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    d.StopBits = (t.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    d.fBinary = 1;
    d.fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0 ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    int lines = 0;
    if (ioctl(object->fd, TIOCMGET, &lines) == 0) {
        d.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        d.fRtsControl = (t.c_cflag & CRTSCTS) != 0 ? RTS_CONTROL_HANDSHAKE
                        : (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE
                                                   : RTS_CONTROL_DISABLE;
    }
    *dcb = d;
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    speed_t speed = B0;
    if (!BaudToSpeed(dcb->BaudRate, speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > EVENPARITY || (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS))
        return Fail(ERROR_INVALID_PARAMETER);

    termios t{};
    if (tcgetattr(object->fd, &t) != 0)
        return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));
    cfmakeraw(&t); // binary: no translation, no echo, no signals
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= kSizes[dcb->ByteSize - 5] | CLOCAL | CREAD;
    if (dcb->Parity != NOPARITY)
        t.c_cflag |= PARENB | (dcb->Parity == ODDPARITY ? PARODD : 0);
    if (dcb->StopBits == TWOSTOPBITS)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow != 0 || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (dcb->fOutX != 0)
        t.c_iflag |= IXON;
    if (dcb->fInX != 0)
        t.c_iflag |= IXOFF;
    if (dcb->fParity != 0 && dcb->Parity != NOPARITY)
        t.c_iflag |= INPCK;
    if (dcb->XonChar != 0)
        t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    if (dcb->XoffChar != 0)
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (tcsetattr(object->fd, TCSANOW, &t) != 0)
        return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));
    // tcsetattr succeeds when any part of the request took effect: a driver that cannot run at
    // the speed keeps its old one, and that must fail.
    termios now{};
    if (tcgetattr(object->fd, &now) != 0 || cfgetospeed(&now) != speed)
        return Fail(ERROR_INVALID_PARAMETER);

    SetModemLine(object->fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb->fRtsControl != RTS_CONTROL_HANDSHAKE)
        SetModemLine(object->fd, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE);
    object->lastDcb = *dcb;
    object->haveDcb = true;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *timeouts = object->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    object->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    // Only kept: the mask selects the events a comm-event wait reports, and this layer offers no
    // such wait, so on posix it changes nothing.
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    object->eventMask = mask;
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    // Transfers are synchronous, so there is never a pending one to abort: only the CLEAR flags
    // have work to do.
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if (!rx && !tx)
        return TRUE;
    if (tcflush(object->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0)
        return Fail(DeviceGone(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrorFromErrno(errno));
    return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID /*in*/, DWORD /*inSize*/, LPVOID /*out*/, DWORD /*outSize*/,
                     LPDWORD returned, void* /*overlapped*/) {
    if (returned != nullptr)
        *returned = 0;
    auto object = LookupTty(h);
    if (!object)
        return FALSE;
    if (code != IOCTL_SERIAL_SET_DTR && code != IOCTL_SERIAL_CLR_DTR)
        return Fail(ERROR_INVALID_FUNCTION);
    int bits = TIOCM_DTR;
    // Fails on a pseudo-terminal, which has no modem lines; the caller does not look.
    if (ioctl(object->fd, code == IOCTL_SERIAL_SET_DTR ? TIOCMBIS : TIOCMBIC, &bits) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

// ---- Time and the current directory ----

void Sleep(DWORD milliseconds) {
    // In slices, so a worker asked to stop leaves a long pause within one slice.
    vestrel::ThrowIfStopRequested();
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    const bool forever = milliseconds == MAXDWORD; // INFINITE
    const auto deadline = Clock::now() + Millis(milliseconds);
    for (;;) {
        const auto now = Clock::now();
        if (!forever && now >= deadline)
            return;
        auto slice = std::chrono::duration_cast<Clock::duration>(vestrel::kStopCheckInterval);
        if (!forever)
            slice = std::min(slice, std::chrono::duration_cast<Clock::duration>(deadline - now));
        std::this_thread::sleep_for(slice);
        vestrel::ThrowIfStopRequested();
    }
}

DWORD GetCurrentDirectoryW(DWORD capacity, LPWSTR buffer) {
    std::string cwd(256, '\0');
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE) {
            t_lastError = ErrorFromErrno(errno);
            return 0;
        }
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    const std::wstring wide = FromNative(cwd);
    const auto length = static_cast<DWORD>(wide.size());
    // Too small: the size needed, terminator included, and the buffer untouched.
    if (buffer == nullptr || capacity <= length)
        return length + 1;
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[length] = L'\0';
    return length;
}

// CFile: a file opened for reading through CreateFileW, read through a buffer of its own so that
// callers reading a byte at a time cost one system call per 64 KiB, not per byte.
#include "platform/Afx.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}

CFile::~CFile() {
    Close();
}

bool CFile::Open(const wchar_t* path, UINT flags) {
    Close();
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Deny-write lets others read only; deny-none (and the compatibility mode) lets them write too.
    const DWORD share = (flags & shareDenyWrite) != 0 ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    m_handle = h;
    m_buffer.resize(kBufferSize);
    m_pos = 0;
    m_end = 0;
    return true;
}

UINT CFile::Read(void* buffer, UINT count, bool* failed) {
    if (failed != nullptr)
        *failed = false;
    if (!IsOpen() || (buffer == nullptr && count != 0)) {
        SetLastError(IsOpen() ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        if (failed != nullptr)
            *failed = true;
        return 0;
    }
    auto* out = static_cast<BYTE*>(buffer);
    UINT done = 0;
    while (done < count) {
        if (m_pos < m_end) {
            const std::size_t n = std::min<std::size_t>(count - done, m_end - m_pos);
            std::memcpy(out + done, m_buffer.data() + m_pos, n);
            m_pos += n;
            done += static_cast<UINT>(n);
            continue;
        }
        // Buffer empty. A request at least as large as the buffer goes straight to the caller's memory.
        const UINT left = count - done;
        const bool direct = left >= m_buffer.size();
        BYTE* target = direct ? out + done : m_buffer.data();
        const DWORD ask = direct ? left : static_cast<DWORD>(m_buffer.size());
        DWORD got = 0;
        if (!ReadFile(m_handle, target, ask, &got, nullptr)) {
            if (failed != nullptr)
                *failed = true;
            break;
        }
        if (got == 0)
            break; // end of file
        if (direct) {
            done += got;
        } else {
            m_pos = 0;
            m_end = got;
        }
    }
    return done;
}

bool CFile::ReadByte(BYTE& b, bool* failed) {
    if (m_pos < m_end) {
        if (failed != nullptr)
            *failed = false;
        b = m_buffer[m_pos++];
        return true;
    }
    return Read(&b, 1, failed) == 1;
}

std::uint64_t CFile::GetLength() const {
    LARGE_INTEGER size{};
    if (!IsOpen() || !GetFileSizeEx(m_handle, &size) || size.QuadPart < 0)
        return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

void CFile::Close() {
    if (IsOpen())
        CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_pos = 0;
    m_end = 0;
}

bool CFile::IsOpen() const {
    return m_handle != INVALID_HANDLE_VALUE;
}

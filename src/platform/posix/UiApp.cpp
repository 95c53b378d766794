// The application object and the desktop services on posix: the single-copy test over an
// abstract unix socket, the logo folder, and the choice of front end.
#include "platform/posix/UiModel.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

CWinApp* g_app = nullptr;

// The socket name for a title: per user (the abstract namespace is shared by all users of the
// machine), so one user's wizard never stops another's.
sockaddr_un BeaconAddress(const std::wstring& title, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string name = "vestrel/" + std::to_string(getuid()) + "/window/" + ui::ToUtf8(title);
    const std::size_t room = sizeof(address.sun_path) - 1; // the leading zero byte
    if (name.size() > room) {
        // Too long to spell out: a hash of the title stands in for it.
        std::uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : name)
            hash = (hash ^ c) * 1099511628211ull;
        name = "vestrel/" + std::to_string(getuid()) + "/window#" + std::to_string(hash);
    }
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

} // namespace

namespace ui {

TitleBeacon::~TitleBeacon() {
    Show(L"");
}

void TitleBeacon::Show(const std::wstring& title) {
    if (title == m_title && (m_fd >= 0 || title.empty()))
        return;
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_title = title;
    if (title.empty())
        return;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    socklen_t length = 0;
    const sockaddr_un address = BeaconAddress(title, length);
    // A name another copy already holds stays with it: that copy answers for the title.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || listen(fd, 8) != 0) {
        close(fd);
        return;
    }
    m_fd = fd;
}

bool TitleBeacon::TakeRequests() {
    bool asked = false;
    for (;;) {
        const int peer = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0)
            return asked;
        asked = true;
        close(peer);
    }
}

std::unique_ptr<FrontEnd> MakeDefaultFrontEnd() {
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))
        return MakeTerminalFrontEnd();
    return MakeUnattendedFrontEnd(stdout);
}

} // namespace ui

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this)
        g_app = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

CWinApp* AfxGetApp() {
    return g_app;
}

const wchar_t* CWinApp::AppTitle() {
    static const std::wstring title = [] {
        std::string path;
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n > 0)
            path.assign(buffer, static_cast<std::size_t>(n));
        else
            path = program_invocation_name;
        std::string name = path.substr(path.find_last_of('/') + 1);
        if (const auto dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
            name.erase(dot);
        return ui::FromUtf8(name);
    }();
    return title.c_str();
}

bool BringWindowWithTitleToFront(const wchar_t* title) {
    if (title == nullptr || *title == L'\0')
        return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_un address = BeaconAddress(title, length);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    close(fd);
    return rc == 0;
}

void CloseTopLevelWindowOfClass(const wchar_t* /*className*/) {
    // No synchronisation software of that kind runs on this system: nothing to close.
}

void InitCommonControlsForWizard() {}

std::wstring LogoFolder() {
    // No Temporary Internet Files folder here: the temporary-files directory it is, without
    // its trailing separator.
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder == "/")
        folder.clear();
    return ui::FromUtf8(folder);
}

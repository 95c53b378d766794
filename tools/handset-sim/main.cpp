// handset-sim: a simulated handset on a pseudo-terminal. See README.md for the command line.
#include "Handset.h"
#include "ImageSet.h"
#include "Options.h"
#include "PtyDevice.h"
#include "Verdict.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

sim::Millis NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Paces one direction of the link to a byte rate: a bucket that fills at the rate and holds a
// few milliseconds' worth, so a pause doesn't buy a burst.
class Pacer {
public:
    explicit Pacer(double rate) : m_rate(rate), m_burst(std::max(64.0, rate / 200.0)), m_tokens(m_burst) {}
    std::size_t Allowance(std::size_t wanted) {
        if (m_rate <= 0)
            return wanted;
        const double now = NowSeconds();
        m_tokens = std::min(m_burst, m_tokens + (now - m_last) * m_rate);
        m_last = now;
        return std::min(wanted, static_cast<std::size_t>(m_tokens));
    }
    void Spend(std::size_t n) {
        if (m_rate > 0)
            m_tokens -= static_cast<double>(n);
    }

private:
    double m_rate;
    double m_burst;
    double m_tokens;
    double m_last = NowSeconds();
};

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sim::Options options;
    std::string message;
    if (!sim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, message)) {
        const bool help = message.rfind("usage:", 0) == 0;
        std::fputs(message.c_str(), help ? stdout : stderr);
        if (!help)
            std::fputc('\n', stderr);
        return help ? 0 : 2;
    }
    struct stat st {};
    if (stat(options.images.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "handset-sim: image directory %s not found\n", options.images.c_str());
        return 2;
    }
    const sim::ImageSet images = sim::LoadImageSet(options.images);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sim::PtyDevice device;
    if (!device.Publish(options.link, message)) {
        std::fprintf(stderr, "handset-sim: %s\n", message.c_str());
        return 2;
    }
    std::printf("ready %s\n", options.link.c_str());

    sim::Handset handset(options, images);
    handset.Start(NowMs());
    Pacer inPacer(options.rate);
    Pacer outPacer(options.rate);
    std::deque<sim::Output> queue;
    std::size_t queueHeadDone = 0; // bytes of the queue's head already written
    sim::Millis lastActivity = NowMs();
    constexpr sim::Millis kNever = std::numeric_limits<sim::Millis>::max();
    sim::Millis returnAt = kNever;
    sim::Millis lingerUntil = kNever;
    sim::Millis drainedAt = kNever;
    bool interrupted = false;

    for (;;) {
        const sim::Millis now = NowMs();
        if (g_stop) {
            interrupted = true;
            break;
        }
        if (handset.WantsAway()) {
            device.Withdraw();
            queue.clear();
            queueHeadDone = 0;
            handset.OnAway();
            std::printf("away\n");
            lastActivity = now;
            if (options.scenario != sim::Scenario::NoReturn)
                returnAt = now + options.returnMs;
        }
        if (now >= returnAt) {
            returnAt = kNever;
            if (!device.Publish(options.link, message)) {
                std::fprintf(stderr, "handset-sim: %s\n", message.c_str());
                break;
            }
            handset.OnReturned(now);
            lastActivity = now;
            std::printf("back %s\n", options.link.c_str());
        }
        if (device.Present()) {
            device.ReleaseStaleExclusive();
            handset.OnTick(now, device.HostBacklog() > 0);
        }
        for (sim::Output& out : handset.TakeOutputs())
            queue.push_back(std::move(out));

        if (handset.Finished() && queue.empty()) {
            // Leave once the host has read the last answer (closing the pty would discard it).
            // Bytes written to the master reach the host's side a moment later, so the backlog
            // is only trusted after a short grace.
            if (lingerUntil == kNever) {
                lingerUntil = now + options.lingerMs;
                drainedAt = now + 100;
            }
            if ((now >= drainedAt && device.HostBacklog() == 0) || now >= lingerUntil)
                break;
        }
        if (options.exitAfterIdle > 0 && returnAt == kNever &&
            static_cast<double>(now - lastActivity) >= options.exitAfterIdle * 1000.0)
            break;

        // Write what is due.
        int timeout = 10;
        bool waitWritable = false;
        if (device.Present() && !queue.empty()) {
            if (queue.front().due > now) {
                timeout = static_cast<int>(std::min<sim::Millis>(timeout, queue.front().due - now));
            } else {
                sim::Output& head = queue.front();
                const std::size_t n = outPacer.Allowance(head.bytes.size() - queueHeadDone);
                if (n == 0) {
                    timeout = 1; // the pace allows the next byte within a millisecond or so
                } else {
                    const ssize_t w = write(device.Master(), head.bytes.data() + queueHeadDone, n);
                    if (w > 0) {
                        outPacer.Spend(static_cast<std::size_t>(w));
                        queueHeadDone += static_cast<std::size_t>(w);
                        if (queueHeadDone == head.bytes.size()) {
                            queue.pop_front();
                            queueHeadDone = 0;
                        }
                        continue;
                    }
                    waitWritable = true; // the host's input buffer is full
                }
            }
        }
        if (!device.Present()) {
            usleep(static_cast<useconds_t>(timeout) * 1000);
            continue;
        }
        pollfd pfd{device.Master(), 0, 0};
        const std::size_t readAllowance = inPacer.Allowance(4096);
        if (readAllowance > 0)
            pfd.events |= POLLIN;
        else
            timeout = 1;
        if (waitWritable)
            pfd.events |= POLLOUT;
        const int ready = poll(&pfd, 1, timeout);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "handset-sim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (ready > 0 && (pfd.revents & POLLIN)) {
            std::uint8_t buffer[4096];
            const ssize_t r = read(device.Master(), buffer, readAllowance);
            if (r > 0) {
                inPacer.Spend(static_cast<std::size_t>(r));
                lastActivity = NowMs();
                handset.OnBytes(std::span(buffer, static_cast<std::size_t>(r)), lastActivity);
            }
        }
    }

    device.Withdraw();
    const sim::Verdict verdict = handset.Conclude(interrupted);
    const std::string summary = sim::VerdictSummary(verdict);
    int status = verdict.pass ? 0 : 1;
    if (!options.verdictPath.empty() && !WriteText(options.verdictPath, sim::VerdictJson(verdict))) {
        std::fprintf(stderr, "handset-sim: cannot write %s\n", options.verdictPath.c_str());
        status = 1;
    }
    if (!options.summaryPath.empty()) {
        if (!WriteText(options.summaryPath, summary)) {
            std::fprintf(stderr, "handset-sim: cannot write %s\n", options.summaryPath.c_str());
            status = 1;
        }
    } else {
        std::fputs(summary.c_str(), stdout);
    }
    std::printf("verdict %s\n", verdict.pass ? "PASS" : "FAIL");
    return status;
}

// quorrel-capture: the small program that holds the capture rights, so the window never
// does. It opens one libpcap capture per local address on that address's interface,
// filtered in the kernel to that address, drops every capability, then streams each
// captured frame, whole, to its standard output in the frames of capture/frame.h.
// It ends when its standard input closes: a window that crashes leaves no capture behind.
//
//   quorrel-capture IFNAME ADDRESS [IFNAME ADDRESS]...
//   quorrel-capture --protocol
//
// Needs cap_net_raw and cap_net_admin (setcap), or root.

#include "capture/frame.h"

#include <pcap/pcap.h>
#include <sys/capability.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using quorrel::frame::FrameType;

// Frames are gathered and written in large pieces: one write per frame would cost more
// than the capture itself at full loopback speed.
class Output {
public:
    bool put(FrameType type, std::uint8_t index, const void *body, std::size_t length, bool zeroAfter)
    {
        const std::size_t total = quorrel::frame::kHeaderSize + length + (zeroAfter ? 1 : 0);
        if (m_buffer.size() + total > kFlushAt && !flush())
            return false;
        const std::size_t at = m_buffer.size();
        m_buffer.resize(at + total);
        unsigned char *out = m_buffer.data() + at;
        quorrel::frame::writeHeader(out, type, index, static_cast<std::uint32_t>(total - quorrel::frame::kHeaderSize));
        if (length)
            std::memcpy(out + quorrel::frame::kHeaderSize, body, length);
        if (zeroAfter)
            out[total - 1] = 0;
        return true;
    }

    bool flush()
    {
        std::size_t done = 0;
        while (done < m_buffer.size()) {
            const ssize_t n = ::write(STDOUT_FILENO, m_buffer.data() + done, m_buffer.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // the reader is gone
            done += static_cast<std::size_t>(n);
        }
        m_buffer.clear();
        return true;
    }

private:
    static constexpr std::size_t kFlushAt = 256 * 1024;
    std::vector<unsigned char> m_buffer;
};

struct Capture {
    std::uint8_t index;
    pcap_t *handle = nullptr;
    int fd = -1;
};

Output output;
bool outputBroken = false;

void error(std::uint8_t index, const std::string &reason)
{
    if (!output.put(FrameType::Error, index, reason.data(), reason.size(), false))
        outputBroken = true;
}

void onFrame(u_char *user, const pcap_pkthdr *header, const u_char *bytes)
{
    const auto *capture = reinterpret_cast<const Capture *>(user);
    const std::size_t length = std::min<std::size_t>(header->caplen, quorrel::frame::kMaxFrameBytes);
    if (!outputBroken && !output.put(FrameType::Frame, capture->index, bytes, length, true))
        outputBroken = true;
}

// Opens the capture of one address; on failure says why in an Error frame.
bool open(Capture &c, std::size_t count, const char *interface, const char *address)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const std::string where = std::string(address) + " (" + interface + "): ";
    c.handle = pcap_create(interface, errbuf);
    if (!c.handle) {
        error(c.index, where + errbuf);
        return false;
    }
    pcap_set_snaplen(c.handle, static_cast<int>(quorrel::frame::kMaxFrameBytes));
    pcap_set_promisc(c.handle, 0);
    // The kernel hands over full blocks of frames, or whatever it has after 20 ms: few
    // wake-ups at full speed, and a request still shows within a blink. The rings share
    // 256 MiB of kernel memory, which holds a good second of a fast download, so a busy
    // moment loses nothing; with many addresses each still gets 16 MiB.
    pcap_set_timeout(c.handle, 20);
    pcap_set_buffer_size(c.handle, static_cast<int>(std::max<std::size_t>(16, 256 / count) * 1024 * 1024));
    const int status = pcap_activate(c.handle);
    if (status < 0) {
        std::string reason = pcap_statustostr(status);
        const char *detail = pcap_geterr(c.handle);
        if (detail && *detail)
            reason += std::string(" (") + detail + ")";
        error(c.index, where + reason);
        pcap_close(c.handle);
        c.handle = nullptr;
        return false;
    }
    bpf_program filter{};
    const std::string expression = std::string("ip host ") + address;
    if (pcap_compile(c.handle, &filter, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0
        || pcap_setfilter(c.handle, &filter) != 0) {
        error(c.index, where + "filter \"" + expression + "\": " + pcap_geterr(c.handle));
        pcap_freecode(&filter);
        pcap_close(c.handle);
        c.handle = nullptr;
        return false;
    }
    pcap_freecode(&filter);
    pcap_setnonblock(c.handle, 1, errbuf);
    c.fd = pcap_get_selectable_fd(c.handle);
    const std::uint32_t dlt = static_cast<std::uint32_t>(pcap_datalink(c.handle));
    unsigned char body[4];
    for (int i = 0; i < 4; ++i)
        body[i] = static_cast<unsigned char>(dlt >> (8 * i));
    if (!output.put(FrameType::Opened, c.index, body, sizeof body, false))
        outputBroken = true;
    return true;
}

// Once the captures are open the rights are not needed any more: give them all up.
void dropCapabilities()
{
    if (cap_t none = cap_init()) {
        cap_set_proc(none);
        cap_free(none);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--protocol") == 0) {
        std::puts(quorrel::frame::kProtocol);
        return 0;
    }
    if (argc < 3 || (argc - 1) % 2 != 0 || static_cast<std::size_t>((argc - 1) / 2) > quorrel::frame::kMaxCaptures) {
        std::fprintf(stderr, "usage: quorrel-capture IFNAME ADDRESS [IFNAME ADDRESS]... (at most %zu)\n",
                     quorrel::frame::kMaxCaptures);
        return 2;
    }
    // The window is the only reason to run: die with it, and never on a broken pipe.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<Capture> captures;
    for (int i = 1; i + 1 < argc; i += 2) {
        Capture c;
        c.index = static_cast<std::uint8_t>(captures.size());
        open(c, static_cast<std::size_t>((argc - 1) / 2), argv[i], argv[i + 1]);
        captures.push_back(c);
    }
    dropCapabilities();
    if (!output.flush())
        return 0;

    std::vector<pollfd> fds;
    fds.push_back({STDIN_FILENO, POLLIN, 0});
    for (const Capture &c : captures)
        if (c.handle)
            fds.push_back({c.fd, POLLIN, 0});
    while (!outputBroken) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents) {
            char ignored[64];
            if (::read(STDIN_FILENO, ignored, sizeof ignored) <= 0)
                break; // the program closed its end: stop capturing
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            Capture *c = nullptr;
            for (Capture &candidate : captures)
                if (candidate.handle && candidate.fd == fds[k].fd)
                    c = &candidate;
            if (!c)
                continue;
            if (pcap_dispatch(c->handle, 256, onFrame, reinterpret_cast<u_char *>(c)) < 0) {
                error(c->index, std::string("reading: ") + pcap_geterr(c->handle));
                fds[k].fd = -1; // poll skips it from now on
            }
        }
        if (!output.flush())
            break;
    }
    for (Capture &c : captures)
        if (c.handle) {
            pcap_stat st{};
            if (std::getenv("QUORREL_CAPTURE_STATS") && pcap_stats(c.handle, &st) == 0)
                std::fprintf(stderr, "quorrel-capture: capture %u: %u received, %u dropped\n", c.index, st.ps_recv, st.ps_drop);
            pcap_close(c.handle);
        }
    return 0;
}

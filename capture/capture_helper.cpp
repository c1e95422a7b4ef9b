// quorrel-capture: the small program that holds the capture rights, so the window never
// does. It opens one libpcap capture per local address on that address's interface,
// filtered in the kernel (capture/kernel_filter.h), drops every capability, then streams
// what it captures to its standard output in the frames of capture/frame.h: whole, or cut
// to the headers where the flow table says the payload is nothing the program reads.
// It ends when its standard input closes: a window that crashes leaves no capture behind.
//
//   quorrel-capture [--ring-kib N] IFNAME ADDRESS [IFNAME ADDRESS]...
//   quorrel-capture --protocol          the frame protocol it speaks
//
// --ring-kib N sets each capture's kernel ring (256 to 262144 KiB, and N times the number
// of captures at most 262144 KiB); by default the captures share 256 MiB.
//   quorrel-capture --filter ADDRESS    the kernel filter it sets for ADDRESS
//
// ADDRESS is a literal IPv4 or IPv6 address that interface IFNAME holds (any address of
// a loopback interface's prefix counts). Anything else, or an option it does not know,
// and it exits with status 2 and the reason, having opened nothing. Failing to give up
// its rights once the captures are open is fatal (status 1).
//
// Needs cap_net_raw (setcap; its captures are not promiscuous and their rings need no
// more), or root. Installed, it belongs to root and
// the group quorrel with mode 0750: only members of that group may capture.

#include "capture/flow_table.h"
#include "capture/frame.h"
#include "capture/helper_reasons.h"
#include "capture/kernel_filter.h"

#include <pcap/pcap.h>
#include <sys/capability.h>
#include <sys/prctl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23 // linux/if_packet.h, Linux 4.20
#endif

namespace {

using quorrel::FlowTable;
using quorrel::IpFamily;
using quorrel::frame::FrameType;
namespace reasons = quorrel::helper_reasons;

constexpr int kExitRefused = 2;
// The kernel memory of one run's capture rings, all captures together (KiB).
constexpr std::size_t kMaxRingsKib = 256 * 1024;
constexpr int kExitRightsKept = 1;

// Frames are gathered and written in large pieces: one write per frame would cost more
// than the capture itself at full loopback speed.
class Output {
public:
    bool put(FrameType type, std::uint8_t index, const void *prefix, std::size_t prefixLength, const void *body,
             std::size_t length, bool zeroAfter)
    {
        const std::size_t total = quorrel::frame::kHeaderSize + prefixLength + length + (zeroAfter ? 1 : 0);
        if (m_buffer.size() + total > kFlushAt && !flush())
            return false;
        const std::size_t at = m_buffer.size();
        m_buffer.resize(at + total);
        unsigned char *out = m_buffer.data() + at;
        quorrel::frame::writeHeader(out, type, index, static_cast<std::uint32_t>(total - quorrel::frame::kHeaderSize));
        out += quorrel::frame::kHeaderSize;
        if (prefixLength)
            std::memcpy(out, prefix, prefixLength);
        if (length)
            std::memcpy(out + prefixLength, body, length);
        if (zeroAfter)
            out[prefixLength + length] = 0;
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

    // Forgets what was not written yet.
    void discard() { m_buffer.clear(); }

private:
    static constexpr std::size_t kFlushAt = 256 * 1024;
    std::vector<unsigned char> m_buffer;
};

struct Capture {
    std::uint8_t index = 0;
    const char *interface = nullptr;
    const char *address = nullptr;
    IpFamily family = IpFamily::V4;
    bool loopback = false;
    pcap_t *handle = nullptr;
    int fd = -1;
    int linkType = -1;
    unsigned kernelDrops = 0;     // pcap_stats' count when last reported
    std::uint64_t overflows = 0;  // frames passed whole for want of room, not reported yet
};

Output output;
bool outputBroken = false;
FlowTable flows;
std::int64_t nowMs = 0;

std::int64_t monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

void error(std::uint8_t index, const std::string &reason)
{
    if (!output.put(FrameType::Error, index, nullptr, 0, reason.data(), reason.size(), false))
        outputBroken = true;
}

void onFrame(u_char *user, const pcap_pkthdr *header, const u_char *bytes)
{
    auto *capture = reinterpret_cast<Capture *>(user);
    if (outputBroken)
        return;
    const std::size_t length = std::min<std::size_t>(header->caplen, quorrel::frame::kMaxFrameBytes);
    const quorrel::Bytes frame(reinterpret_cast<const std::byte *>(bytes), length);
    const std::uint64_t overflowsBefore = flows.overflows();
    const std::size_t kept = flows.keep(capture->linkType, frame, nowMs);
    capture->overflows += flows.overflows() - overflowsBefore;
    bool ok;
    if (kept < length && quorrel::frame::kCutPrefix + kept + 1 <= quorrel::frame::kMaxFrameBody) {
        unsigned char wire[quorrel::frame::kCutPrefix];
        quorrel::frame::put32(wire, header->len);
        ok = output.put(FrameType::Cut, capture->index, wire, sizeof wire, bytes, kept, true);
    } else {
        ok = output.put(FrameType::Frame, capture->index, nullptr, 0, bytes, length, true);
    }
    if (!ok)
        outputBroken = true;
}

// The kernel's drops and the table's overflows since the last report, if any.
void reportStats(Capture &c)
{
    pcap_stat st{};
    if (!c.handle || pcap_stats(c.handle, &st) != 0)
        return;
    const unsigned drops = st.ps_drop - c.kernelDrops; // the count wraps at 2^32
    if (drops == 0 && c.overflows == 0)
        return;
    unsigned char body[quorrel::frame::kStatsBody];
    quorrel::frame::put64(body, drops);
    quorrel::frame::put64(body + 8, c.overflows);
    if (!output.put(FrameType::Stats, c.index, nullptr, 0, body, sizeof body, false))
        outputBroken = true;
    c.kernelDrops = st.ps_drop;
    c.overflows = 0;
}

// Opens the capture of one address; on failure says why in an Error frame.
bool open(Capture &c, std::size_t count, std::size_t ringKib)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const std::string where = reasons::Where(c.address, c.interface);
    c.handle = pcap_create(c.interface, errbuf);
    if (!c.handle) {
        error(c.index, where + reasons::kCannotCapture + errbuf);
        return false;
    }
    pcap_set_snaplen(c.handle, static_cast<int>(quorrel::frame::kMaxFrameBytes));
    pcap_set_promisc(c.handle, 0);
    // The kernel hands over full blocks of frames, or whatever it has after 50 ms: few
    // wake-ups at full speed, and a request still shows within a blink. Every hand-over
    // wakes the program too, and a process woken from sleep runs its first work slowly
    // (cold caches): at the rate of a busy browser, waking every 20 ms cost it a third
    // more than every 50 ms. The rings share
    // 256 MiB of kernel memory, which holds a good second of a fast download, so a busy
    // moment loses nothing; with many addresses each still gets 6 MiB.
    pcap_set_timeout(c.handle, 50);
    const std::size_t kib = ringKib ? ringKib : kMaxRingsKib / count;
    pcap_set_buffer_size(c.handle, static_cast<int>(kib * 1024));
    const int status = pcap_activate(c.handle);
    if (status < 0) {
        std::string reason = pcap_statustostr(status);
        const char *detail = pcap_geterr(c.handle);
        if (detail && *detail)
            reason += std::string(" (") + detail + ")";
        error(c.index, where + reasons::kCannotCapture + reason);
        pcap_close(c.handle);
        c.handle = nullptr;
        return false;
    }
    // A loopback interface hands every packet to the capture twice, going out and coming
    // in, and libpcap throws the outgoing copy away after the kernel has copied it into the
    // ring: the ring would fill twice as fast, and its drops count twice. The kernel can
    // leave that copy out itself (Linux 4.20 and later; best effort before).
    if (c.loopback) {
        const int on = 1;
        setsockopt(pcap_fileno(c.handle), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on);
    }
    bpf_program filter{};
    const std::string expression = quorrel::KernelFilter(c.family, c.address);
    if (pcap_compile(c.handle, &filter, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0
        || pcap_setfilter(c.handle, &filter) != 0) {
        error(c.index, where + reasons::CannotFilter(expression) + pcap_geterr(c.handle));
        pcap_freecode(&filter);
        pcap_close(c.handle);
        c.handle = nullptr;
        return false;
    }
    pcap_freecode(&filter);
    pcap_setnonblock(c.handle, 1, errbuf);
    c.fd = pcap_get_selectable_fd(c.handle);
    c.linkType = pcap_datalink(c.handle);
    unsigned char body[quorrel::frame::kOpenedBody];
    quorrel::frame::put32(body, static_cast<std::uint32_t>(c.linkType));
    if (!output.put(FrameType::Opened, c.index, nullptr, 0, body, sizeof body, false))
        outputBroken = true;
    return true;
}

// Once the captures are open the rights are not needed any more: give them all up, and
// make sure they are gone. A helper that kept them would stream traffic with rights that
// nothing it does from now on needs.
std::optional<std::string> dropCapabilities()
{
    cap_t none = cap_init();
    if (!none)
        return std::string("cap_init: ") + std::strerror(errno);
    std::optional<std::string> failure;
    if (cap_set_proc(none) != 0)
        failure = std::string("cap_set_proc: ") + std::strerror(errno);
    else if (cap_t now = cap_get_proc()) {
        if (cap_compare(now, none) != 0)
            failure = "capabilities still held after cap_set_proc";
        cap_free(now);
    } else {
        failure = std::string("cap_get_proc: ") + std::strerror(errno);
    }
    cap_free(none);
    if (!failure && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        failure = std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
    return failure;
}

enum class Holds { No, Yes, OnLoopback };

// Whether interface holds address (network order), the address being of family; any
// address in the prefix of a loopback interface counts, as the kernel takes it for local.
Holds interfaceHolds(const char *interface, IpFamily family, const unsigned char *address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return Holds::No;
    bool found = false;
    bool loopback = false;
    for (const ifaddrs *a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || std::strcmp(a->ifa_name, interface) != 0)
            continue;
        const int want = family == IpFamily::V6 ? AF_INET6 : AF_INET;
        if (a->ifa_addr->sa_family != want)
            continue;
        const std::size_t size = family == IpFamily::V6 ? 16 : 4;
        const auto *mine = family == IpFamily::V6
            ? reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in6 *>(a->ifa_addr)->sin6_addr)
            : reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr);
        const unsigned char *mask = nullptr;
        if ((a->ifa_flags & IFF_LOOPBACK) && a->ifa_netmask && a->ifa_netmask->sa_family == want)
            mask = family == IpFamily::V6
                ? reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in6 *>(a->ifa_netmask)->sin6_addr)
                : reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)->sin_addr);
        found = true;
        for (std::size_t i = 0; i < size && found; ++i)
            found = mask ? ((mine[i] ^ address[i]) & mask[i]) == 0 : mine[i] == address[i];
        loopback = a->ifa_flags & IFF_LOOPBACK;
    }
    freeifaddrs(list);
    return !found ? Holds::No : loopback ? Holds::OnLoopback : Holds::Yes;
}

// The family of a literal address, or nothing for anything that is not exactly one.
std::optional<IpFamily> literalAddress(const char *text, unsigned char *bytes)
{
    if (inet_pton(AF_INET, text, bytes) == 1)
        return IpFamily::V4;
    if (inet_pton(AF_INET6, text, bytes) == 1)
        return IpFamily::V6;
    return std::nullopt;
}

// Says why the helper will not start, and ends it: nothing has been opened. The reason
// also goes down the pipe when there is one, in the user's words, so the program can
// show it.
[[noreturn]] void refuse(std::uint8_t index, const std::string &reason, const std::string &forUser)
{
    std::fprintf(stderr, "quorrel-capture: %s\n", reason.c_str());
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        error(index, forUser);
        output.flush();
    }
    std::exit(kExitRefused);
}

bool readKib(const char *text, std::size_t &kib)
{
    if (!*text || std::strlen(text) > 7)
        return false;
    std::size_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + std::size_t(*p - '0');
    }
    if (value < 256 || value > 256 * 1024)
        return false;
    kib = value;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    std::size_t ringKib = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string option = argv[i];
        if (option == "--protocol") {
            std::puts(quorrel::frame::kProtocol);
            return 0;
        }
        if (option == "--filter" && i + 1 < argc) {
            unsigned char bytes[16];
            const std::optional<IpFamily> family = literalAddress(argv[i + 1], bytes);
            if (!family)
                refuse(0, std::string("--filter: \"") + argv[i + 1] + "\" is not a literal IPv4 or IPv6 address",
                       reasons::NotALiteralAddress(argv[i + 1]));
            std::puts(quorrel::KernelFilter(*family, argv[i + 1]).c_str());
            return 0;
        }
        if (option == "--ring-kib" && i + 1 < argc) {
            if (!readKib(argv[++i], ringKib)) {
                const std::string why = std::string("--ring-kib: \"") + argv[i] + "\" is not a number of KiB from 256 to 262144";
                refuse(0, why, reasons::BadArguments(why));
            }
            continue;
        }
        const std::string why = "unknown option \"" + option + "\" (usage: quorrel-capture [--ring-kib N] IFNAME ADDRESS "
                                "[IFNAME ADDRESS]..., --protocol, --filter ADDRESS)";
        refuse(0, why, reasons::BadArguments(why));
    }
    const int pairs = argc - i;
    if (pairs < 2 || pairs % 2 != 0 || static_cast<std::size_t>(pairs / 2) > quorrel::frame::kMaxCaptures) {
        const std::string why = "usage: quorrel-capture [--ring-kib N] IFNAME ADDRESS [IFNAME ADDRESS]... (at most "
                                + std::to_string(quorrel::frame::kMaxCaptures) + ")";
        refuse(0, why, reasons::BadArguments(why));
    }
    // The rings are kernel memory: one run holds at most what the program asks by default,
    // however many captures it opens.
    if (ringKib * static_cast<std::size_t>(pairs / 2) > kMaxRingsKib) {
        const std::string why = "--ring-kib: " + std::to_string(ringKib) + " KiB for each of "
                                + std::to_string(pairs / 2) + " captures is more than " + std::to_string(kMaxRingsKib)
                                + " KiB in all";
        refuse(0, why, reasons::BadArguments(why));
    }

    // Every argument is checked before anything is opened.
    std::vector<Capture> captures;
    for (; i + 1 < argc; i += 2) {
        Capture c;
        c.index = static_cast<std::uint8_t>(captures.size());
        c.interface = argv[i];
        c.address = argv[i + 1];
        unsigned char bytes[16];
        const std::optional<IpFamily> family = literalAddress(c.address, bytes);
        if (!family)
            refuse(c.index, std::string("\"") + c.address + "\" is not a literal IPv4 or IPv6 address",
                   reasons::NotALiteralAddress(c.address));
        const Holds holds = std::strlen(c.interface) < IFNAMSIZ ? interfaceHolds(c.interface, *family, bytes) : Holds::No;
        if (holds == Holds::No)
            refuse(c.index, std::string(c.address) + " is not an address of interface \"" + c.interface
                                + "\" on this machine",
                   reasons::NotAnAddressOf(c.address, c.interface));
        c.family = *family;
        c.loopback = holds == Holds::OnLoopback;
        captures.push_back(c);
    }

    // The window is the only reason to run: die with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (Capture &c : captures)
        open(c, captures.size(), ringKib);
    if (const std::optional<std::string> failure = dropCapabilities()) {
        output.discard(); // no capture is said to be open: none will be read
        for (Capture &c : captures) {
            if (c.handle) {
                pcap_close(c.handle);
                c.handle = nullptr;
            }
            error(c.index, reasons::Where(c.address, c.interface) + reasons::kRightsKept + *failure);
        }
        output.flush();
        std::fprintf(stderr, "quorrel-capture: could not give up the capture rights: %s\n", failure->c_str());
        return kExitRightsKept;
    }
    if (!output.flush())
        return 0;

    std::vector<pollfd> fds;
    fds.push_back({STDIN_FILENO, POLLIN, 0});
    for (const Capture &c : captures)
        if (c.handle)
            fds.push_back({c.fd, POLLIN, 0});
    nowMs = monotonicMs();
    std::int64_t lastStatsMs = nowMs;
    std::int64_t lastSweepMs = nowMs;
    unsigned char programBytes[64 * quorrel::frame::kDirectionRecord]; // from standard input
    std::size_t fromProgram = 0; // of them, the bytes of a record begun
    while (!outputBroken) {
        if (::poll(fds.data(), fds.size(), quorrel::frame::kStatsIntervalMs) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        nowMs = monotonicMs();
        if (fds[0].revents) {
            // The directions the program's readers read, to pass as before (frame.h).
            unsigned char *in = programBytes;
            const ssize_t n = ::read(STDIN_FILENO, in + fromProgram, sizeof programBytes - fromProgram);
            if (n <= 0)
                break; // the program closed its end: stop capturing
            const std::size_t held = fromProgram + static_cast<std::size_t>(n);
            std::size_t at = 0;
            for (; held - at >= quorrel::frame::kDirectionRecord; at += quorrel::frame::kDirectionRecord)
                flows.followRecord(in + at, nowMs);
            fromProgram = held - at;
            std::memmove(in, in + at, fromProgram);
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
                error(c->index, reasons::Where(c->address, c->interface) + reasons::kCannotRead + pcap_geterr(c->handle));
                fds[k].fd = -1; // poll skips it from now on
            }
        }
        if (nowMs - lastStatsMs >= quorrel::frame::kStatsIntervalMs) {
            lastStatsMs = nowMs;
            for (Capture &c : captures)
                reportStats(c);
        }
        if (nowMs - lastSweepMs >= 1000) {
            lastSweepMs = nowMs;
            flows.evictIdle(nowMs);
        }
        if (!output.flush())
            break;
    }
    for (Capture &c : captures)
        if (c.handle)
            pcap_close(c.handle);
    return 0;
}

#include "network/discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "network/peer_filter.h"

namespace corvell::alpaca {

namespace {

// A UDP socket on `addr`, shared with other programs' discovery sockets on
// the same port (they may use either of the two reuse options).
int shared_udp_socket(const sockaddr* addr, socklen_t len, int& err) {
    const int s = ::socket(addr->sa_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        err = errno;
        return -1;
    }
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    if (addr->sa_family == AF_INET6) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (::bind(s, addr, len) != 0) {
        err = errno;
        ::close(s);
        return -1;
    }
    return s;
}

// Joins the discovery group on every interface that is up and takes
// multicast (a group joined on interface 0 would reach one interface only).
void join_group_everywhere(int s) {
    in6_addr group{};
    inet_pton(AF_INET6, kDiscoveryGroup, &group);
    std::set<unsigned> done;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6) continue;
        if (!(i->ifa_flags & IFF_UP) || !(i->ifa_flags & IFF_MULTICAST)) continue;
        const unsigned index = if_nametoindex(i->ifa_name);
        if (index == 0 || !done.insert(index).second) continue;
        ipv6_mreq req{};
        req.ipv6mr_multiaddr = group;
        req.ipv6mr_interface = index;
        setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req);
    }
    freeifaddrs(list);
}

}  // namespace

DiscoveryResponder::~DiscoveryResponder() { stop(); }

bool DiscoveryResponder::start(int discoveryPort, int alpacaPort, bool localOnly, std::string& error,
                               std::shared_ptr<PeerGate> gate) {
    stop();
    alpacaPort_ = alpacaPort;
    gate_ = std::move(gate);
    int err = 0;

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(discoveryPort));
    v4.sin_addr.s_addr = htonl(localOnly ? INADDR_LOOPBACK : INADDR_ANY);
    const int s4 = shared_udp_socket(reinterpret_cast<sockaddr*>(&v4), sizeof v4, err);
    if (s4 < 0) {
        error = "discovery port " + std::to_string(discoveryPort) + " cannot be opened: " + std::strerror(err);
        return false;
    }
    sockets_.push_back(s4);

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(discoveryPort));
    v6.sin6_addr = localOnly ? in6addr_loopback : in6addr_any;
    const int s6 = shared_udp_socket(reinterpret_cast<sockaddr*>(&v6), sizeof v6, err);
    ipv6_ = s6 >= 0;
    if (ipv6_) {
        if (!localOnly) {
            join_group_everywhere(s6);
            groupSocket_ = s6;
        }
        sockets_.push_back(s6);
    }

    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
    return true;
}

void DiscoveryResponder::stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    for (int s : sockets_) ::close(s);
    sockets_.clear();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    ipv6_ = false;
    groupSocket_ = -1;
    gate_.reset();
}

std::string DiscoveryResponder::families() const { return ipv6_ ? "IPv4 and IPv6" : "IPv4"; }

void DiscoveryResponder::run() {
    const std::string reply = "{\"AlpacaPort\":" + std::to_string(alpacaPort_) + "}";
    std::vector<pollfd> fds;
    for (int s : sockets_) fds.push_back({s, POLLIN, 0});
    fds.push_back({wakeFd_, POLLIN, 0});
    for (;;) {
        // Once a minute the group is joined on the interfaces that have come
        // up since (joining one already joined changes nothing).
        const int n = ::poll(fds.data(), fds.size(), groupSocket_ >= 0 ? 60000 : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds.back().revents) return;
        if (n == 0) {
            join_group_everywhere(groupSocket_);
            continue;
        }
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            // Everything waiting is read; only the exact request is answered.
            for (;;) {
                char buf[64];
                sockaddr_storage from{};
                socklen_t len = sizeof from;
                const ssize_t got =
                    ::recvfrom(fds[i].fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &len);
                if (got < 0) break;
                if (gate_ && !gate_->allows(reinterpret_cast<const sockaddr*>(&from))) continue;
                const size_t requestLen = std::strlen(kDiscoveryRequest);
                if (static_cast<size_t>(got) == requestLen && std::memcmp(buf, kDiscoveryRequest, requestLen) == 0)
                    ::sendto(fds[i].fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    }
}

}  // namespace corvell::alpaca

#include "network/peer_filter.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>
#include <unistd.h>

namespace corvell::alpaca {

namespace {

PeerAddress from_v4(const in_addr& a) {
    PeerAddress p;
    std::memcpy(p.bytes.data(), &a, 4);
    return p;
}

PeerAddress from_v6(const in6_addr& a) {
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        PeerAddress p;
        std::memcpy(p.bytes.data(), a.s6_addr + 12, 4);
        return p;
    }
    PeerAddress p;
    p.v6 = true;
    std::memcpy(p.bytes.data(), a.s6_addr, 16);
    return p;
}

bool is_loopback(const PeerAddress& a) {
    if (!a.v6) return a.bytes[0] == 127;
    for (int i = 0; i < 15; ++i)
        if (a.bytes[i] != 0) return false;
    return a.bytes[15] == 1;
}

bool same_prefix(const PeerAddress& a, const PeerAddress& b, int bits) {
    if (a.v6 != b.v6) return false;
    const int total = a.v6 ? 128 : 32;
    if (bits < 0 || bits > total) return false;
    const int whole = bits / 8;
    if (std::memcmp(a.bytes.data(), b.bytes.data(), static_cast<size_t>(whole)) != 0) return false;
    const int rest = bits % 8;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

int prefix_length(const sockaddr* mask) {
    if (!mask) return -1;
    const uint8_t* bytes = nullptr;
    int n = 0;
    if (mask->sa_family == AF_INET) {
        bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr);
        n = 4;
    } else if (mask->sa_family == AF_INET6) {
        bytes = reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr.s6_addr;
        n = 16;
    } else {
        return -1;
    }
    int bits = 0;
    for (int i = 0; i < n; ++i)
        for (int b = 7; b >= 0 && (bytes[i] >> b & 1); --b) ++bits;
    return bits;
}

}  // namespace

std::optional<PeerAddress> parse_address(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return from_v4(v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return from_v6(v6);
    return std::nullopt;
}

std::optional<PeerAddress> peer_address(const sockaddr* address) {
    if (!address) return std::nullopt;
    if (address->sa_family == AF_INET) return from_v4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    if (address->sa_family == AF_INET6) return from_v6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    return std::nullopt;
}

std::string address_text(const PeerAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text);
    return text;
}

bool peer_allowed(const PeerAddress& peer, const std::vector<LocalNet>& nets, bool allowAny) {
    if (allowAny || is_loopback(peer)) return true;
    for (const LocalNet& net : nets)
        if (same_prefix(peer, net.address, net.prefixLength)) return true;
    return false;
}

std::vector<LocalNet> local_networks() {
    std::vector<LocalNet> nets;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return nets;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!(i->ifa_flags & IFF_UP)) continue;
        const auto address = peer_address(i->ifa_addr);
        if (!address) continue;
        const int bits = prefix_length(i->ifa_netmask);
        if (bits >= 0) nets.push_back({*address, bits});
        if ((i->ifa_flags & IFF_POINTOPOINT) && i->ifa_dstaddr)
            if (const auto far = peer_address(i->ifa_dstaddr)) nets.push_back({*far, far->v6 ? 128 : 32});
    }
    freeifaddrs(list);
    return nets;
}

bool PeerGate::allows(const sockaddr* address) {
    const auto peer = peer_address(address);
    if (!peer) return false;
    if (allowAny_) return true;
    using namespace std::chrono_literals;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = now_();
    // The list is read again every few seconds, and at once (at most once a
    // second) before anyone is refused: a network joined a moment ago counts.
    if (!read_ || now - readAt_ > 10s) {
        nets_ = networks_();
        readAt_ = now;
        read_ = true;
    }
    if (peer_allowed(*peer, nets_, false)) return true;
    if (now - readAt_ < 1s) return false;
    nets_ = networks_();
    readAt_ = now;
    return peer_allowed(*peer, nets_, false);
}

}  // namespace corvell::alpaca

namespace corvell::alpaca {

namespace {
std::string lower_text(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

bool host_name_allowed(const std::string& hostField, const std::vector<std::string>& ownNames) {
    std::string host = hostField;
    if (host.empty()) return true;
    if (host.front() == '[') {
        // A bracketed IPv6 address, with or without a port.
        const size_t close = host.find(']');
        return close != std::string::npos && parse_address(host.substr(1, close - 1)).has_value();
    }
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos) host.erase(colon);
    if (parse_address(host)) return true;
    host = lower_text(host);
    if (!host.empty() && host.back() == '.') host.pop_back();
    const std::string local = "localhost";
    if (host == local || (host.size() > local.size() &&
                          host.compare(host.size() - local.size() - 1, std::string::npos, "." + local) == 0))
        return true;
    for (const std::string& name : ownNames)
        if (!name.empty() && host == lower_text(name)) return true;
    return false;
}

std::vector<std::string> own_host_names() {
    std::vector<std::string> names;
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == 0) return names;
    const std::string name = buffer;
    names.push_back(name);
    // Never a name server's answer: it could keep the server from starting
    // for seconds where the network is down.
    if (name.find('.') == std::string::npos) names.push_back(name + ".local");
    return names;
}

}  // namespace corvell::alpaca

// Who may talk to the Alpaca server when it answers on the local network:
// this computer (loopback) always, and the computers on the networks this
// computer is on (the subnets of its own addresses), unless the setting
// "answer any address" lets everyone in.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sockaddr;

namespace corvell::alpaca {

struct PeerAddress {
    bool v6 = false;
    // IPv4 in the first four bytes. An IPv4-mapped IPv6 address
    // (::ffff:192.168.1.5) is held as the IPv4 address it maps.
    std::array<uint8_t, 16> bytes{};

    bool operator==(const PeerAddress& o) const { return v6 == o.v6 && bytes == o.bytes; }
};

// One subnet of this computer: an address of one of its interfaces and the
// length of the network prefix.
struct LocalNet {
    PeerAddress address;
    int prefixLength = 0;
};

// A numeric address text ("192.168.1.5", "fe80::1", "::ffff:10.0.0.1");
// none when it is not one.
std::optional<PeerAddress> parse_address(const std::string& text);
// The address of a socket address (AF_INET or AF_INET6); none otherwise.
std::optional<PeerAddress> peer_address(const sockaddr* address);
std::string address_text(const PeerAddress& address);

// True when `peer` may talk to the server: any address with `allowAny`,
// loopback always, otherwise an address within one of `nets`.
bool peer_allowed(const PeerAddress& peer, const std::vector<LocalNet>& nets, bool allowAny);

// Whether the Host a request names may be answered: an address (any), a
// name of this computer (`ownNames`, any case, a trailing dot allowed),
// "localhost" and its subdomains, or none at all (HTTP/1.0). Any other name
// is refused: a web page whose name was made to lead to this computer (DNS
// rebinding) names its own site there, and must not move the focuser
// through the user's browser.
bool host_name_allowed(const std::string& host, const std::vector<std::string>& ownNames);
// This computer's names: its host name, and that name in ".local" (mDNS).
std::vector<std::string> own_host_names();

// The subnets of this computer's interfaces that are up, as the system lists
// them now (point-to-point links add their far end).
std::vector<LocalNet> local_networks();

// peer_allowed() with this computer's subnets, read again now and then (an
// interface that comes up later is seen within seconds). Thread-safe.
class PeerGate {
public:
    using Networks = std::function<std::vector<LocalNet>()>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // `networks` lists this computer's subnets and `now` tells the time;
    // tests hand in their own.
    explicit PeerGate(bool allowAny, Networks networks = local_networks, Clock now = std::chrono::steady_clock::now)
        : allowAny_(allowAny), networks_(std::move(networks)), now_(std::move(now)) {}
    bool allows(const sockaddr* address);
    bool allowsAny() const { return allowAny_; }

private:
    const bool allowAny_;
    const Networks networks_;
    const Clock now_;
    std::mutex mutex_;
    std::vector<LocalNet> nets_;
    std::chrono::steady_clock::time_point readAt_{};
    bool read_ = false;
};

}  // namespace corvell::alpaca

// Alpaca discovery: answers the datagram "alpacadiscovery1" on the discovery
// port with {"AlpacaPort": n}, sent back to the sender. IPv4 (broadcasts
// included) and IPv6 (the group ff12::a1:9aca on every interface that can
// take it, joined again now and then for interfaces that come up later); the
// port is shared with other Alpaca servers on the computer. Runs on a thread
// of its own.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvell::alpaca {

class PeerGate;

class DiscoveryResponder {
public:
    DiscoveryResponder() = default;
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // localOnly: listens on 127.0.0.1 and ::1 only. Otherwise on every
    // address. False with the reason when no IPv4 socket could be bound; IPv6
    // is used where the computer has it. `gate`: whose requests are answered
    // (the others are ignored); none: anyone's.
    bool start(int discoveryPort, int alpacaPort, bool localOnly, std::string& error,
               std::shared_ptr<PeerGate> gate = nullptr);
    void stop();
    bool running() const { return thread_.joinable(); }
    // "IPv4 and IPv6", "IPv4": what start() could open.
    std::string families() const;

private:
    void run();
    std::vector<int> sockets_;
    std::shared_ptr<PeerGate> gate_;
    int groupSocket_ = -1;  // the IPv6 socket that joins the group
    bool ipv6_ = false;
    int wakeFd_ = -1;
    int alpacaPort_ = 0;
    std::thread thread_;
};

constexpr const char* kDiscoveryRequest = "alpacadiscovery1";
constexpr const char* kDiscoveryGroup = "ff12::a1:9aca";

}  // namespace corvell::alpaca

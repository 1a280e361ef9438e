// A small authoritative DNS server for tests and the demo: A and AAAA records from a table, over
// UDP and TCP on the addresses it is given (in the network namespace of the thread that starts
// it; TCP connections are served one at a time).
// Unknown names get NXDOMAIN, a known name without a record of the asked type an empty answer.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wexo::peers {

// A standard query with one question (class IN), as a stub resolver sends it.
std::vector<uint8_t> DnsQuery(const std::string& name, uint16_t type = 1, uint16_t id = 0x1234,
                              uint16_t flags = 0x0100);
// A resolver's answer to DnsQuery(name): one A record of `address` pointing back to the question.
std::vector<uint8_t> DnsAnswerA(const std::string& name, const std::array<uint8_t, 4>& address);

class DNS_PEER {
  public:
    DNS_PEER() = default;
    ~DNS_PEER();
    DNS_PEER(const DNS_PEER&) = delete;
    DNS_PEER& operator=(const DNS_PEER&) = delete;

    // A record for `name` (any case): an IPv4 address gives an A record, an IPv6 one an AAAA.
    // False for an address that is neither.
    bool Add(const std::string& name, const std::string& address);
    // Listens on port `port` of each address; false (with the reason) when one cannot be bound.
    bool Start(const std::vector<std::string>& addresses, uint16_t port, std::string* why);
    void Stop();

    // Queries seen for a name (lower case), and the source of the last query of any name.
    size_t QueryCount(const std::string& name) const;
    sockaddr_storage LastClient() const;
    size_t TcpQueries() const;

  private:
    void Serve();
    std::vector<uint8_t> Answer(const uint8_t* query, size_t size);

    struct RECORD {
        uint16_t type;
        std::vector<uint8_t> data;
    };
    mutable std::mutex lock_;
    std::map<std::string, std::vector<RECORD>> records_;
    std::map<std::string, size_t> queries_;
    sockaddr_storage lastClient_{};
    size_t tcpQueries_ = 0;
    void ServeConnection(int listener);

    std::vector<int> sockets_;
    std::vector<int> tcpListeners_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace wexo::peers

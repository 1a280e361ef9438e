#include "tools/peers/dns_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "os/wfp/linux/dns_forwarder.h"

namespace wexo::peers {
namespace {

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeAaaa = 28;
constexpr uint16_t kClassIn = 1;

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

}  // namespace

std::vector<uint8_t> DnsQuery(const std::string& name, uint16_t type, uint16_t id, uint16_t flags) {
    std::vector<uint8_t> query;
    Put16(query, id);
    Put16(query, flags);
    Put16(query, 1);
    for (int i = 0; i < 3; ++i)
        Put16(query, 0);
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        if (dot > start) {
            query.push_back(static_cast<uint8_t>(dot - start));
            query.insert(query.end(), name.begin() + static_cast<long>(start),
                         name.begin() + static_cast<long>(dot));
        }
        start = dot + 1;
    }
    query.push_back(0);
    Put16(query, type);
    Put16(query, kClassIn);
    return query;
}

std::vector<uint8_t> DnsAnswerA(const std::string& name, const std::array<uint8_t, 4>& address) {
    std::vector<uint8_t> answer = DnsQuery(name, 1, 0x1234, 0x8180);
    answer[7] = 1;  // one answer record
    const uint8_t record[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    answer.insert(answer.end(), std::begin(record), std::end(record));
    answer.insert(answer.end(), address.begin(), address.end());
    return answer;
}

DNS_PEER::~DNS_PEER() {
    Stop();
}

bool DNS_PEER::Add(const std::string& name, const std::string& address) {
    RECORD record;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        record.type = kTypeA;
        record.data.assign(reinterpret_cast<uint8_t*>(&v4), reinterpret_cast<uint8_t*>(&v4) + 4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        record.type = kTypeAaaa;
        record.data.assign(v6.s6_addr, v6.s6_addr + 16);
    } else {
        return false;
    }
    std::lock_guard guard(lock_);
    records_[Lower(name)].push_back(std::move(record));
    return true;
}

bool DNS_PEER::Start(const std::vector<std::string>& addresses, uint16_t port, std::string* why) {
    if (thread_.joinable()) {
        *why = "already started";
        return false;
    }
    for (const std::string& text : addresses) {
        sockaddr_storage address{};
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        socklen_t length = 0;
        if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(port);
            length = sizeof v4;
        } else if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(port);
            length = sizeof v6;
        } else {
            *why = "not an address: " + text;
            Stop();
            return false;
        }
        const int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            *why = "cannot bind " + text + ": " + std::strerror(errno);
            if (fd >= 0)
                close(fd);
            Stop();
            return false;
        }
        sockets_.push_back(fd);
        const int tcp = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (tcp >= 0)
            setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (tcp < 0 || bind(tcp, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(tcp, 16) != 0) {
            *why = "cannot listen on " + text + ": " + std::strerror(errno);
            if (tcp >= 0)
                close(tcp);
            Stop();
            return false;
        }
        tcpListeners_.push_back(tcp);
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        *why = std::string("no pipe: ") + std::strerror(errno);
        Stop();
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void DNS_PEER::Stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        [[maybe_unused]] ssize_t n = write(wake_[1], "x", 1);
        thread_.join();
    }
    for (int fd : sockets_)
        close(fd);
    sockets_.clear();
    for (int fd : tcpListeners_)
        close(fd);
    tcpListeners_.clear();
    for (int& fd : wake_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

size_t DNS_PEER::QueryCount(const std::string& name) const {
    std::lock_guard guard(lock_);
    auto it = queries_.find(Lower(name));
    return it != queries_.end() ? it->second : 0;
}

size_t DNS_PEER::TcpQueries() const {
    std::lock_guard guard(lock_);
    return tcpQueries_;
}

sockaddr_storage DNS_PEER::LastClient() const {
    std::lock_guard guard(lock_);
    return lastClient_;
}

void DNS_PEER::Serve() {
    std::vector<pollfd> watched;
    for (int fd : sockets_)
        watched.push_back({fd, POLLIN, 0});
    const size_t firstTcp = watched.size();
    for (int fd : tcpListeners_)
        watched.push_back({fd, POLLIN, 0});
    watched.push_back({wake_[0], POLLIN, 0});
    uint8_t buffer[65536];
    while (!stopping_) {
        if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
            return;
        for (size_t i = 0; i + 1 < watched.size(); ++i) {
            if ((watched[i].revents & POLLIN) == 0)
                continue;
            if (i >= firstTcp) {
                ServeConnection(watched[i].fd);
                continue;
            }
            sockaddr_storage client{};
            socklen_t length = sizeof client;
            const ssize_t n = recvfrom(watched[i].fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&client), &length);
            if (n <= 0)
                continue;
            {
                std::lock_guard guard(lock_);
                lastClient_ = client;
            }
            std::vector<uint8_t> answer = Answer(buffer, static_cast<size_t>(n));
            if (!answer.empty())
                sendto(watched[i].fd, answer.data(), answer.size(), 0,
                       reinterpret_cast<sockaddr*>(&client), length);
        }
    }
}

// Messages of one TCP connection, each with its two length bytes, until the client closes or is
// quiet for a second.
void DNS_PEER::ServeConnection(int listener) {
    sockaddr_storage client{};
    socklen_t length = sizeof client;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&client), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    while (!stopping_) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
        while (bytes.size() >= 2 && bytes.size() >= 2u + (bytes[0] << 8 | bytes[1])) {
            const size_t size = static_cast<size_t>(bytes[0] << 8 | bytes[1]);
            std::vector<uint8_t> answer = Answer(bytes.data() + 2, size);
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(size + 2));
            {
                std::lock_guard guard(lock_);
                lastClient_ = client;
                ++tcpQueries_;
            }
            if (answer.empty())
                continue;
            const uint8_t prefix[2] = {static_cast<uint8_t>(answer.size() >> 8),
                                       static_cast<uint8_t>(answer.size())};
            send(fd, prefix, 2, MSG_NOSIGNAL | MSG_MORE);
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    }
    close(fd);
}

std::vector<uint8_t> DNS_PEER::Answer(const uint8_t* query, size_t size) {
    std::optional<os::wfplinux::DNS_QUESTION> question =
        os::wfplinux::ReadDnsQuestion(std::span<const uint8_t>(query, size));
    if (!question || (query[2] & 0x80) != 0)
        return {};
    std::vector<RECORD> matching;
    bool known = false;
    {
        std::lock_guard guard(lock_);
        ++queries_[question->name];
        auto it = records_.find(question->name);
        known = it != records_.end();
        if (known && question->klass == kClassIn) {
            for (const RECORD& record : it->second) {
                if (record.type == question->type)
                    matching.push_back(record);
            }
        }
    }
    std::vector<uint8_t> answer(query, query + question->end);
    answer[2] = static_cast<uint8_t>(0x84 | (query[2] & 0x01));  // response, authoritative, RD
    answer[3] = known ? 0 : 3;
    answer[6] = 0;
    answer[7] = static_cast<uint8_t>(matching.size());
    for (size_t i = 8; i < 12; ++i)
        answer[i] = 0;
    for (const RECORD& record : matching) {
        Put16(answer, 0xC00C);  // the question's name
        Put16(answer, record.type);
        Put16(answer, kClassIn);
        Put16(answer, 0);
        Put16(answer, 60);
        Put16(answer, static_cast<uint16_t>(record.data.size()));
        answer.insert(answer.end(), record.data.begin(), record.data.end());
    }
    return answer;
}

}  // namespace wexo::peers

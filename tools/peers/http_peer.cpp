#include "tools/peers/http_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace wexo::peers {
namespace {

// Headers cpp-httplib adds to a request on its own; they were not sent by the client.
bool IsSyntheticHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

// The address and port of a socket address, for comparing with what cpp-httplib reports.
bool AddressText(const sockaddr_storage& address, std::string& text, int& port) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, buffer, sizeof(buffer));
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, buffer, sizeof(buffer));
        port = ntohs(v6.sin6_port);
    } else {
        return false;
    }
    text = buffer;
    return true;
}

// The descriptor of the connected socket with these two ends, found among the process's open
// descriptors: cpp-httplib does not hand its sockets to handlers.
int FindConnection(const httplib::Request& request) {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    int found = -1;
    while (dirent* entry = readdir(directory)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(directory)) {
            continue;
        }
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof(local);
        socklen_t peerLength = sizeof(peer);
        if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) !=
                0 ||
            getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) !=
                0) {
            continue;
        }
        std::string localAddress;
        std::string peerAddress;
        int localPort = 0;
        int peerPort = 0;
        if (AddressText(local, localAddress, localPort) &&
            AddressText(peer, peerAddress, peerPort) && localPort == request.local_port &&
            peerPort == request.remote_port && peerAddress == request.remote_addr) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(directory);
    return found;
}

// Shuts (both directions) every connection the peer accepted on `port` and still has open, so
// that the workers waiting on them for a next request wake up and end. Each descriptor is
// duplicated before it is looked at: the duplicate cannot be closed and reused by another thread
// meanwhile, so only a socket that really is one of the peer's connections is shut.
// Descriptor juggling of ShutConnections and ResetConnection: a reset must not swap a descriptor
// while a stop is looking at (a duplicate of) it.
std::mutex gDescriptorLock;

void ShutConnections(const std::string& address, int port) {
    std::lock_guard guard(gDescriptorLock);
    std::vector<int> descriptors;
    if (DIR* directory = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(directory)) {
            char* end = nullptr;
            const long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd != dirfd(directory)) {
                descriptors.push_back(static_cast<int>(fd));
            }
        }
        closedir(directory);
    }
    for (const int fd : descriptors) {
        const int mine = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (mine < 0) {
            continue;
        }
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof(local);
        socklen_t peerLength = sizeof(peer);
        std::string text;
        int localPort = 0;
        if (getsockname(mine, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            getpeername(mine, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            AddressText(local, text, localPort) && text == address && localPort == port) {
            shutdown(mine, SHUT_RDWR);
        }
        close(mine);
    }
}

}  // namespace

std::string PeerRequest::Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

PeerOptions HttpsPeer(std::optional<TlsIdentity> identity) {
    PeerOptions options;
    options.https = true;
    options.identity = std::move(identity);
    return options;
}

bool ResetConnection(const httplib::Request& request) {
    std::lock_guard guard(gDescriptorLock);
    const int fd = FindConnection(request);
    if (fd < 0) {
        return false;
    }
    // Closing a socket whose linger time is zero sends a reset. The descriptor number stays with
    // cpp-httplib, which still owns it: dup2 closes the socket and puts /dev/null in its place, so
    // its reply goes nowhere, its next read sees the end and it closes the descriptor as usual.
    const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nowhere < 0) {
        return false;
    }
    linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    const bool replaced = dup2(nowhere, fd) == fd;
    close(nowhere);
    return replaced;
}

std::string GzipEncode(std::string_view data) {
    z_stream stream{};
    // 15 window bits + 16: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

HttpPeer::HttpPeer(PeerOptions options) : options_(std::move(options)) {
    if (options_.https) {
        identity_ = options_.identity ? *options_.identity : MakeSelfSignedIdentity();
    }
}

HttpPeer::~HttpPeer() {
    Stop();
}

bool HttpPeer::Start() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (server_) {
        return false;
    }
    refusing_ = false;
    return Listen(options_.port);
}

void HttpPeer::Stop() {
    std::lock_guard lifecycle(lifecycleMutex_);
    EndListening();
    refusing_ = false;
}

bool HttpPeer::IsRunning() const {
    std::lock_guard lifecycle(lifecycleMutex_);
    return server_ != nullptr;
}

std::string HttpPeer::HostPort() const {
    return options_.address + ":" + std::to_string(port_);
}

std::string HttpPeer::BaseUrl() const {
    return (options_.https ? "https://" : "http://") + HostPort();
}

std::unique_ptr<httplib::Server> HttpPeer::MakeServer() {
    std::unique_ptr<httplib::Server> server;
    if (options_.https) {
        server = std::make_unique<httplib::SSLServer>([this](SSL_CTX& context) {
            return SSL_CTX_use_certificate(&context, identity_.certificate.get()) == 1 &&
                   SSL_CTX_use_PrivateKey(&context, identity_.key.get()) == 1 &&
                   (options_.minTlsVersion == 0 ||
                    SSL_CTX_set_min_proto_version(&context, options_.minTlsVersion) == 1) &&
                   (options_.maxTlsVersion == 0 ||
                    SSL_CTX_set_max_proto_version(&context, options_.maxTlsVersion) == 1);
        });
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) {
        return nullptr;
    }
    // A client that sent half a request is given up after a second.
    server->set_keep_alive_timeout(options_.keepAliveSeconds);
    server->set_read_timeout(1, 0);
    // Headers and body leave in separate writes; without this the body waits for the client's
    // delayed acknowledgement.
    server->set_tcp_nodelay(true);
    auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        Serve(request, response);
    };
    server->Get(".*", serve);  // and HEAD
    server->Post(".*", serve);
    server->Put(".*", serve);
    server->Patch(".*", serve);
    server->Delete(".*", serve);
    server->Options(".*", serve);
    return server;
}

bool HttpPeer::Listen(int port) {
    std::unique_ptr<httplib::Server> server = MakeServer();
    if (!server) {
        return false;
    }
    int bound = -1;
    if (port == 0) {
        bound = server->bind_to_any_port(options_.address);
    } else if (server->bind_to_port(options_.address, port)) {
        bound = port;
    }
    if (bound <= 0) {
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    httplib::Server* raw = server.get();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    listener_ = std::thread([raw, ended] {
        raw->listen_after_bind();
        ended->store(true);
    });
    // cpp-httplib ignores a stop that comes before its loop has begun, so the loop must be
    // running before anyone can stop it.
    while (!raw->is_running() && !ended->load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (ended->load() && !raw->is_running()) {
        listener_.join();
        return false;
    }
    server_ = std::move(server);
    port_ = bound;
    return true;
}

void HttpPeer::EndListening() {
    if (!server_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    // Workers wait on kept-alive connections for the next request; shutting the connections
    // ends the wait. (The listener is closed, so no new one comes.)
    ShutConnections(options_.address, port_);
    listener_.join();  // the listener joins the workers before it ends
    server_.reset();
}

void HttpPeer::Handle(const std::string& method, const std::string& path, PeerHandler handler) {
    std::lock_guard lock(mutex_);
    handlers_[{method, path}] = std::move(handler);
}

void HttpPeer::HandleOthers(PeerHandler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

void HttpPeer::Reply(const std::string& method, const std::string& path, int status,
                     std::string body, std::string contentType, httplib::Headers headers) {
    Handle(method, path,
           [status, body = std::move(body), contentType = std::move(contentType),
            headers = std::move(headers)](const httplib::Request&, httplib::Response& response) {
               response.status = status;
               for (const auto& [name, value] : headers) {
                   response.headers.emplace(name, value);
               }
               if (!body.empty()) {
                   response.set_content(body, contentType.c_str());
               } else if (!contentType.empty()) {
                   response.set_header("Content-Type", contentType);
               }
           });
}

void HttpPeer::Redirect(const std::string& method, const std::string& path, int status,
                        std::string location) {
    Handle(method, path,
           [status, location = std::move(location)](const httplib::Request&,
                                                    httplib::Response& response) {
               response.status = status;
               response.set_header("Location", location);
           });
}

void HttpPeer::ClearHandlers() {
    std::lock_guard lock(mutex_);
    handlers_.clear();
    fallback_ = nullptr;
}

bool HttpPeer::SetRefuse(bool refuse) {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (refuse) {
        if (server_) {
            EndListening();
            refusing_ = true;
        }
        return true;
    }
    if (!refusing_) {
        return server_ != nullptr;
    }
    refusing_ = false;
    return Listen(port_);
}

void HttpPeer::SetHang(bool hang) {
    {
        std::lock_guard lock(mutex_);
        hang_ = hang;
    }
    changed_.notify_all();
}

void HttpPeer::SetReset(bool reset) {
    std::lock_guard lock(mutex_);
    reset_ = reset;
}

void HttpPeer::SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void HttpPeer::SetGzip(bool gzip) {
    std::lock_guard lock(mutex_);
    gzip_ = gzip;
}

std::vector<PeerRequest> HttpPeer::Requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

size_t HttpPeer::RequestCount() const {
    std::lock_guard lock(mutex_);
    return log_.size();
}

size_t HttpPeer::RequestCount(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const PeerRequest& request : log_) {
        count += request.method == method && request.path == path ? 1 : 0;
    }
    return count;
}

PeerRequest HttpPeer::LastRequest() const {
    std::lock_guard lock(mutex_);
    return log_.empty() ? PeerRequest() : log_.back();
}

void HttpPeer::ClearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

bool HttpPeer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

size_t HttpPeer::HeldCount() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void HttpPeer::Record(const httplib::Request& request) {
    PeerRequest entry;
    entry.method = request.method;
    entry.target = request.target;
    entry.path = request.path;
    const size_t question = request.target.find('?');
    if (question != std::string::npos) {
        entry.query = request.target.substr(question + 1);
    }
    entry.version = request.version;
    for (const auto& [name, value] : request.headers) {
        if (!IsSyntheticHeader(name)) {
            entry.headers.emplace(name, value);
        }
    }
    entry.body = request.body;
    entry.tls = request.ssl != nullptr;
    {
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(entry));
    }
    changed_.notify_all();
}

bool HttpPeer::WaitWhileHanging() {
    std::unique_lock lock(mutex_);
    if (stopping_) {
        return false;
    }
    if (!hang_) {
        return true;
    }
    ++held_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hang_ || stopping_; });
    --held_;
    return !stopping_;
}

bool HttpPeer::WaitDelay() {
    std::unique_lock lock(mutex_);
    const std::chrono::milliseconds delay = delay_;
    if (delay.count() <= 0) {
        return !stopping_;
    }
    return !changed_.wait_for(lock, delay, [&] { return stopping_; });
}

void HttpPeer::Serve(const httplib::Request& request, httplib::Response& response) {
    Record(request);
    bool reset = false;
    {
        std::lock_guard lock(mutex_);
        reset = reset_;
    }
    if (reset || !WaitWhileHanging() || !WaitDelay()) {
        ResetConnection(request);
        response.status = 500;
        return;
    }
    Answer(request, response);
}

void HttpPeer::Answer(const httplib::Request& request, httplib::Response& response) {
    PeerHandler handler;
    bool gzip = false;
    {
        std::lock_guard lock(mutex_);
        auto found = handlers_.find({request.method, request.path});
        if (found == handlers_.end() && request.method == "HEAD") {
            found = handlers_.find({"GET", request.path});
        }
        handler = found != handlers_.end() ? found->second : fallback_;
        gzip = gzip_;
    }
    if (!handler) {
        response.status = 404;
        response.set_content("Not Found", "text/plain");
    } else {
        handler(request, response);
    }
    if (response.body.empty()) {
        return;
    }
    if (gzip) {
        response.body = GzipEncode(response.body);
        response.set_header("Content-Encoding", "gzip");
    }
    // cpp-httplib compresses a plain body by itself when the client accepts gzip; a body handed
    // over as a sized content provider goes out as it is.
    std::string contentType = response.get_header_value("Content-Type");
    if (contentType.empty()) {
        contentType = "text/plain";
    }
    response.headers.erase("Content-Type");
    auto body = std::make_shared<std::string>(std::move(response.body));
    response.body.clear();
    response.set_content_provider(body->size(), contentType.c_str(),
                                  [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                      return sink.write(body->data() + offset, length);
                                  });
}

}  // namespace wexo::peers

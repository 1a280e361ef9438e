#include "os/wfp/sim/sim_network.h"

#include "os/core/clock.h"

namespace os {
namespace {

std::span<const uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

// The two ends of a connection: what each received. Every change wakes waiters.
class SimTcpConnection::Ends final : public StreamEndpoints {
  public:
    explicit Ends(bool redirects) : redirects_(redirects) {}

    void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> bytes) override {
        {
            std::lock_guard guard(lock_);
            SIM_END_STATE& end = direction == FWP_DIRECTION_OUTBOUND ? server_ : client_;
            end.received.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        changed_.Set();
    }
    void DeliverFin(FWP_DIRECTION direction) override {
        {
            std::lock_guard guard(lock_);
            (direction == FWP_DIRECTION_OUTBOUND ? server_ : client_).sawFin = true;
        }
        changed_.Set();
    }
    void Reset() override {
        {
            std::lock_guard guard(lock_);
            client_.reset = server_.reset = true;
        }
        changed_.Set();
    }
    bool CanRedirectServer() const override { return redirects_; }
    NTSTATUS RedirectServer(const IP_ADDRESS_BYTES& address) override {
        if (!redirects_) {
            return STATUS_NOT_SUPPORTED;
        }
        {
            std::lock_guard guard(lock_);
            if (!server_.received.empty() || server_.sawFin || !client_.received.empty() ||
                client_.sawFin) {
                return STATUS_INVALID_DEVICE_STATE;
            }
            server_.redirectedTo = address;
        }
        changed_.Set();
        return STATUS_SUCCESS;
    }

    SIM_END_STATE Client() const {
        std::lock_guard guard(lock_);
        return client_;
    }
    SIM_END_STATE Server() const {
        std::lock_guard guard(lock_);
        return server_;
    }
    Event& Changed() { return changed_; }

  private:
    const bool redirects_;
    mutable std::mutex lock_;
    SIM_END_STATE client_;
    SIM_END_STATE server_;
    Event changed_{EventType::Synchronization};
};

bool SimTcpConnection::ClientSend(std::string_view bytes) {
    return ClientSend(AsBytes(bytes));
}

bool SimTcpConnection::ClientSend(std::span<const uint8_t> bytes) {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_OUTBOUND, bytes, false));
}

bool SimTcpConnection::ClientClose() {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_OUTBOUND, {}, true));
}

bool SimTcpConnection::ClientSendAndClose(std::string_view bytes) {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_OUTBOUND, AsBytes(bytes), true));
}

bool SimTcpConnection::ServerSend(std::string_view bytes) {
    return ServerSend(AsBytes(bytes));
}

bool SimTcpConnection::ServerSend(std::span<const uint8_t> bytes) {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_INBOUND, bytes, false));
}

bool SimTcpConnection::ServerClose() {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_INBOUND, {}, true));
}

bool SimTcpConnection::ServerSendAndClose(std::string_view bytes) {
    return NT_SUCCESS(flow_->Send(FWP_DIRECTION_INBOUND, AsBytes(bytes), true));
}

SimTcpConnection::~SimTcpConnection() {
    if (!flow_->IsDeleted()) {
        flow_->Abort();
    }
}

void SimTcpConnection::Abort() {
    flow_->Abort();
}

std::string SimTcpConnection::ClientReceived() const {
    return ends_->Client().received;
}
std::string SimTcpConnection::ServerReceived() const {
    return ends_->Server().received;
}
bool SimTcpConnection::ClientSawFin() const {
    return ends_->Client().sawFin;
}
bool SimTcpConnection::ServerSawFin() const {
    return ends_->Server().sawFin;
}
bool SimTcpConnection::ClientWasReset() const {
    return ends_->Client().reset;
}
bool SimTcpConnection::ServerWasReset() const {
    return ends_->Server().reset;
}
SIM_END_STATE SimTcpConnection::Client() const {
    return ends_->Client();
}
SIM_END_STATE SimTcpConnection::Server() const {
    return ends_->Server();
}

bool SimTcpConnection::WaitUntil(
    const std::function<bool(const SIM_END_STATE&, const SIM_END_STATE&)>& condition,
    uint32_t milliseconds) {
    uint64_t deadline = QueryInterruptTime() + uint64_t{milliseconds} * kTicksPerMillisecond;
    for (;;) {
        if (condition(ends_->Client(), ends_->Server())) {
            return true;
        }
        uint64_t now = QueryInterruptTime();
        if (now >= deadline) {
            return false;
        }
        uint64_t left = (deadline - now + kTicksPerMillisecond - 1) / kTicksPerMillisecond;
        WaitForSingleObject(ends_->Changed(), static_cast<uint32_t>(left));
    }
}

// ---- UDP ----

class SimUdpExchange::Sink final : public DatagramSink {
  public:
    void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> payload,
                 bool injected) override {
        std::lock_guard guard(lock_);
        auto& list = direction == FWP_DIRECTION_OUTBOUND ? server_ : client_;
        list.push_back(SIM_DATAGRAM{{payload.begin(), payload.end()}, injected});
    }
    std::vector<SIM_DATAGRAM> Client() const {
        std::lock_guard guard(lock_);
        return client_;
    }
    std::vector<SIM_DATAGRAM> Server() const {
        std::lock_guard guard(lock_);
        return server_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<SIM_DATAGRAM> client_;
    std::vector<SIM_DATAGRAM> server_;
};

bool SimUdpExchange::ClientSend(std::span<const uint8_t> payload) {
    return endpoint_->Send(FWP_DIRECTION_OUTBOUND, payload);
}

bool SimUdpExchange::ServerSend(std::span<const uint8_t> payload, bool fragmented) {
    return endpoint_->Send(FWP_DIRECTION_INBOUND, payload, fragmented);
}

std::vector<SIM_DATAGRAM> SimUdpExchange::ClientReceived() const {
    return sink_->Client();
}
std::vector<SIM_DATAGRAM> SimUdpExchange::ServerReceived() const {
    return sink_->Server();
}

// ---- Network ----

IP_ADDRESS_BYTES SimNetwork::ClientAddressV4() {
    return MakeIPv4Address(192, 168, 1, 20);
}

IP_ADDRESS_BYTES SimNetwork::ClientAddressV6() {
    return MakeIPv6Address({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20});
}

SimNetwork::SimNetwork(FilterEngine& engine) : engine_(engine) {}

SimNetwork::~SimNetwork() {
    std::vector<std::shared_ptr<StreamFlow>> open;
    {
        std::lock_guard guard(lock_);
        for (auto& weak : flows_) {
            if (auto flow = weak.lock()) {
                open.push_back(std::move(flow));
            }
        }
    }
    for (auto& flow : open) {
        if (!flow->IsDeleted()) {
            flow->Abort();
        }
    }
    engine_.WaitForCompletions(INFINITE);
}

std::shared_ptr<SimTcpConnection> SimNetwork::OpenTcp(const IP_ADDRESS_BYTES& remote,
                                                      uint16_t remotePort,
                                                      std::optional<uint64_t> processId) {
    FLOW_TUPLE tuple;
    tuple.localAddress =
        remote.family == AddressFamily::IPv6 ? ClientAddressV6() : ClientAddressV4();
    tuple.remoteAddress = remote;
    tuple.remotePort = remotePort;
    tuple.protocol = IPPROTO_TCP_VALUE;
    tuple.interfaceIndex = kInterfaceIndex;
    tuple.subInterfaceIndex = kSubInterfaceIndex;
    {
        std::lock_guard guard(lock_);
        tuple.localPort = nextPort_++;
    }
    auto ends = std::make_shared<SimTcpConnection::Ends>(serverRedirects_);
    std::shared_ptr<StreamFlow> flow = engine_.OpenStreamFlow(tuple, processId, ends);
    {
        std::lock_guard guard(lock_);
        std::erase_if(flows_, [](const auto& weak) { return weak.expired(); });
        flows_.push_back(flow);
    }
    return std::shared_ptr<SimTcpConnection>(
        new SimTcpConnection(std::move(ends), std::move(flow)));
}

std::shared_ptr<SimUdpExchange> SimNetwork::OpenUdp(const IP_ADDRESS_BYTES& server,
                                                    uint16_t serverPort,
                                                    std::optional<uint64_t> processId) {
    FLOW_TUPLE tuple;
    tuple.localAddress =
        server.family == AddressFamily::IPv6 ? ClientAddressV6() : ClientAddressV4();
    tuple.remoteAddress = server;
    tuple.remotePort = serverPort;
    tuple.protocol = IPPROTO_UDP_VALUE;
    tuple.interfaceIndex = kInterfaceIndex;
    tuple.subInterfaceIndex = kSubInterfaceIndex;
    {
        std::lock_guard guard(lock_);
        tuple.localPort = nextPort_++;
    }
    auto sink = std::make_shared<SimUdpExchange::Sink>();
    std::shared_ptr<DatagramEndpoint> endpoint =
        engine_.OpenDatagramEndpoint(tuple, processId, sink);
    return std::shared_ptr<SimUdpExchange>(
        new SimUdpExchange(std::move(sink), std::move(endpoint)));
}

bool SimNetwork::WaitSettled(uint32_t milliseconds) {
    return engine_.WaitForCompletions(milliseconds);
}

}  // namespace os

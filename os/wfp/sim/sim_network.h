// A simulated network for tests and the demo: TCP connections and UDP exchanges between a client
// on this machine and a remote server, whose traffic passes the filtering engine exactly as the
// engine's verdicts say (os/wfp_flow.h). Each end records what it received, in order, whether it
// saw a FIN and whether it was reset.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/sync.h"
#include "os/wfp/wfp_engine.h"
#include "os/wfp/wfp_flow.h"

namespace os {

// What one end of a connection received.
struct SIM_END_STATE {
    std::string received;
    bool sawFin = false;
    bool reset = false;
    // The server's end only: the address a callout had it opened again toward.
    std::optional<IP_ADDRESS_BYTES> redirectedTo;
};

class SimTcpConnection {
  public:
    // An application that lets go of its socket without closing it: the connection is reset.
    ~SimTcpConnection();
    SimTcpConnection(const SimTcpConnection&) = delete;
    SimTcpConnection& operator=(const SimTcpConnection&) = delete;

    // The client's sends go out (indicated outbound), the server's come in (inbound). Each returns
    // false when the engine refused the send: connection reset, or the sender already closed.
    bool ClientSend(std::string_view bytes);
    bool ClientSend(std::span<const uint8_t> bytes);
    bool ClientClose();
    bool ClientSendAndClose(std::string_view bytes);
    bool ServerSend(std::string_view bytes);
    bool ServerSend(std::span<const uint8_t> bytes);
    bool ServerClose();
    bool ServerSendAndClose(std::string_view bytes);
    // A reset from either end.
    void Abort();

    std::string ClientReceived() const;
    std::string ServerReceived() const;
    bool ClientSawFin() const;
    bool ServerSawFin() const;
    bool ClientWasReset() const;
    bool ServerWasReset() const;
    SIM_END_STATE Client() const;
    SIM_END_STATE Server() const;

    // Waits (on the active clock) until the condition on the two ends holds; false on time-out.
    bool WaitUntil(const std::function<bool(const SIM_END_STATE& client,
                                            const SIM_END_STATE& server)>& condition,
                   uint32_t milliseconds);

    uint64_t FlowId() const { return flow_->FlowId(); }
    bool FlowDeleted() const { return flow_->IsDeleted(); }
    const FLOW_TUPLE& Tuple() const { return flow_->Tuple(); }
    StreamFlow& Flow() { return *flow_; }

  private:
    friend class SimNetwork;
    class Ends;
    SimTcpConnection(std::shared_ptr<Ends> ends, std::shared_ptr<StreamFlow> flow)
        : ends_(std::move(ends)), flow_(std::move(flow)) {}

    std::shared_ptr<Ends> ends_;
    std::shared_ptr<StreamFlow> flow_;
};

// One received datagram.
struct SIM_DATAGRAM {
    std::vector<uint8_t> payload;
    bool injected = false;
};

class SimUdpExchange {
  public:
    // Each returns whether the datagram was delivered.
    bool ClientSend(std::span<const uint8_t> payload);
    // `fragmented`: the packet arrives in two memory pieces (see DatagramEndpoint::Send).
    bool ServerSend(std::span<const uint8_t> payload, bool fragmented = false);

    std::vector<SIM_DATAGRAM> ClientReceived() const;
    std::vector<SIM_DATAGRAM> ServerReceived() const;
    const FLOW_TUPLE& Tuple() const { return endpoint_->Tuple(); }
    // The server is not one of the machine's resolvers (see FwpsQueryPacketFromMachineResolver).
    void ServerIsNotAMachineResolver() { endpoint_->SetRemoteNotMachineResolver(); }

  private:
    friend class SimNetwork;
    class Sink;
    SimUdpExchange(std::shared_ptr<Sink> sink, std::shared_ptr<DatagramEndpoint> endpoint)
        : sink_(std::move(sink)), endpoint_(std::move(endpoint)) {}

    std::shared_ptr<Sink> sink_;
    std::shared_ptr<DatagramEndpoint> endpoint_;
};

class SimNetwork {
  public:
    // The client's addresses and the interface its traffic uses.
    static constexpr uint32_t kInterfaceIndex = 7;
    static constexpr uint32_t kSubInterfaceIndex = 1;
    static IP_ADDRESS_BYTES ClientAddressV4();  // 192.168.1.20
    static IP_ADDRESS_BYTES ClientAddressV6();  // fd00::20

    explicit SimNetwork(FilterEngine& engine = FilterEngine::Current());
    // Connections still open are reset, so their flows end; then the completions are awaited.
    ~SimNetwork();
    SimNetwork(const SimNetwork&) = delete;
    SimNetwork& operator=(const SimNetwork&) = delete;

    // A TCP connection from the client (of process `processId`, when known) to remote:port.
    std::shared_ptr<SimTcpConnection> OpenTcp(const IP_ADDRESS_BYTES& remote, uint16_t remotePort,
                                              std::optional<uint64_t> processId);
    std::shared_ptr<SimUdpExchange> OpenUdp(const IP_ADDRESS_BYTES& server, uint16_t serverPort,
                                            std::optional<uint64_t> processId);

    // Connections opened from now on let a callout open their server's end again toward another
    // address, as a proxying backend does (off: as the original platform, it cannot).
    void SetServerRedirects(bool on) { serverRedirects_ = on; }

    // Waits until every injection completion has run (deliveries happen before completions).
    bool WaitSettled(uint32_t milliseconds = 10'000);
    FilterEngine& Engine() { return engine_; }

  private:
    FilterEngine& engine_;
    std::mutex lock_;
    uint16_t nextPort_ = 49152;
    bool serverRedirects_ = false;
    std::vector<std::weak_ptr<StreamFlow>> flows_;
};

}  // namespace os

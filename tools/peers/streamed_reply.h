// A reply whose body an HttpPeer sends piece by piece for as long as the client takes it: a server
// that trickles (a byte a second keeps any idle time-out from running out, so only the client's
// own stop ends the request), or one that never stops sending (so a client that reads it all
// never returns).
//
// Usage:
//   wexo::peers::StreamedReply trickle;                       // one byte a second
//   peer.Handle("GET", "/2/checkin", trickle.Handler());
//   ... start the request; trickle.WaitForStart(1) ...
//   ... stop the client; trickle.WaitForEnd(1): the client went away ...
//
// The handler holds the reply's state, so it may outlive the object; Stop (also the destructor)
// ends every body in progress at its next piece.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/peers/http_peer.h"

namespace wexo::peers {

struct StreamedReplyOptions {
    std::string contentType = "application/json";
    size_t pieceBytes = 1;
    std::chrono::milliseconds interval{1000};  // between pieces; 0: as fast as the client reads
};

class StreamedReply {
  public:
    explicit StreamedReply(StreamedReplyOptions options = {});
    ~StreamedReply();
    StreamedReply(const StreamedReply&) = delete;
    StreamedReply& operator=(const StreamedReply&) = delete;

    // Answers 200 with a chunked body of pieces, one right away.
    PeerHandler Handler();
    // Ends every body in progress, and every later one at once.
    void Stop();

    // Bodies begun, bodies ended (the client left, or Stop), and bytes the client's socket took.
    size_t Started() const;
    size_t Ended() const;
    uint64_t BytesSent() const;
    bool WaitForStart(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    bool WaitForEnd(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    struct STATE;
    std::shared_ptr<STATE> state_;
};

}  // namespace wexo::peers

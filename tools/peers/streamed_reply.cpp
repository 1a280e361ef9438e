#include "tools/peers/streamed_reply.h"

#include <condition_variable>
#include <mutex>

namespace wexo::peers {

struct StreamedReply::STATE {
    StreamedReplyOptions options;
    std::string piece;
    mutable std::mutex lock;
    std::condition_variable changed;
    bool stopping = false;
    size_t started = 0;
    size_t ended = 0;
    uint64_t sent = 0;

    // One body, on the peer's worker thread: pieces until the client stops taking them.
    bool Next(httplib::DataSink& sink) {
        std::unique_lock guard(lock);
        if (stopping) {
            return false;
        }
        guard.unlock();
        if (!sink.is_writable() || !sink.write(piece.data(), piece.size())) {
            return false;
        }
        guard.lock();
        sent += piece.size();
        if (options.interval.count() > 0) {
            changed.wait_for(guard, options.interval, [this] { return stopping; });
        }
        return !stopping;
    }
    void BodyEnded() {
        {
            std::lock_guard guard(lock);
            ++ended;
        }
        changed.notify_all();
    }
};

StreamedReply::StreamedReply(StreamedReplyOptions options) : state_(std::make_shared<STATE>()) {
    state_->options = std::move(options);
    state_->piece.assign(state_->options.pieceBytes == 0 ? 1 : state_->options.pieceBytes, 'x');
}

StreamedReply::~StreamedReply() {
    Stop();
}

PeerHandler StreamedReply::Handler() {
    return [state = state_](const httplib::Request&, httplib::Response& response) {
        {
            std::lock_guard guard(state->lock);
            ++state->started;
        }
        state->changed.notify_all();
        response.status = 200;
        response.set_chunked_content_provider(
            state->options.contentType,
            [state](size_t, httplib::DataSink& sink) { return state->Next(sink); },
            [state](bool) { state->BodyEnded(); });
    };
}

void StreamedReply::Stop() {
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
    }
    state_->changed.notify_all();
}

size_t StreamedReply::Started() const {
    std::lock_guard guard(state_->lock);
    return state_->started;
}

size_t StreamedReply::Ended() const {
    std::lock_guard guard(state_->lock);
    return state_->ended;
}

uint64_t StreamedReply::BytesSent() const {
    std::lock_guard guard(state_->lock);
    return state_->sent;
}

bool StreamedReply::WaitForStart(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, limit, [&] { return state_->started >= count; });
}

bool StreamedReply::WaitForEnd(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, limit, [&] { return state_->ended >= count; });
}

}  // namespace wexo::peers

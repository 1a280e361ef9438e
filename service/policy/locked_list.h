// A list under its own recursive mutex, as the decision's shared lists need it: the allowed-URL
// cache (front insertion, move-to-front on a hit, removal from the back), the blocked-address cache
// (append at the back, stale entries dropped during a scan) and the hotspot addresses.
//
// Every operation takes the mutex for itself. A scan holds it from the first entry to the last, so
// no other thread changes the list in between; the mutex is recursive so that a caller holding
// Lock() across several steps (a scan and what it decides) may use the list's own operations.
// The list owns its entries: an entry removed by a scan is destroyed as the scan goes on, and
// PopBack hands the entry to the caller.
#pragma once

#include <cstddef>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

namespace wexo::svc {

// What a scan does with the entry it has just visited.
enum class LIST_VISIT {
    Next,    // keep it and go on
    Remove,  // destroy it and go on
    Stop,    // keep it and end the scan
    MoveToFrontAndStop,
};

template <typename ENTRY>
class LOCKED_LIST {
  public:
    using GUARD = std::unique_lock<std::recursive_mutex>;

    LOCKED_LIST() = default;
    LOCKED_LIST(const LOCKED_LIST&) = delete;
    LOCKED_LIST& operator=(const LOCKED_LIST&) = delete;

    // Held across several operations by a caller that must see them as one.
    GUARD Lock() const { return GUARD(mutex_); }

    void InsertFront(std::unique_ptr<ENTRY> entry) {
        GUARD guard(mutex_);
        entries_.push_front(std::move(entry));
    }
    void AppendBack(std::unique_ptr<ENTRY> entry) {
        GUARD guard(mutex_);
        entries_.push_back(std::move(entry));
    }
    // The entry at the back, taken out of the list; null when the list is empty.
    std::unique_ptr<ENTRY> PopBack() {
        GUARD guard(mutex_);
        if (entries_.empty()) {
            return nullptr;
        }
        std::unique_ptr<ENTRY> entry = std::move(entries_.back());
        entries_.pop_back();
        return entry;
    }

    // Visits the entries from the front with the mutex held throughout; `visit(ENTRY&)` returns a
    // LIST_VISIT. Returns the entry the scan stopped at (moved to the front when asked), or null
    // when it ran to the end. The pointer stays valid only while the caller holds Lock().
    template <typename VISITOR>
    ENTRY* Scan(VISITOR&& visit) {
        GUARD guard(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            switch (visit(**it)) {
                case LIST_VISIT::Next:
                    ++it;
                    break;
                case LIST_VISIT::Remove:
                    it = entries_.erase(it);
                    break;
                case LIST_VISIT::Stop:
                    return it->get();
                case LIST_VISIT::MoveToFrontAndStop:
                    entries_.splice(entries_.begin(), entries_, it);
                    return entries_.front().get();
            }
        }
        return nullptr;
    }

    size_t Count() const {
        GUARD guard(mutex_);
        return entries_.size();
    }
    bool Empty() const { return Count() == 0; }

  private:
    mutable std::recursive_mutex mutex_;
    std::list<std::unique_ptr<ENTRY>> entries_;
};

}  // namespace wexo::svc

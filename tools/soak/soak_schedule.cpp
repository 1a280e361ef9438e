#include "tools/soak/soak_schedule.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace wexo::soak {

const char* PhaseName(PHASE phase) {
    switch (phase) {
        case PHASE::Normal:
            return "normal";
        case PHASE::ServerErrors:
            return "the policy server answers 500";
        case PHASE::Garbage:
            return "the policy server answers garbage";
        case PHASE::Hanging:
            return "the policy server hangs";
        case PHASE::Refusing:
            return "the policy server refuses connections";
    }
    return "";
}

void Enter(peers::PolicyServer& server, PHASE phase) {
    auto& pages = server.Pages();
    auto& peer = server.Peer();
    pages.ClearMobileAnswer();
    peer.SetHang(false);
    peer.SetRefuse(false);
    switch (phase) {
        case PHASE::Normal:
            break;
        case PHASE::ServerErrors:
            pages.SetMobileAnswer(500, "broken", "text/html");
            break;
        case PHASE::Garbage:
            pages.SetMobileAnswer(200, "<Ostrel><Redirect>\x01\x02 not a reply", "text/xml");
            break;
        case PHASE::Hanging:
            peer.SetHang(true);
            break;
        case PHASE::Refusing:
            peer.SetRefuse(true);
            break;
    }
}

size_t CountEntries(const std::string& folder) {
    size_t count = 0;
    // Opened with open(2) rather than opendir: ThreadSanitizer sees a descriptor made by open, and
    // one made inside opendir (reusing the number of a socket another thread wrote to and closed)
    // only when closedir closes it, which it then reports as a race on the descriptor.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return 0;
    }
    while (struct dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(dir);
    return count;
}

}  // namespace wexo::soak

// policy-server: the reference policy server as a program.
//
//   policy-server [--port N] [--https] [--policy FILE] [--quiet]
//
// Serves the policy server's pages on 127.0.0.1, port N (0 or none: a port chosen now), over
// plain HTTP or, with --https, over TLS with a self-signed certificate made at start. The policy
// comes from FILE (format in docs/policy-server.md; none: allow everything, every setting off) and
// is read again whenever the file changes. Prints the address it listens on, then one line per
// policy decision (unless --quiet), and serves until SIGINT or SIGTERM.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "tools/peers/peer_tls.h"
#include "tools/peers/policy_server.h"

namespace {

struct Arguments {
    int port = 0;
    bool https = false;
    bool quiet = false;
    std::string policy;
};

void Usage() {
    std::fprintf(stderr, "usage: policy-server [--port N] [--https] [--policy FILE] [--quiet]\n");
}

// Returns false (after a message) on a bad argument.
bool Parse(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--https") {
            arguments.https = true;
        } else if (argument == "--quiet") {
            arguments.quiet = true;
        } else if (argument == "--policy" && i + 1 < argc) {
            arguments.policy = argv[++i];
        } else if (argument == "--port" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "policy-server: invalid port \"%s\"\n", argv[i]);
                return false;
            }
            arguments.port = static_cast<int>(port);
        } else {
            std::fprintf(stderr, "policy-server: invalid argument \"%s\"\n", argv[i]);
            Usage();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!Parse(argc, argv, arguments)) {
        return 2;
    }

    // Signals are taken by one thread with sigwait, which stops the server from outside any
    // signal handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    wexo::peers::PolicyPages pages;
    if (!arguments.policy.empty()) {
        std::string error;
        if (!pages.LoadPolicyFile(arguments.policy, &error)) {
            std::fprintf(stderr, "policy-server: %s: %s\n", arguments.policy.c_str(),
                         error.c_str());
            return 2;
        }
    }
    if (!arguments.quiet) {
        pages.SetActivityLog([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
    }
    std::unique_ptr<httplib::Server> server;
    wexo::peers::TlsIdentity identity;
    if (arguments.https) {
        identity = wexo::peers::MakeSelfSignedIdentity();
        server =
            std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) {
        std::fprintf(stderr, "policy-server: the TLS server could not be set up\n");
        return 1;
    }
    for (auto& page : pages.Pages()) {
        if (page.method == "GET") {
            server->Get(page.path, page.handler);  // and HEAD
        } else if (page.method == "POST") {
            server->Post(page.path, page.handler);
        }
    }

    int port = arguments.port;
    if (port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
    } else if (!server->bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "policy-server: cannot listen on 127.0.0.1:%d: %s\n", arguments.port,
                     std::strerror(errno));
        return 1;
    }
    const std::string baseUrl =
        std::string(arguments.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    pages.SetBaseUrl(baseUrl);
    std::printf("Policy server listening on %s\n", baseUrl.c_str());
    std::fflush(stdout);

    std::atomic<bool> signalled{false};
    std::thread stopper([&server, &signalled, signals] {
        int received = 0;
        sigwait(&signals, &received);
        signalled = true;
        server->stop();
    });
    server->listen_after_bind();
    if (!signalled) {
        // listen ended by itself: wake the stopper so that it can be joined.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    return 0;
}

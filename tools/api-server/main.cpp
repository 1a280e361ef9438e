// api-server: the reference API server as a program.
//
//   api-server [--port N] [--http] [--devices FILE] [--updates FOLDER] [--quiet]
//
// Serves the API server's pages on 127.0.0.1, port N (0 or none: a port chosen now), over TLS
// with a self-signed certificate made at start (the service always checks in over HTTPS) or, with
// --http, over plain HTTP. The devices come from FILE (format in docs/api-server.md; none: no
// device is registered, every check-in is answered 404) and are read again whenever the file
// changes; update packages are served from FOLDER. Prints the address it listens on, then one line
// per request (unless --quiet), and serves until SIGINT or SIGTERM.
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

#include "tools/peers/api_server.h"
#include "tools/peers/peer_tls.h"

namespace {

struct Arguments {
    int port = 0;
    bool http = false;
    bool quiet = false;
    std::string devices;
    std::string updates;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: api-server [--port N] [--http] [--devices FILE] [--updates FOLDER] "
                 "[--quiet]\n");
}

// Returns false (after a message) on a bad argument.
bool Parse(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--http") {
            arguments.http = true;
        } else if (argument == "--quiet") {
            arguments.quiet = true;
        } else if (argument == "--devices" && i + 1 < argc) {
            arguments.devices = argv[++i];
        } else if (argument == "--updates" && i + 1 < argc) {
            arguments.updates = argv[++i];
        } else if (argument == "--port" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "api-server: invalid port \"%s\"\n", argv[i]);
                return false;
            }
            arguments.port = static_cast<int>(port);
        } else {
            std::fprintf(stderr, "api-server: invalid argument \"%s\"\n", argv[i]);
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

    wexo::peers::ApiPages pages;
    if (!arguments.devices.empty()) {
        std::string error;
        if (!pages.LoadDevicesFile(arguments.devices, &error)) {
            std::fprintf(stderr, "api-server: %s: %s\n", arguments.devices.c_str(), error.c_str());
            return 2;
        }
    }
    pages.SetUpdatesFolder(arguments.updates);
    if (!arguments.quiet) {
        pages.SetActivityLog([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
    }
    std::unique_ptr<httplib::Server> server;
    wexo::peers::TlsIdentity identity;
    if (arguments.http) {
        server = std::make_unique<httplib::Server>();
    } else {
        identity = wexo::peers::MakeSelfSignedIdentity();
        server =
            std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
    }
    if (!server->is_valid()) {
        std::fprintf(stderr, "api-server: the TLS server could not be set up\n");
        return 1;
    }
    for (auto& page : pages.Pages()) {
        // A prefix page takes every path below it ("/updates/<file>").
        const std::string pattern = page.prefix ? page.path + ".*" : page.path;
        if (page.method == "GET") {
            server->Get(pattern, page.handler);  // and HEAD
        }
    }

    int port = arguments.port;
    if (port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
    } else if (!server->bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "api-server: cannot listen on 127.0.0.1:%d: %s\n", arguments.port,
                     std::strerror(errno));
        return 1;
    }
    const std::string baseUrl =
        std::string(arguments.http ? "http" : "https") + "://127.0.0.1:" + std::to_string(port);
    pages.SetBaseUrl(baseUrl);
    std::printf("API server listening on %s\n", baseUrl.c_str());
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

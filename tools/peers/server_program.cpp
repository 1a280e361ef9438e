#include "tools/peers/server_program.h"

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "tools/peers/peer_tls.h"

namespace wexo::peers {
namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

SERVER_PROGRAM::SERVER_PROGRAM(NAMES names, bool httpsByDefault)
    : names_(std::move(names)), httpsByDefault_(httpsByDefault), https_(httpsByDefault) {}

void SERVER_PROGRAM::AddOption(std::string name, std::string* value) {
    options_.emplace_back(std::move(name), value);
}

bool SERVER_PROGRAM::Parse(int argc, char** argv) {
    const char* const tlsSwitch = httpsByDefault_ ? "--http" : "--https";
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool taken = false;
        if (argument == tlsSwitch) {
            https_ = !httpsByDefault_;
            taken = true;
        } else if (argument == "--quiet") {
            quiet_ = true;
            taken = true;
        } else if (argument == "--write-ca" && i + 1 < argc) {
            caFile_ = argv[++i];
            taken = true;
        } else if (argument == "--port" && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const long port = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "%s: invalid port \"%s\"\n", names_.program.c_str(), argv[i]);
                return false;
            }
            port_ = static_cast<int>(port);
            taken = true;
        } else if (i + 1 < argc) {
            for (const auto& [name, value] : options_) {
                if (argument == name) {
                    *value = argv[++i];
                    taken = true;
                    break;
                }
            }
        }
        if (!taken) {
            std::fprintf(stderr, "%s: invalid argument \"%s\"\n", names_.program.c_str(), argv[i]);
            std::fputs(names_.usage.c_str(), stderr);
            return false;
        }
    }
    return true;
}

bool SERVER_PROGRAM::Start(int argc, char** argv) {
    if (!Parse(argc, argv)) {
        return false;
    }
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return true;
}

int SERVER_PROGRAM::Refuse(const std::string& path, const std::string& error) const {
    std::fprintf(stderr, "%s: %s: %s\n", names_.program.c_str(), path.c_str(), error.c_str());
    return 2;
}

int SERVER_PROGRAM::Serve(REFERENCE_PAGES& pages, const std::vector<REFERENCE_PAGE>& table) {
    if (!quiet_) {
        pages.SetActivityLog([](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
    }
    // Declared first so that it outlasts the server that presents it.
    TlsIdentity identity;
    std::unique_ptr<httplib::Server> server;
    if (https_) {
        // A certificate a client can verify once it trusts the authority, as a deployment's
        // server has.
        const TestCertificateAuthority authority(names_.title + " test CA");
        CertificateOptions options;
        options.altNames = {"127.0.0.1", "localhost"};
        identity = authority.Issue(options);
        if (!caFile_.empty() && !authority.WriteCertificateFile(caFile_)) {
            std::fprintf(stderr, "%s: %s cannot be written\n", names_.program.c_str(),
                         caFile_.c_str());
            return 1;
        }
        server =
            std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) {
        std::fprintf(stderr, "%s: the TLS server could not be set up\n", names_.program.c_str());
        return 1;
    }
    for (const REFERENCE_PAGE& page : table) {
        // A prefix page takes every path below it ("/updates/<file>").
        const std::string pattern = page.prefix ? page.path + ".*" : page.path;
        if (page.method == "GET") {
            server->Get(pattern, page.handler);  // and HEAD
        } else if (page.method == "POST") {
            server->Post(pattern, page.handler);
        }
    }

    int port = port_;
    if (port == 0) {
        port = server->bind_to_any_port("127.0.0.1");
    } else if (!server->bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "%s: cannot listen on 127.0.0.1:%d: %s\n", names_.program.c_str(),
                     port_, std::strerror(errno));
        return 1;
    }
    const std::string baseUrl =
        std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    pages.SetBaseUrl(baseUrl);
    std::printf("%s listening on %s\n", names_.title.c_str(), baseUrl.c_str());
    std::fflush(stdout);

    std::atomic<bool> signalled{false};
    std::thread stopper([&server, &signalled] {
        const sigset_t signals = StopSignals();
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

}  // namespace wexo::peers

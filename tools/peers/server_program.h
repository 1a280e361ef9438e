// The parts the reference servers' programs (api-server, policy-server) share: the command line
// they both take, and serving a page table on 127.0.0.1 until SIGINT or SIGTERM.
//
//   <program> [--port N] [--http | --https] [--write-ca FILE] [--<file option> VALUE ...] [--quiet]
//
// Over TLS the server presents a certificate for 127.0.0.1 and localhost issued by a certificate
// authority made at start; "--write-ca FILE" writes that authority's certificate (PEM) to FILE
// before the server announces itself, for a client to trust (the service's "TlsCaFile").
//
// Usage, in main:
//   SERVER_PROGRAM program({"policy-server", "Policy server", "usage: ...\n"}, false);
//   program.AddOption("--policy", &policyPath);
//   if (!program.Start(argc, argv)) return 2;
//   ... set the pages up (a file that does not read: return program.Refuse(path, error)) ...
//   return program.Serve(pages, pages.Pages());
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/peers/reference_server.h"

namespace wexo::peers {

class SERVER_PROGRAM {
  public:
    struct NAMES {
        std::string program;  // "api-server": begins every message
        std::string title;    // "API server": begins the line that says where it listens
        std::string usage;    // the whole usage message, with its newline
    };

    // `httpsByDefault`: TLS unless "--http" is given; otherwise plain HTTP unless "--https".
    SERVER_PROGRAM(NAMES names, bool httpsByDefault);
    SERVER_PROGRAM(const SERVER_PROGRAM&) = delete;
    SERVER_PROGRAM& operator=(const SERVER_PROGRAM&) = delete;

    // An option with a value ("--devices FILE"), read into *value (which must outlive Start).
    void AddOption(std::string name, std::string* value);

    // Reads the arguments; false after saying what is wrong (the program then exits with 2). Then
    // blocks SIGINT and SIGTERM in the whole process, before any thread is started, so that every
    // thread leaves them to the one Serve waits for them on: the server is stopped from outside
    // any signal handler, and a signal that comes while the program is still setting up is kept
    // until then.
    bool Start(int argc, char** argv);

    // Says why the file does not read ("<program>: <path>: <error>"); the exit code to return.
    int Refuse(const std::string& path, const std::string& error) const;

    // Serves the pages (their activity log on standard output, unless --quiet) and prints
    // "<title> listening on <base URL>" once they are reachable; returns the exit code once a
    // signal has stopped it, or at once when it cannot listen.
    int Serve(REFERENCE_PAGES& pages, const std::vector<REFERENCE_PAGE>& table);

  private:
    bool Parse(int argc, char** argv);

    const NAMES names_;
    const bool httpsByDefault_;
    std::vector<std::pair<std::string, std::string*>> options_;
    int port_ = 0;
    bool https_ = false;
    std::string caFile_;  // where the authority's certificate is written; empty: nowhere
    bool quiet_ = false;
};

}  // namespace wexo::peers

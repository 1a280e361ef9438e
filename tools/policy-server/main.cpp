// policy-server: the reference policy server as a program.
//
//   policy-server [--port N] [--https] [--policy FILE] [--quiet]
//
// Serves the policy server's pages on 127.0.0.1, port N (0 or none: a port chosen now), over
// plain HTTP or, with --https, over TLS with a self-signed certificate made at start. The policy
// comes from FILE (format in docs/policy-server.md; none: allow everything, every setting off) and
// is read again whenever the file changes. Prints the address it listens on, then one line per
// policy decision (unless --quiet), and serves until SIGINT or SIGTERM.
#include <string>

#include "tools/peers/policy_server.h"
#include "tools/peers/server_program.h"

int main(int argc, char** argv) {
    wexo::peers::SERVER_PROGRAM program(
        {"policy-server", "Policy server",
         "usage: policy-server [--port N] [--https] [--policy FILE] [--quiet]\n"},
        /*httpsByDefault=*/false);
    std::string policy;
    program.AddOption("--policy", &policy);
    if (!program.Start(argc, argv)) {
        return 2;
    }

    wexo::peers::PolicyPages pages;
    if (!policy.empty()) {
        std::string error;
        if (!pages.LoadPolicyFile(policy, &error)) {
            return program.Refuse(policy, error);
        }
    }
    return program.Serve(pages, pages.Pages());
}

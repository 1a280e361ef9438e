// api-server: the reference API server as a program.
//
//   api-server [--port N] [--http] [--write-ca FILE] [--devices FILE] [--updates FOLDER]
//              [--signing-key FILE] [--quiet]
//
// Serves the API server's pages on 127.0.0.1, port N (0 or none: a port chosen now), over TLS
// with a certificate for 127.0.0.1 and localhost issued by an authority made at start (the service
// always checks in over HTTPS and verifies the server; --write-ca FILE writes the authority's
// certificate for it to trust) or, with --http, over plain HTTP. The devices come from FILE (format
// in docs/api-server.md; none: no device is registered, every check-in is answered 404) and are
// read again whenever the file changes; update packages are served from FOLDER, each with its
// Ed25519 signature beside it
// ("<package>.sig") when a signing key (a PEM private key FILE) is given. Prints the address it
// listens on, then one line per request (unless --quiet), and serves until SIGINT or SIGTERM.
#include <string>

#include "tools/peers/api_server.h"
#include "tools/peers/server_program.h"

int main(int argc, char** argv) {
    wexo::peers::SERVER_PROGRAM program(
        {"api-server", "API server",
         "usage: api-server [--port N] [--http] [--write-ca FILE] [--devices FILE] "
         "[--updates FOLDER] [--signing-key FILE] [--quiet]\n"},
        /*httpsByDefault=*/true);
    std::string devices;
    std::string updates;
    std::string signingKey;
    program.AddOption("--devices", &devices);
    program.AddOption("--updates", &updates);
    program.AddOption("--signing-key", &signingKey);
    if (!program.Start(argc, argv)) {
        return 2;
    }

    wexo::peers::ApiPages pages;
    if (!devices.empty()) {
        std::string error;
        if (!pages.LoadDevicesFile(devices, &error)) {
            return program.Refuse(devices, error);
        }
    }
    pages.SetUpdatesFolder(updates);
    if (!signingKey.empty()) {
        std::string error;
        if (!pages.LoadSigningKeyFile(signingKey, &error)) {
            return program.Refuse(signingKey, error);
        }
    }
    return program.Serve(pages, pages.Pages());
}

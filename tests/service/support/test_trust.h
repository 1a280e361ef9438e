// A certificate authority of the test's own, made at run time, that the service's verified HTTPS
// requests (the check-in, the DNS remap list, update downloads) trust while it lives: the
// process's TLS policy names its root as the CA file, as the product key's "TlsCaFile" does. The
// loopback servers of a test present leaf certificates it issues, so that those requests run with
// verification on.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "service/support/http_engine.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/peer_tls.h"

namespace wexo::svc::testing_http {

class SCOPED_TEST_TRUST {
  public:
    // `acceptAnyServer`: the policy also says what "AcceptAnyServerCertificate" says.
    explicit SCOPED_TEST_TRUST(bool acceptAnyServer = false) : previous_(GetHttpTlsPolicy()) {
        char pattern[] = "/tmp/wexo-test-ca-XXXXXX";
        const int descriptor = mkstemp(pattern);
        if (descriptor < 0) {
            throw std::runtime_error("no file for the test CA");
        }
        close(descriptor);
        caFile_ = pattern;
        if (!authority_.WriteCertificateFile(caFile_)) {
            throw std::runtime_error("the test CA could not be written");
        }
        HTTP_TLS_POLICY policy;
        policy.caFile = caFile_;
        policy.acceptAnyServer = acceptAnyServer;
        SetHttpTlsPolicy(policy);
    }
    ~SCOPED_TEST_TRUST() {
        SetHttpTlsPolicy(previous_);
        unlink(caFile_.c_str());
    }
    SCOPED_TEST_TRUST(const SCOPED_TEST_TRUST&) = delete;
    SCOPED_TEST_TRUST& operator=(const SCOPED_TEST_TRUST&) = delete;

    // An HTTPS peer's options with a certificate of this authority for `names` (the first is also
    // the common name).
    peers::PeerOptions Server(std::vector<std::string> names = {"127.0.0.1", "localhost"}) const {
        peers::CertificateOptions options;
        options.commonName = names.front();
        options.altNames = std::move(names);
        return peers::HttpsPeer(authority_.Issue(options));
    }
    const std::string& CaFile() const { return caFile_; }

  private:
    HTTP_TLS_POLICY previous_;
    peers::TestCertificateAuthority authority_{"Wexo Test Deployment CA"};
    std::string caFile_;
};

}  // namespace wexo::svc::testing_http

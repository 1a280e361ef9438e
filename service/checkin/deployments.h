// The server deployments the service can run against: Production, Staging and Development, each
// with its mobile server, its API (check-in) server and the page a lookup is sent to when no policy
// server answers and block on failure is set. The process runs against one of them, selected at
// start (command line, registry value "Deployment", else Production).
//
// Tests and the demo point the Development row at servers on loopback ("127.0.0.1:<port>") and
// select it; the other rows never change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wexo::svc {

constexpr int32_t DEPLOYMENT_PRODUCTION = 1;
constexpr int32_t DEPLOYMENT_STAGING = 2;
constexpr int32_t DEPLOYMENT_DEVELOPMENT = 3;

// The page of the mobile server a blocked-on-failure lookup is sent to.
constexpr char kBlockOnFailurePage[] = "/BlockOnFailure.html";

struct DEPLOYMENT {
    int32_t number = 0;
    std::string name;          // "Production", "Staging", "Development"
    std::string mobileServer;  // host name, or "host:port"
    std::string apiServer;
    std::string blockOnFailureUrl;  // "http://" + mobile server + "/BlockOnFailure.html"
    // The host names as UTF-16, for the lines and calls that take wide text.
    std::u16string mobileServerWide;
    std::u16string apiServerWide;
};

// Whether the number names a row (1 to 3).
bool IsValidDeployment(int32_t number);
// A copy of the row; a number outside 1-3 gives the Production row.
DEPLOYMENT DeploymentRow(int32_t number);

// The deployment the process runs against (Production until one is selected). Selecting a number
// outside 1-3 selects Production. Returns the number selected.
int32_t SelectDeployment(int32_t number);
DEPLOYMENT CurrentDeployment();

// Points the Development row at other servers (tests, the demo): the block-on-failure URL follows
// the mobile server. Empty names restore the row's own hosts.
void SetDevelopmentServers(std::string_view mobileServer, std::string_view apiServer);

// "%s Deployment:\n    Mobile server = %s,\n    API server = %s,\n    Block-on-failure URL = %s",
// or "Invalid deployment = %ld" for a number outside 1-3.
void LogDeployment(int32_t number);

// For its lifetime: the Development row points at the given servers and is selected. The previous
// selection and the row's own hosts come back when it goes.
class SCOPED_DEVELOPMENT_DEPLOYMENT {
  public:
    SCOPED_DEVELOPMENT_DEPLOYMENT(std::string_view mobileServer, std::string_view apiServer);
    ~SCOPED_DEVELOPMENT_DEPLOYMENT();
    SCOPED_DEVELOPMENT_DEPLOYMENT(const SCOPED_DEVELOPMENT_DEPLOYMENT&) = delete;
    SCOPED_DEVELOPMENT_DEPLOYMENT& operator=(const SCOPED_DEVELOPMENT_DEPLOYMENT&) = delete;

  private:
    int32_t previous_;
};

}  // namespace wexo::svc

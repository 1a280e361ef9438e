#include "service/checkin/deployments.h"

#include <mutex>

#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

struct HOSTS {
    const char* name;
    const char* mobileServer;
    const char* apiServer;
};

// The product's own servers, all in the service domain (so that lookups for them are never made).
constexpr HOSTS kRows[] = {
    {"Production", "mobile.wexo-filter.net", "api.wexo-filter.net"},
    {"Staging", "mobile-staging.wexo-filter.net", "api-staging.wexo-filter.net"},
    {"Development", "mobile-dev.wexo-filter.net", "api-dev.wexo-filter.net"},
};

std::u16string Widen(std::string_view text) {
    // Host names are ASCII; anything else is carried byte for byte.
    return std::u16string(text.begin(), text.end());
}

DEPLOYMENT MakeRow(int32_t number, std::string_view mobileServer, std::string_view apiServer) {
    DEPLOYMENT row;
    row.number = number;
    row.name = kRows[number - 1].name;
    row.mobileServer = std::string(mobileServer);
    row.apiServer = std::string(apiServer);
    row.blockOnFailureUrl = "http://" + row.mobileServer + kBlockOnFailurePage;
    row.mobileServerWide = Widen(row.mobileServer);
    row.apiServerWide = Widen(row.apiServer);
    return row;
}

DEPLOYMENT OwnRow(int32_t number) {
    return MakeRow(number, kRows[number - 1].mobileServer, kRows[number - 1].apiServer);
}

struct TABLE {
    std::mutex mutex;
    DEPLOYMENT development = OwnRow(DEPLOYMENT_DEVELOPMENT);
    int32_t selected = DEPLOYMENT_PRODUCTION;
};

TABLE& Table() {
    static TABLE table;
    return table;
}

}  // namespace

bool IsValidDeployment(int32_t number) {
    return number >= DEPLOYMENT_PRODUCTION && number <= DEPLOYMENT_DEVELOPMENT;
}

DEPLOYMENT DeploymentRow(int32_t number) {
    if (!IsValidDeployment(number)) {
        number = DEPLOYMENT_PRODUCTION;
    }
    if (number != DEPLOYMENT_DEVELOPMENT) {
        return OwnRow(number);
    }
    TABLE& table = Table();
    std::lock_guard guard(table.mutex);
    return table.development;
}

int32_t SelectDeployment(int32_t number) {
    if (!IsValidDeployment(number)) {
        number = DEPLOYMENT_PRODUCTION;
    }
    TABLE& table = Table();
    std::lock_guard guard(table.mutex);
    table.selected = number;
    return number;
}

DEPLOYMENT CurrentDeployment() {
    int32_t selected = DEPLOYMENT_PRODUCTION;
    {
        TABLE& table = Table();
        std::lock_guard guard(table.mutex);
        selected = table.selected;
    }
    return DeploymentRow(selected);
}

void SetDevelopmentServers(std::string_view mobileServer, std::string_view apiServer) {
    const HOSTS& own = kRows[DEPLOYMENT_DEVELOPMENT - 1];
    DEPLOYMENT row =
        MakeRow(DEPLOYMENT_DEVELOPMENT, mobileServer.empty() ? own.mobileServer : mobileServer,
                apiServer.empty() ? own.apiServer : apiServer);
    TABLE& table = Table();
    std::lock_guard guard(table.mutex);
    table.development = std::move(row);
}

void LogDeployment(int32_t number) {
    if (!IsValidDeployment(number)) {
        DebugPrint("Invalid deployment = %ld", static_cast<long>(number));
        return;
    }
    const DEPLOYMENT row = DeploymentRow(number);
    DebugPrint(
        "%s Deployment:\n    Mobile server = %s,\n    API server = %s,\n    Block-on-failure URL = "
        "%s",
        row.name.c_str(), row.mobileServer.c_str(), row.apiServer.c_str(),
        row.blockOnFailureUrl.c_str());
}

SCOPED_DEVELOPMENT_DEPLOYMENT::SCOPED_DEVELOPMENT_DEPLOYMENT(std::string_view mobileServer,
                                                             std::string_view apiServer)
    : previous_(CurrentDeployment().number) {
    SetDevelopmentServers(mobileServer, apiServer);
    SelectDeployment(DEPLOYMENT_DEVELOPMENT);
}

SCOPED_DEVELOPMENT_DEPLOYMENT::~SCOPED_DEVELOPMENT_DEPLOYMENT() {
    SetDevelopmentServers({}, {});
    SelectDeployment(previous_);
}

}  // namespace wexo::svc

// The deployment table: three rows of the product's own servers, the selection, and the
// Development row pointed at loopback servers for tests and the demo.
#include "service/checkin/deployments.h"

#include <gtest/gtest.h>

#include "common/service_domain.h"
#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

TEST(DeploymentsTest, ThreeRowsOfTheProductsOwnServers) {
    const char* names[] = {"Production", "Staging", "Development"};
    for (int32_t number = 1; number <= 3; ++number) {
        const DEPLOYMENT row = DeploymentRow(number);
        EXPECT_EQ(row.number, number);
        EXPECT_EQ(row.name, names[number - 1]);
        // Lookups for the deployment's own servers are never made.
        EXPECT_TRUE(IsServiceDomain(row.mobileServer)) << row.mobileServer;
        EXPECT_TRUE(IsServiceDomain(row.apiServer)) << row.apiServer;
        EXPECT_NE(row.mobileServer, row.apiServer);
        EXPECT_EQ(row.blockOnFailureUrl, "http://" + row.mobileServer + "/BlockOnFailure.html");
        EXPECT_EQ(row.mobileServerWide,
                  std::u16string(row.mobileServer.begin(), row.mobileServer.end()));
        EXPECT_EQ(row.apiServerWide, std::u16string(row.apiServer.begin(), row.apiServer.end()));
    }
    EXPECT_NE(DeploymentRow(1).mobileServer, DeploymentRow(2).mobileServer);
    EXPECT_NE(DeploymentRow(2).mobileServer, DeploymentRow(3).mobileServer);
}

TEST(DeploymentsTest, NumbersOutsideTheTableMeanProduction) {
    EXPECT_FALSE(IsValidDeployment(0));
    EXPECT_FALSE(IsValidDeployment(4));
    EXPECT_EQ(DeploymentRow(5).number, DEPLOYMENT_PRODUCTION);
    EXPECT_EQ(DeploymentRow(-1).name, "Production");
    EXPECT_EQ(CurrentDeployment().number, DEPLOYMENT_PRODUCTION);
    EXPECT_EQ(SelectDeployment(DEPLOYMENT_STAGING), DEPLOYMENT_STAGING);
    EXPECT_EQ(CurrentDeployment().name, "Staging");
    EXPECT_EQ(SelectDeployment(7), DEPLOYMENT_PRODUCTION);
    EXPECT_EQ(CurrentDeployment().name, "Production");
}

TEST(DeploymentsTest, TheDevelopmentRowCanPointAtLoopbackServers) {
    const DEPLOYMENT own = DeploymentRow(DEPLOYMENT_DEVELOPMENT);
    {
        SCOPED_DEVELOPMENT_DEPLOYMENT loopback("127.0.0.1:18080", "127.0.0.1:18081");
        const DEPLOYMENT current = CurrentDeployment();
        EXPECT_EQ(current.number, DEPLOYMENT_DEVELOPMENT);
        EXPECT_EQ(current.mobileServer, "127.0.0.1:18080");
        EXPECT_EQ(current.apiServer, "127.0.0.1:18081");
        EXPECT_EQ(current.blockOnFailureUrl, "http://127.0.0.1:18080/BlockOnFailure.html");
        EXPECT_EQ(current.apiServerWide, u"127.0.0.1:18081");
        // The other rows never move.
        EXPECT_EQ(DeploymentRow(DEPLOYMENT_PRODUCTION).mobileServer, "mobile.wexo-filter.net");
    }
    EXPECT_EQ(CurrentDeployment().number, DEPLOYMENT_PRODUCTION);
    EXPECT_EQ(DeploymentRow(DEPLOYMENT_DEVELOPMENT).mobileServer, own.mobileServer);
    EXPECT_EQ(DeploymentRow(DEPLOYMENT_DEVELOPMENT).blockOnFailureUrl, own.blockOnFailureUrl);
}

TEST(DeploymentsTest, TheDeploymentLine) {
    LOG_CAPTURE log;
    LogDeployment(DEPLOYMENT_PRODUCTION);
    EXPECT_TRUE(log.Has(
        "Production Deployment:\n    Mobile server = mobile.wexo-filter.net,\n    API server = "
        "api.wexo-filter.net,\n    Block-on-failure URL = "
        "http://mobile.wexo-filter.net/BlockOnFailure.html"));
    LogDeployment(9);
    EXPECT_TRUE(log.Has("Invalid deployment = 9"));
}

}  // namespace
}  // namespace wexo::svc::testing

// The information and feature availability services: what a client learns about the
// product before it uses anything else.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ServiceTestSupport.h"
#include "Services/FeatureAvailability/FeatureAvailabilityServiceImpl.h"
#include "Services/Information/InformationServiceImpl.h"
#include "network_configuration_service.grpc.pb.h"

namespace vantorellabs {
namespace {

protobuf::GetInformationResponse information(DeviceState& state) {
  InformationServiceImpl service(state);
  grpc::ServerContext context;
  protobuf::GetInformationResponse response;
  EXPECT_TRUE(service.GetInformation(&context, nullptr, &response).ok());
  return response;
}

TEST(InformationServiceTest, IdentityFollowsModelAndSerialNumber) {
  struct Case {
    int model;
    const char* serial;  // nullptr: not reported yet
    const char* modelId;
    const char* uuid;
    const char* servedSerial;
  };
  const Case cases[] = {
      {0, "1234567", "K40", "FFFF0001-0100-0000-0031-323334353637", "1234567"},
      {1, "1234567", "K7100", "FFFF0002-0100-0000-0031-323334353637", "1234567"},
      {0, nullptr, "K40", "FFFF0001-0100-0000-0023-232323232323", "#######"},
      {4, "7654321", "", "FFFF-0100-0000-0037-363534333231", "7654321"},
      {1,
       "12\xFF"
       "4567",
       "K7100", "FFFF0002-0100-0000-0031-32FF34353637",
       "12\xEF\xBF\xBD"
       "4567"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uuid);
    DeviceState state(c.model, "2.10.3");
    if (c.serial != nullptr) ASSERT_TRUE(state.setSerialNumber(c.serial));
    const auto info = information(state);
    EXPECT_EQ(info.modelid(), c.modelId);
    EXPECT_EQ(info.uuid(), c.uuid);
    EXPECT_EQ(info.serialnumber(), c.servedSerial);
    EXPECT_EQ(info.firmwareversion(), "2.10.3");
  }
}

TEST(InformationServiceTest, DaModuleShownOnlyWhenKnown) {
  struct Case {
    std::uint8_t type, major, minor;
    bool shown;
    std::string version;
    std::uint8_t majorAfter;
  };
  const Case cases[] = {
      {2, 3, 12, true, "3.12.0", 3}, {1, 1, 0, true, "1.0.0", 1},
      {255, 255, 255, false, "", 0},  // a handshake that never finished: cleared
      {0, 4, 5, false, "", 4},        // no module: left as it is
      {7, 4, 5, false, "", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    DeviceState state(DeviceState::kModelK40, "1.0.0");
    state.daModuleType = c.type;
    state.daVersionMajor = c.major;
    state.daVersionMinor = c.minor;
    const auto info = information(state);
    EXPECT_EQ(info.has_damoduleinformation(), c.shown);
    if (c.shown) {
      EXPECT_EQ(info.damoduleinformation().type(), c.type);
      EXPECT_EQ(info.damoduleinformation().firmwareversion(), c.version);
    }
    EXPECT_EQ(state.daVersionMajor, c.majorAfter);
  }
}

TEST(InformationServiceTest, NoOperationAnswersWhileTheProductStateChanges) {
  DeviceState state(DeviceState::kModelK40, "1.0.0");
  ASSERT_TRUE(state.setSchedule('5'));
  InformationServiceImpl service(state);
  grpc::ServerContext context;
  EXPECT_TRUE(service.NoOperation(&context, nullptr, nullptr).ok());
}

TEST(FeatureAvailabilityServiceTest, ElevenServedServicesInOrder) {
  FeatureAvailabilityServiceImpl service;
  testing::LoopbackServer server{&service};
  auto stub = protobuf::FeatureAvailabilityService::NewStub(server.channel());
  for (int call = 0; call < 2; ++call) {
    grpc::ClientContext context;
    protobuf::GetAvailableFeaturesResponse response;
    ASSERT_TRUE(stub->GetAvailableFeatures(&context, {}, &response).ok());
    EXPECT_THAT(std::vector<int>(response.services().begin(), response.services().end()),
                ::testing::ElementsAre(1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12));
  }
  // Network configuration is in the schema but served by nobody.
  auto unserved = protobuf::NetworkConfigurationService::NewStub(server.channel());
  grpc::ClientContext context;
  protobuf::ConnectWiFiNetworkResponse response;
  EXPECT_EQ(unserved->ConnectWiFiNetwork(&context, {}, &response).error_code(),
            grpc::StatusCode::UNIMPLEMENTED);
}

}  // namespace
}  // namespace vantorellabs

// The information and feature availability services: what a client learns about the
// product before it uses anything else.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "Services/FeatureAvailability/FeatureAvailabilityServiceImpl.h"
#include "Services/Information/InformationServiceImpl.h"

namespace vantorellabs {
namespace {

protobuf::GetInformationResponse information(DeviceState& state) {
  InformationServiceImpl service(state);
  grpc::ServerContext context;
  protobuf::GetInformationResponse response;
  EXPECT_TRUE(service.GetInformation(&context, nullptr, &response).ok());
  // It answers at any time, also while the product state changes.
  EXPECT_TRUE(service.NoOperation(&context, nullptr, nullptr).ok());
  return response;
}

TEST(InformationServiceTest, IdentityFollowsModelAndSerialNumber) {
  const std::array<std::string, 5> cases[] = {
      // model, reported serial ("" for none), modelId, uuid, serialNumber
      {"0", "1234567", "K40", "FFFF0001-0100-0000-0031-323334353637", "1234567"},
      {"1", "1234567", "K7100", "FFFF0002-0100-0000-0031-323334353637", "1234567"},
      {"0", "", "K40", "FFFF0001-0100-0000-0023-232323232323", "#######"},
      {"4", "7654321", "", "FFFF-0100-0000-0037-363534333231", "7654321"},
      {"1",
       "12\xFF"
       "4567",
       "K7100", "FFFF0002-0100-0000-0031-32FF34353637",
       "12\xEF\xBF\xBD"
       "4567"},
  };
  for (const auto& [model, serial, modelId, uuid, shown] : cases) {
    SCOPED_TRACE(uuid);
    DeviceState state(std::stoi(model), "2.10.3");
    ASSERT_TRUE(state.setSchedule('5'));
    if (!serial.empty()) state.setSerialNumber(serial);
    const auto info = information(state);
    EXPECT_EQ(info.modelid(), modelId);
    EXPECT_EQ(info.uuid(), uuid);
    EXPECT_EQ(info.serialnumber(), shown);
    EXPECT_EQ(info.firmwareversion(), "2.10.3");
  }
}

TEST(InformationServiceTest, DaModuleShownOnlyWhenKnown) {
  struct Case {
    std::uint8_t type, major, minor;
    std::string shown;
    std::uint8_t majorAfter;
  };
  const Case cases[] = {
      {2, 3, 12, "type: DA_MODULE_TYPE_V2 firmwareVersion: \"3.12.0\"", 3},
      {1, 1, 0, "type: DA_MODULE_TYPE_V1 firmwareVersion: \"1.0.0\"", 1},
      {255, 255, 255, "", 0},  // a handshake that never finished: cleared
      {0, 4, 5, "", 4},        // no module: left as it is
      {7, 4, 5, "", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    DeviceState state(DeviceState::kModelK40, "1.0.0");
    state.daModuleType = c.type;
    state.daVersionMajor = c.major;
    state.daVersionMinor = c.minor;
    const auto info = information(state);
    EXPECT_EQ(info.has_damoduleinformation(), !c.shown.empty());
    EXPECT_EQ(info.damoduleinformation().ShortDebugString(), c.shown);
    EXPECT_EQ(state.daVersionMajor, c.majorAfter);
  }
}

TEST(FeatureAvailabilityServiceTest, ElevenServedServicesInOrder) {
  FeatureAvailabilityServiceImpl service;
  for (int call = 0; call < 2; ++call) {
    grpc::ServerContext context;
    protobuf::GetAvailableFeaturesResponse response;
    ASSERT_TRUE(service.GetAvailableFeatures(&context, nullptr, &response).ok());
    EXPECT_THAT(std::vector<int>(response.services().begin(), response.services().end()),
                ::testing::ElementsAre(1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12));
  }
}

}  // namespace
}  // namespace vantorellabs

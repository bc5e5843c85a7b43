#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "FirmwareTestSupport.h"
#include "ServiceTestSupport.h"
#include "Services/ApiReportOwners.h"
#include "Services/System/SystemServiceImpl.h"
#include "TempDir.h"
#include "link/ControllerDispatcher.h"
#include "sys/BoardPaths.h"

namespace vantorellabs {
namespace {

using grpc::StatusCode;
using protobuf::ObservePowerResponse;
using testing::bytes;
using ::testing::ElementsAre;

class SystemServiceTest : public ::testing::Test, protected testing::ServiceBench {
 protected:
  SystemServiceTest() {
    da.attach(daPty.slave);
    owners.attachSystem(service);
    owners.attachDiscovery(discovery);
    serviceFiles.files[kAvahiServicePath] = testing::kServiceFileText;
  }
  grpc::Status setPower(std::optional<bool> on, std::optional<bool> autoOff,
                        std::optional<unsigned> delay) {
    protobuf::SetPowerRequest request;
    if (on) request.set_ispoweredon(*on);
    if (autoOff) request.set_isautooffenabled(*autoOff);
    if (delay) request.set_autooffdelay(*delay);
    return service.SetPower(&context, &request, nullptr);
  }
  protobuf::GetPowerResponse power() {
    protobuf::GetPowerResponse response;
    EXPECT_TRUE(service.GetPower(&context, nullptr, &response).ok());
    return response;
  }
  std::unique_ptr<testing::StreamCollector<ObservePowerResponse>> observe() {
    return std::make_unique<testing::StreamCollector<ObservePowerResponse>>(
        [this](grpc::ClientContext* c) { return stub->ObservePower(c, {}); });
  }
  void dispatch(const std::string& frame) { dispatcher.dispatchControllerFrame(frame); }

  grpc::ServerContext context;
  SystemServiceImpl service{link, state, console};
  testing::PtyPair daPty;
  testing::FakeShell shell;
  testing::FakePoller poller;
  testing::TempDir dir;
  testing::MemoryFileSystem serviceFiles;
  Discovery discovery{shell, state, console, serviceFiles, dir.file("name")};
  VolumeServiceImpl volume{link, state};
  AudioInputsServiceImpl inputs{link, state};
  AudioInputsActivationServiceImpl activation{link, state};
  AudioOutputsServiceImpl outputs{link, state};
  testing::FirmwareParts firmwareParts{link, state, console};
  UpdateScheduler updates{firmwareParts.installer, firmwareParts.clock, console,
                          [] { return false; }};
  ApiReportOwners owners{volume, inputs, activation, outputs, firmwareParts.service, updates};
  DaModuleLink da{link, state, owners, console};
  ControllerDispatcher dispatcher{DispatchTargets{link, state, da, owners, shell, poller, console}};
  testing::LoopbackServer server{&service};
  std::unique_ptr<protobuf::SystemService::Stub> stub =
      protobuf::SystemService::NewStub(server.channel());
};

TEST_F(SystemServiceTest, SchemaAndTheRpcsThisAmplifierLacks) {
  protobuf::GetSystemServiceSchemaResponse schema;
  ASSERT_TRUE(service.GetServiceSchema(&context, nullptr, &schema).ok());
  EXPECT_FALSE(schema.has_displayschema());
  EXPECT_EQ(schema.powerschema().isautooffenabled().ShortDebugString(),
            "default: true permission: PERMISSION_READ_WRITE");
  EXPECT_EQ(schema.powerschema().autooffdelay().ShortDebugString(),
            "range { min: 30 max: 30 } default: 30 units: \"minutes\" permission: PERMISSION_READ");
  for (const grpc::Status& status : {service.GetDisplay(&context, nullptr, nullptr),
                                     service.SetDisplay(&context, nullptr, nullptr),
                                     service.ResetDefaults(&context, nullptr, nullptr)}) {
    EXPECT_EQ(status.error_code(), StatusCode::UNIMPLEMENTED);
    EXPECT_EQ(status.error_message(), "");
  }
}

TEST_F(SystemServiceTest, CommandsAreSentWhenTheProductStateAllows) {
  struct Case {
    char schedule;
    std::optional<bool> on, autoOff;
    std::optional<unsigned> delay;
    StatusCode code;
    std::string frames;
  };
  const auto none = std::nullopt;
  const Case cases[] = {
      {'0', true, none, none, StatusCode::OK, bytes({0x30, '1', 0})},
      {'1', false, true, none, StatusCode::OK, bytes({0x30, '0', 0, 0x31, '1', 0})},
      {'2', none, false, none, StatusCode::OK, bytes({0x31, '0', 0})},
      {'7', none, true, 45, StatusCode::OK, bytes({0x31, '1', 0})},
      {'1', none, none, 60, StatusCode::OK, ""},
      {'2', true, true, none, StatusCode::UNAVAILABLE, ""},
      {'5', false, none, none, StatusCode::UNAVAILABLE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    console.clear();
    ASSERT_TRUE(state.setSchedule(c.schedule));
    const grpc::Status status = setPower(c.on, c.autoOff, c.delay);
    EXPECT_EQ(status.error_code(), c.code);
    EXPECT_EQ(status.error_message(), status.ok() ? "" : "Product State Transisioning");
    EXPECT_EQ(pty.readMaster(c.frames.size()), c.frames);
    EXPECT_EQ(console.prints().at(0), std::string("Current Schedule: '") + c.schedule + "'\n");
  }
  for (char schedule : {'0', '1', '2', '7'}) {
    ASSERT_TRUE(state.setSchedule(schedule));
    const grpc::Status status = service.FactoryReset(&context, nullptr, nullptr);
    const bool settled = schedule <= '1';
    EXPECT_EQ(status.error_message(), settled ? "" : "Product State Transisioning") << schedule;
    EXPECT_EQ(status.error_code(), settled ? StatusCode::OK : StatusCode::UNAVAILABLE);
    EXPECT_EQ(pty.readMaster(settled ? 2 : 0), settled ? bytes({0x32, 0}) : "") << schedule;
  }
  // Nothing is mirrored until the controller reports.
  EXPECT_EQ(power().ShortDebugString(), "isAutoOffEnabled: true autoOffDelay: 30");
}

TEST_F(SystemServiceTest, EveryStreamHearsEachPowerReportAndEachNewSubscriber) {
  auto first = observe();
  ASSERT_TRUE(first->waitForCount(1));
  auto second = observe();
  // The new subscriber's current state goes to every open stream.
  ASSERT_TRUE(first->waitForCount(2));
  dispatch(bytes({0x30, '1'}));
  dispatch(bytes({0x30, 'x'}));  // not a flag: nothing
  dispatch(bytes({0x30, '1'}));  // unchanged, still sent
  dispatch(bytes({0x30, '0'}));
  ASSERT_TRUE(first->waitForCount(5));
  ASSERT_TRUE(second->waitForCount(4));
  auto values = [](const auto& stream) {
    std::vector<bool> v;
    for (const auto& m : stream->messages()) v.push_back(m.ispoweredon());
    return v;
  };
  EXPECT_THAT(values(first), ElementsAre(false, false, true, true, false));
  EXPECT_THAT(values(second), ElementsAre(false, true, true, false));
  second->cancel();
  EXPECT_TRUE(testing::eventually([&] { return service.observerCount() == 1; }));
}

TEST_F(SystemServiceTest, ReportsUpdateTheMirrorAndDiscovery) {
  for (const auto& [frame, shown] : std::vector<std::pair<std::string, std::string>>{
           {bytes({0x30, '1'}), "isPoweredOn: true isAutoOffEnabled: true autoOffDelay: 30"},
           {bytes({0x31, '0'}), "isPoweredOn: true autoOffDelay: 30"},
           {bytes({0x31, '1'}), "isPoweredOn: true isAutoOffEnabled: true autoOffDelay: 30"},
           {bytes({0x31, 'x'}), "isPoweredOn: true autoOffDelay: 30"},
       }) {
    dispatch(frame);
    EXPECT_EQ(power().ShortDebugString(), shown);
  }
  dispatch(
      "\x03"
      "7654321");
  dispatch(bytes({0x11}));
  EXPECT_THAT(
      shell.commands,
      ElementsAre(::testing::HasSubstr("<name>Vantorel K7100-7654321</name>"),
                  ::testing::HasSubstr("<txt-record>name=K7100-7654321</txt-record>"), ::testing::_,
                  ::testing::_, "/etc/init.d/S50avahi-daemon reload", "killall vtl-sddp",
                  "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K7100.conf -i K7100-7654321"));
}

}  // namespace
}  // namespace vantorellabs

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Fakes.h"
#include "ServiceTestSupport.h"
#include "Services/ApiReportOwners.h"
#include "Services/System/SystemServiceImpl.h"
#include "TempDir.h"
#include "link/ControllerDispatcher.h"

namespace vantorellabs {
namespace {

using protobuf::ObservePowerResponse;
using testing::bytes;
using ::testing::ElementsAre;
using testing::FakePoller;
using testing::FakeShell;
using testing::LoopbackServer;
using testing::PtyPair;
using testing::ServiceBench;
using testing::StreamCollector;
using testing::TempDir;

class SystemServiceTest : public ::testing::Test, protected ServiceBench {
 protected:
  grpc::Status setPower(std::optional<bool> on, std::optional<bool> autoOff,
                        std::optional<unsigned> delay = std::nullopt) {
    grpc::ServerContext context;
    protobuf::SetPowerRequest request;
    if (on) request.set_ispoweredon(*on);
    if (autoOff) request.set_isautooffenabled(*autoOff);
    if (delay) request.set_autooffdelay(*delay);
    protobuf::SetPowerResponse response;
    return service.SetPower(&context, &request, &response);
  }
  protobuf::GetPowerResponse power() {
    grpc::ServerContext context;
    protobuf::GetPowerResponse response;
    EXPECT_TRUE(service.GetPower(&context, nullptr, &response).ok());
    return response;
  }

  SystemServiceImpl service{link, state, console};
};

TEST_F(SystemServiceTest, Schema) {
  grpc::ServerContext context;
  protobuf::GetSystemServiceSchemaResponse schema;
  ASSERT_TRUE(service.GetServiceSchema(&context, nullptr, &schema).ok());
  EXPECT_FALSE(schema.has_displayschema());
  const auto& autoOff = schema.powerschema().isautooffenabled();
  EXPECT_TRUE(autoOff.default_());
  EXPECT_EQ(autoOff.permission(), protobuf::PERMISSION_READ_WRITE);
  const auto& delay = schema.powerschema().autooffdelay();
  EXPECT_EQ(delay.range().min(), 30U);
  EXPECT_EQ(delay.range().max(), 30U);
  EXPECT_EQ(delay.increment(), 0U);
  EXPECT_EQ(delay.default_(), 30U);
  EXPECT_EQ(delay.units(), "minutes");
  EXPECT_EQ(delay.permission(), protobuf::PERMISSION_READ);
}

TEST_F(SystemServiceTest, SetPowerSendsWhatTheProductStateAllows) {
  struct Case {
    char schedule;
    std::optional<bool> on;
    std::optional<bool> autoOff;
    std::optional<unsigned> delay;
    grpc::StatusCode code;
    std::string frames;
  };
  const auto u = std::nullopt;
  const Case cases[] = {
      {'0', true, u, u, grpc::StatusCode::OK, bytes({0x30, '1', 0})},
      {'1', false, true, u, grpc::StatusCode::OK, bytes({0x30, '0', 0, 0x31, '1', 0})},
      {'2', u, false, u, grpc::StatusCode::OK, bytes({0x31, '0', 0})},
      {'7', u, true, 45, grpc::StatusCode::OK, bytes({0x31, '1', 0})},
      {'2', true, true, u, grpc::StatusCode::UNAVAILABLE, ""},
      {'5', false, u, u, grpc::StatusCode::UNAVAILABLE, ""},
      {'1', u, u, 60, grpc::StatusCode::OK, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.schedule) + " " + std::to_string(&c - cases));
    console.clear();
    ASSERT_TRUE(state.setSchedule(c.schedule));
    const grpc::Status status = setPower(c.on, c.autoOff, c.delay);
    EXPECT_EQ(status.error_code(), c.code);
    EXPECT_EQ(status.error_message(),
              c.code == grpc::StatusCode::OK ? "" : "Product State Transisioning");
    EXPECT_EQ(pty.readMaster(c.frames.size()), c.frames);
    ASSERT_FALSE(console.prints().empty());
    EXPECT_EQ(console.prints()[0], std::string("Current Schedule: '") + c.schedule + "'\n");
  }
  // Nothing is mirrored until the controller reports.
  EXPECT_FALSE(power().ispoweredon());
  EXPECT_TRUE(power().isautooffenabled());
  EXPECT_EQ(power().autooffdelay(), 30U);
}

TEST_F(SystemServiceTest, FactoryResetOnlyWhenSettled) {
  for (char schedule : {'0', '1', '2', '7'}) {
    SCOPED_TRACE(schedule);
    ASSERT_TRUE(state.setSchedule(schedule));
    grpc::ServerContext context;
    protobuf::FactoryResetResponse response;
    const grpc::Status status = service.FactoryReset(&context, nullptr, &response);
    const bool settled = schedule <= '1';
    EXPECT_EQ(status.error_code(), settled ? grpc::StatusCode::OK : grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(status.error_message(), settled ? "" : "Product State Transisioning");
    EXPECT_EQ(pty.readMaster(settled ? 2 : 0), settled ? bytes({0x32, 0}) : "");
  }
}

// The reports reach the service and discovery through the real dispatcher.
class SystemReportsTest : public SystemServiceTest {
 protected:
  SystemReportsTest() {
    da.attach(daPty.slave);
    owners.attachSystem(service);
    owners.attachDiscovery(discovery);
  }
  void dispatch(const std::string& frame) { dispatcher.dispatchControllerFrame(frame); }
  std::unique_ptr<StreamCollector<ObservePowerResponse>> observe() {
    auto stream = std::make_unique<StreamCollector<ObservePowerResponse>>(
        [this](grpc::ClientContext* context) {
          return stub->ObservePower(context, protobuf::ObservePowerRequest());
        });
    return stream;
  }
  static std::vector<bool> values(const std::vector<ObservePowerResponse>& messages) {
    std::vector<bool> v;
    for (const auto& m : messages) v.push_back(m.ispoweredon());
    return v;
  }

  PtyPair daPty;
  FakeShell shell;
  FakePoller poller;
  TempDir dir;
  Discovery discovery{shell, state, console, dir.file("name"),
                      [](const std::string&) { return true; }};
  VolumeServiceImpl volume{link, state};
  AudioInputsServiceImpl inputs{link, state};
  AudioInputsActivationServiceImpl activation{link, state};
  AudioOutputsServiceImpl outputs{link, state};
  ApiReportOwners owners{volume, inputs, activation, outputs};
  DaModuleLink da{link, state, owners, console};
  ControllerDispatcher dispatcher{DispatchTargets{link, state, da, owners, shell, poller, console}};
  LoopbackServer server{&service};
  std::unique_ptr<protobuf::SystemService::Stub> stub =
      protobuf::SystemService::NewStub(server.channel());
};

TEST_F(SystemReportsTest, EveryStreamHearsEachPowerReportAndEachNewSubscriber) {
  auto first = observe();
  ASSERT_TRUE(first->waitForCount(1));
  auto second = observe();
  // The new subscriber's current state goes to every open stream.
  ASSERT_TRUE(first->waitForCount(2));
  ASSERT_TRUE(second->waitForCount(1));

  dispatch(bytes({0x30, '1'}));
  dispatch(bytes({0x30, 'x'}));  // not a flag: nothing
  dispatch(bytes({0x30, '1'}));  // unchanged, still sent
  dispatch(bytes({0x30, '0'}));
  ASSERT_TRUE(first->waitForCount(5));
  ASSERT_TRUE(second->waitForCount(4));
  EXPECT_THAT(values(first->messages()), ElementsAre(false, false, true, true, false));
  EXPECT_THAT(values(second->messages()), ElementsAre(false, true, true, false));
  second->cancel();
  ASSERT_TRUE(::vantorellabs::testing::eventually([&] { return service.observerCount() == 1; }));
}

TEST_F(SystemReportsTest, ReportsUpdateTheMirrorAndDiscovery) {
  dispatch(bytes({0x30, '1'}));
  dispatch(bytes({0x31, '0'}));
  EXPECT_TRUE(power().ispoweredon());
  EXPECT_FALSE(power().isautooffenabled());
  dispatch(bytes({0x31, 'x'}));  // anything but '1' disables
  EXPECT_FALSE(power().isautooffenabled());
  dispatch(bytes({0x31, '1'}));
  EXPECT_TRUE(power().isautooffenabled());

  dispatch(
      "\x03"
      "7654321");
  dispatch(bytes({0x11}));
  EXPECT_THAT(
      shell.commands,
      ElementsAre(::testing::StartsWith("sed -i 's|<name>"), ::testing::_, ::testing::_,
                  ::testing::_, "/etc/init.d/S50avahi-daemon reload", "killall vtl-sddp",
                  "/opt/vtl/bin/vtl-sddp -c /opt/vtl/sys/sddp/K7100.conf -i K7100-7654321"));
  EXPECT_EQ(shell.commands[1],
            "sed -i 's|<txt-record>name=[^<]*</txt-record>|<txt-record>name=K7100-7654321"
            "</txt-record>|' /config/vantorel-link-grpc.service");
}

TEST_F(SystemReportsTest, DisplayRpcsAreNotImplemented) {
  grpc::ClientContext getContext;
  protobuf::GetDisplayResponse display;
  const grpc::Status get = stub->GetDisplay(&getContext, {}, &display);
  grpc::ClientContext setContext;
  protobuf::SetDisplayResponse set;
  const grpc::Status put = stub->SetDisplay(&setContext, {}, &set);
  grpc::ClientContext resetContext;
  protobuf::ResetDefaultsResponse reset;
  const grpc::Status defaults = stub->ResetDefaults(&resetContext, {}, &reset);
  for (const grpc::Status& status : {get, put, defaults}) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNIMPLEMENTED);
    EXPECT_EQ(status.error_message(), "");
  }
  EXPECT_EQ(pty.readMaster(), "");
}

}  // namespace
}  // namespace vantorellabs

// Power, name, identity and local discovery end to end: a gRPC client on the board's
// loopback, the real daemon, the simulated amplifier walking through its product states,
// and the board's real sed editing the Avahi service file that the image ships.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "feature_availability_service.grpc.pb.h"
#include "information_service.grpc.pb.h"
#include "name_service.grpc.pb.h"
#include "system_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;
using ::testing::ElementsAre;

constexpr const char* kReload = "/etc/init.d/S50avahi-daemon reload";

// The live service file as an XML reader sees it: the service name, then each TXT record,
// one a line. Nothing when the file does not parse.
std::vector<std::string> serviceFileAsXml() {
  FILE* pipe = ::popen(
      "python3 -c \"import sys, xml.etree.ElementTree as E\n"
      "r = E.parse('/config/vantorel-link-grpc.service').getroot()\n"
      "t = [r.find('name').text] + [x.text for x in r.find('service').findall('txt-record')]\n"
      "sys.stdout.buffer.write('\\n'.join(t).encode())\"",
      "r");
  std::string out;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (::pclose(pipe) != 0) return {};
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// One unary call on a context of its own.
template <typename Stub, typename Request, typename Response>
grpc::Status unary(Stub& stub,
                   grpc::Status (Stub::*rpc)(grpc::ClientContext*, const Request&, Response*),
                   const Request& request, Response* response) {
  grpc::ClientContext context;
  return (stub.*rpc)(&context, request, response);
}

class SystemServicesE2eTest : public BoardTest {
 protected:
  void boot(ampsim::AmpSimOptions options) {
    BoardTest::boot(options);
    auto channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    system = pb::SystemService::NewStub(channel);
    name = pb::NameService::NewStub(channel);
    information = pb::InformationService::NewStub(channel);
    features = pb::FeatureAvailabilityService::NewStub(channel);
    // The serial number report publishes the product.
    ASSERT_TRUE(waitForBoardCommand(kReload));
  }
  grpc::Status setPower(std::optional<bool> on, std::optional<bool> autoOff = std::nullopt) {
    pb::SetPowerRequest request;
    if (on) request.set_ispoweredon(*on);
    if (autoOff) request.set_isautooffenabled(*autoOff);
    pb::SetPowerResponse response;
    return unary(*system, &pb::SystemService::Stub::SetPower, request, &response);
  }
  pb::GetPowerResponse power() {
    pb::GetPowerResponse response;
    EXPECT_TRUE(unary(*system, &pb::SystemService::Stub::GetPower, {}, &response).ok());
    return response;
  }
  grpc::Status factoryReset() {
    pb::FactoryResetResponse response;
    return unary(*system, &pb::SystemService::Stub::FactoryReset, {}, &response);
  }
  std::string getName() {
    pb::GetNameResponse response;
    EXPECT_TRUE(unary(*name, &pb::NameService::Stub::GetName, {}, &response).ok());
    return response.name();
  }
  grpc::Status setName(const std::string& text) {
    pb::SetNameRequest request;
    request.set_name(text);
    pb::SetNameResponse response;
    return unary(*name, &pb::NameService::Stub::SetName, request, &response);
  }
  pb::GetInformationResponse getInformation() {
    pb::GetInformationResponse response;
    EXPECT_TRUE(
        unary(*information, &pb::InformationService::Stub::GetInformation, {}, &response).ok());
    return response;
  }
  // Waits until the daemon has taken on the product state `value` once more than `before`.
  bool waitForSchedule(char value, std::size_t before) {
    const std::string line = std::string("Setting Schedule to '") + value + "'\n";
    return eventually([&] { return daemon.countInOutput(line) > before; });
  }
  std::size_t schedules(char value) {
    return daemon.countInOutput(std::string("Setting Schedule to '") + value + "'\n");
  }

  std::unique_ptr<pb::SystemService::Stub> system;
  std::unique_ptr<pb::NameService::Stub> name;
  std::unique_ptr<pb::InformationService::Stub> information;
  std::unique_ptr<pb::FeatureAvailabilityService::Stub> features;
};

TEST_F(SystemServicesE2eTest, K40IdentityNameDiscoveryAndPower) {
  ampsim::AmpSimOptions options;
  options.amplifier.poweredOn = false;
  options.amplifier.stepMs = 50;
  boot(options);

  // The template from the image, published with the default name.
  EXPECT_THAT(serviceFileAsXml(), ElementsAre("Vantorel K40-1234567", "name=K40-1234567", "model=1",
                                              "serial=1234567", "api=grpc"));
  pb::GetAvailableFeaturesResponse served;
  ASSERT_TRUE(
      unary(*features, &pb::FeatureAvailabilityService::Stub::GetAvailableFeatures, {}, &served)
          .ok());
  EXPECT_EQ(served.services_size(), 11);
  ASSERT_TRUE(eventually([&] { return getInformation().has_damoduleinformation(); }));
  EXPECT_EQ(getInformation().ShortDebugString(),
            "uuid: \"FFFF0001-0100-0000-0031-323334353637\" modelId: \"K40\" serialNumber: "
            "\"1234567\" firmwareVersion: \"1.4.2\" daModuleInformation { type: "
            "DA_MODULE_TYPE_V2 firmwareVersion: \"1.3.0\" }");

  // A hostile name is stored whole and published as its text, never run as a command.
  EXPECT_EQ(getName(), "K40-1234567");
  const std::string hostile = "Tom & Jerry's <Den> | \"$(reboot)\" `reboot` \\1 end\n";
  ASSERT_TRUE(setName(hostile).ok());
  EXPECT_EQ(getName(), hostile);
  EXPECT_EQ(readFile("/data/vtl_name.txt"), hostile);
  EXPECT_THAT(serviceFileAsXml(),
              ElementsAre("Vantorel K40-1234567",
                          "name=Tom & Jerry's <Den> | \"$(reboot)\" `reboot` \\1 end", "model=1",
                          "serial=1234567", "api=grpc"));
  // A character that XML does not allow is kept in the name but not published: the file
  // still parses.
  ASSERT_TRUE(setName("Den \uFFFF").ok());
  EXPECT_EQ(getName(), "Den \uFFFF");
  EXPECT_THAT(serviceFileAsXml(), ElementsAre("Vantorel K40-1234567", "name=Den ", "model=1",
                                              "serial=1234567", "api=grpc"));
  // The next refresh still finds the record it wrote.
  ASSERT_TRUE(setName("Living Room").ok());
  EXPECT_EQ(serviceFileAsXml().at(1), "name=Living Room");
  const auto log = boardCommands();
  EXPECT_EQ(std::count(log.begin(), log.end(), kReload), 4);
  EXPECT_EQ(setName("").error_message(), "Must not be empty string");

  // The controller asks for the SDDP announcer. The side server's start restarted it too,
  // and other threads' commands may log between a stop and its start: each start must
  // follow a stop of its own.
  const std::string sddp = "vtl-sddp -c /opt/vtl/sys/sddp/K40.conf -i K40-1234567";
  const auto starts = [&](const std::vector<std::string>& log) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i].rfind("vtl-sddp ", 0) == 0) at.push_back(i);
    }
    return at;
  };
  const std::size_t startsBefore = starts(boardCommands()).size();
  sim->amplifier().requestSddpRestart();
  ASSERT_TRUE(waitForBoardCommand(sddp));
  std::vector<std::string> sddpLog;
  for (int i = 0; i < 100 && starts(sddpLog = boardCommands()).size() <= startsBefore; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto at = starts(sddpLog);
  ASSERT_EQ(at.size(), startsBefore + 1);
  EXPECT_EQ(sddpLog[at.back()], sddp);
  const std::size_t from = at.size() > 1 ? at[at.size() - 2] + 1 : 0;
  EXPECT_NE(std::find(sddpLog.begin() + static_cast<long>(from),
                      sddpLog.begin() + static_cast<long>(at.back()), "killall vtl-sddp"),
            sddpLog.begin() + static_cast<long>(at.back()));
  EXPECT_FALSE(readFile("/opt/vtl/sys/sddp/K40.conf").empty());

  // Power on: the stream follows the amplifier's walk through its product states.
  StreamReader<pb::ObservePowerResponse> stream(
      [this](grpc::ClientContext* c) { return system->ObservePower(c, {}); });
  ASSERT_EQ(stream.waitFor([](const auto& m) { return !m.ispoweredon(); }), 0);
  const std::size_t on = schedules('1');
  ASSERT_TRUE(setPower(true).ok());
  ASSERT_GT(stream.waitFor([](const auto& m) { return m.ispoweredon(); }), 0);
  EXPECT_TRUE(waitForSchedule('1', on));
  const std::string out = daemon.output();
  EXPECT_LT(out.find("Setting Schedule to '2'"), out.find("Setting Schedule to '3'"));
  EXPECT_TRUE(power().ispoweredon());

  // While the product state changes, power and reset are refused; auto-off is not.
  const std::size_t changing = schedules('5');
  sim->sendFrame("35");
  ASSERT_TRUE(waitForSchedule('5', changing));
  for (const grpc::Status& status : {setPower(false, true), factoryReset()}) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(status.error_message(), "Product State Transisioning");
  }
  EXPECT_FALSE(sim->amplifier().autoOffEnabled());
  ASSERT_TRUE(setPower(std::nullopt, true).ok());
  ASSERT_TRUE(eventually([&] { return power().isautooffenabled(); }));
  EXPECT_TRUE(sim->amplifier().autoOffEnabled());
  const std::size_t settled = schedules('1');
  sim->sendFrame("31");
  ASSERT_TRUE(waitForSchedule('1', settled));

  // The power-off timer runs out on the amplifier: the stream sees it switch off.
  const std::size_t seen = stream.count();
  ASSERT_TRUE(sim->amplifier().autoOffTimerExpired());
  ASSERT_GE(stream.waitFor([](const auto& m) { return !m.ispoweredon(); }, seen), 0);
  EXPECT_FALSE(power().ispoweredon());

  // A factory reset goes to the amplifier, which resets and asks the module to reset too.
  EXPECT_EQ(boardCommandIndex("reboot"), -1) << "a name ran a command";
  const std::size_t before = sim->receivedFrames().size();
  ASSERT_TRUE(waitForSchedule('0', 0));
  ASSERT_TRUE(factoryReset().ok());
  EXPECT_GE(sim->waitForFrame([](const std::string& f) { return f == "2"; }, before), 0);
  EXPECT_EQ(sim->amplifier().factoryResets(), 1);
  EXPECT_TRUE(waitForBoardCommand("reboot"));
}

// A power cut left the live service file cut short and new files that were never renamed
// into place: the daemon removes those when it starts, and the refresh copies the
// template again.
TEST_F(SystemServicesE2eTest, K7100PublishesItsOwnModel) {
  writeBoardFile("/sys/bus/iio/devices/iio:device0/in_voltage6_raw", "1241\n");
  writeBoardFile("/config/vantorel-link-grpc.service",
                 "<?xml version=\"1.0\"?>\n<service-group>\n  <name>Vantorel</na");
  const std::vector<std::string> leftovers = {"/data/vtl_name.txt.a1B2c3",
                                              "/config/vantorel-link-grpc.service.Zz9Yy8"};
  for (const auto& path : leftovers) writeBoardFile(path, "Half");
  const std::vector<std::string> others = {"/data/vtl_name.txt.bak", "/data/vtl_name.txt.a1B2c3d"};
  for (const auto& path : others) writeBoardFile(path, "Kept");
  ampsim::AmpSimOptions options;
  options.amplifier.model = ampsim::AmplifierModel::Model::K7100;
  options.amplifier.serialNumber = "7654321";
  boot(options);
  EXPECT_THAT(serviceFileAsXml(), ElementsAre("Vantorel K7100-7654321", "name=K7100-7654321",
                                              "model=2", "serial=7654321", "api=grpc"));
  for (const auto& path : leftovers) EXPECT_FALSE(std::ifstream(path).good()) << path;
  for (const auto& path : others) EXPECT_EQ(readFile(path), "Kept") << path;
  EXPECT_EQ(getName(), "K7100-7654321");
  EXPECT_EQ(getInformation().uuid().rfind("FFFF0002-", 0), 0U);
  sim->amplifier().requestSddpRestart();
  EXPECT_TRUE(waitForBoardCommand("vtl-sddp -c /opt/vtl/sys/sddp/K7100.conf -i K7100-7654321"));
  EXPECT_FALSE(readFile("/opt/vtl/sys/sddp/K7100.conf").empty());
}

}  // namespace
}  // namespace vantorellabs::e2e

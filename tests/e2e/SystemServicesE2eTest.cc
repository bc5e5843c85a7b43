// Power, name, identity and local discovery end to end: a gRPC client on the board's
// loopback, the real daemon, the simulated amplifier walking through its product states,
// and the board's real sed editing the Avahi service file that the image ships.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

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

constexpr const char* kServiceFile = "/config/vantorel-link-grpc.service";
constexpr const char* kReload = "/etc/init.d/S50avahi-daemon reload";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The service file as an XML reader sees it: the service name, then each TXT record.
// Empty when the file does not parse.
std::vector<std::string> serviceFileAsXml() {
  const std::string command =
      "python3 -c \"import sys, xml.etree.ElementTree as E\n"
      "r = E.parse('" +
      std::string(kServiceFile) +
      "').getroot()\n"
      "t = [r.find('name').text] + [x.text for x in r.find('service').findall('txt-record')]\n"
      "sys.stdout.buffer.write(b'\\0'.join(s.encode() for s in t))\"";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (::pclose(pipe) != 0) return {};
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(out.substr(start, end - start));
  }
  fields.push_back(out.substr(start));
  return fields;
}

int countBoardCommand(const std::string& line) {
  int n = 0;
  for (const auto& l : boardCommands()) n += (l == line) ? 1 : 0;
  return n;
}

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class SystemServicesE2eTest : public ::testing::Test {
 protected:
  void boot(ampsim::AmpSimOptions options) {
    sim = std::make_unique<ampsim::AmpSimulator>(options);
    sim->start();
    daemon.start();
    ASSERT_TRUE(daemon.waitForOutput("Server listening on 0.0.0.0:50051\n"));
    channel = grpc::CreateChannel("127.0.0.1:50051", grpc::InsecureChannelCredentials());
    system = pb::SystemService::NewStub(channel);
    name = pb::NameService::NewStub(channel);
    information = pb::InformationService::NewStub(channel);
    features = pb::FeatureAvailabilityService::NewStub(channel);
    // The serial number report publishes the product.
    ASSERT_TRUE(waitForBoardCommand(kReload));
  }

  grpc::Status setPower(std::optional<bool> on, std::optional<bool> autoOff = std::nullopt) {
    grpc::ClientContext context;
    pb::SetPowerRequest request;
    if (on) request.set_ispoweredon(*on);
    if (autoOff) request.set_isautooffenabled(*autoOff);
    pb::SetPowerResponse response;
    return system->SetPower(&context, request, &response);
  }
  pb::GetPowerResponse getPower() {
    grpc::ClientContext context;
    pb::GetPowerResponse response;
    EXPECT_TRUE(system->GetPower(&context, {}, &response).ok());
    return response;
  }
  grpc::Status factoryReset() {
    grpc::ClientContext context;
    pb::FactoryResetResponse response;
    return system->FactoryReset(&context, {}, &response);
  }
  std::string getName() {
    grpc::ClientContext context;
    pb::GetNameResponse response;
    EXPECT_TRUE(name->GetName(&context, {}, &response).ok());
    return response.name();
  }
  grpc::Status setName(const std::string& text) {
    grpc::ClientContext context;
    pb::SetNameRequest request;
    request.set_name(text);
    pb::SetNameResponse response;
    return name->SetName(&context, request, &response);
  }
  pb::GetInformationResponse getInformation() {
    grpc::ClientContext context;
    pb::GetInformationResponse response;
    EXPECT_TRUE(information->GetInformation(&context, {}, &response).ok());
    return response;
  }
  // Waits until the daemon has logged the product state `value` once more than before.
  bool waitForSchedule(char value, std::size_t before) {
    const std::string line = std::string("Setting Schedule to '") + value + "'\n";
    return eventually([&] { return daemon.countInOutput(line) > before; });
  }

  std::unique_ptr<ampsim::AmpSimulator> sim;
  DaemonProcess daemon{AMP_BRIDGE_PATH};
  std::shared_ptr<grpc::Channel> channel;
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

  {
    grpc::ClientContext context;
    pb::GetAvailableFeaturesResponse response;
    ASSERT_TRUE(features->GetAvailableFeatures(&context, {}, &response).ok());
    EXPECT_THAT(std::vector<int>(response.services().begin(), response.services().end()),
                ElementsAre(1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12));
  }
  ASSERT_TRUE(eventually([&] { return getInformation().has_damoduleinformation(); }));
  const auto info = getInformation();
  EXPECT_EQ(info.uuid(), "FFFF0001-0100-0000-0031-323334353637");
  EXPECT_EQ(info.modelid(), "K40");
  EXPECT_EQ(info.serialnumber(), "1234567");
  EXPECT_EQ(info.firmwareversion(), "1.4.2");
  EXPECT_EQ(info.damoduleinformation().type(), pb::DA_MODULE_TYPE_V2);
  EXPECT_EQ(info.damoduleinformation().firmwareversion(), "1.3.0");

  // A hostile name is stored whole and published as its text, never as a command.
  EXPECT_EQ(getName(), "K40-1234567");
  const std::string hostile = "Tom & Jerry's <Den> | \"$(reboot)\" `reboot` \\1 end\n";
  ASSERT_TRUE(setName(hostile).ok());
  EXPECT_EQ(getName(), hostile);
  EXPECT_EQ(readFile("/data/vtl_name.txt"), hostile);
  EXPECT_EQ(countBoardCommand(kReload), 2);
  EXPECT_THAT(serviceFileAsXml(),
              ElementsAre("Vantorel K40-1234567",
                          "name=Tom & Jerry's <Den> | \"$(reboot)\" `reboot` \\1 end", "model=1",
                          "serial=1234567", "api=grpc"));
  // The next refresh still finds the record it wrote.
  ASSERT_TRUE(setName("Living Room").ok());
  EXPECT_EQ(countBoardCommand(kReload), 3);
  EXPECT_EQ(serviceFileAsXml().at(1), "name=Living Room");
  const grpc::Status empty = setName("");
  EXPECT_EQ(empty.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_EQ(empty.error_message(), "Must not be empty string");

  // The controller asks for the SDDP announcer.
  sim->amplifier().requestSddpRestart();
  const std::string sddp = "vtl-sddp -c /opt/vtl/sys/sddp/K40.conf -i K40-1234567";
  ASSERT_TRUE(waitForBoardCommand(sddp));
  EXPECT_EQ(boardCommandIndex("killall vtl-sddp") + 1, boardCommandIndex(sddp));
  EXPECT_FALSE(readFile("/opt/vtl/sys/sddp/K40.conf").empty());

  // Power on: the stream follows the amplifier's walk through its product states.
  StreamReader<pb::ObservePowerResponse> power(
      [this](grpc::ClientContext* c) { return system->ObservePower(c, {}); });
  ASSERT_EQ(power.waitFor([](const auto& m) { return !m.ispoweredon(); }), 0);
  const std::size_t settledOn = daemon.countInOutput("Setting Schedule to '1'\n");
  ASSERT_TRUE(setPower(true).ok());
  ASSERT_GT(power.waitFor([](const auto& m) { return m.ispoweredon(); }), 0);
  EXPECT_TRUE(waitForSchedule('1', settledOn));
  const std::string out = daemon.output();
  const auto walk2 = out.find("Setting Schedule to '2'");
  const auto walk3 = out.find("Setting Schedule to '3'");
  EXPECT_NE(walk2, std::string::npos);
  EXPECT_LT(walk2, walk3);
  EXPECT_TRUE(getPower().ispoweredon());
  EXPECT_TRUE(sim->amplifier().poweredOn());

  // While the product state changes, power and reset are refused; auto-off is not.
  const std::size_t changing = daemon.countInOutput("Setting Schedule to '5'\n");
  sim->sendFrame("35");
  ASSERT_TRUE(waitForSchedule('5', changing));
  for (const grpc::Status& status : {setPower(false, true), factoryReset()}) {
    EXPECT_EQ(status.error_code(), grpc::StatusCode::UNAVAILABLE);
    EXPECT_EQ(status.error_message(), "Product State Transisioning");
  }
  EXPECT_FALSE(sim->amplifier().autoOffEnabled());
  ASSERT_TRUE(setPower(std::nullopt, true).ok());
  ASSERT_TRUE(eventually([&] { return getPower().isautooffenabled(); }));
  EXPECT_TRUE(sim->amplifier().autoOffEnabled());
  const std::size_t settled = daemon.countInOutput("Setting Schedule to '1'\n");
  sim->sendFrame("31");
  ASSERT_TRUE(waitForSchedule('1', settled));

  // The power-off timer runs out on the amplifier: the stream sees it switch off.
  const std::size_t seen = power.count();
  ASSERT_TRUE(sim->amplifier().autoOffTimerExpired());
  ASSERT_GE(power.waitFor([](const auto& m) { return !m.ispoweredon(); }, seen), 0);
  EXPECT_FALSE(getPower().ispoweredon());

  // A factory reset goes to the amplifier, which resets and asks the module to reset too.
  EXPECT_EQ(boardCommandIndex("reboot"), -1) << "a name ran a command";
  const std::size_t before = sim->receivedFrames().size();
  ASSERT_TRUE(waitForSchedule('0', 0));
  ASSERT_TRUE(factoryReset().ok());
  EXPECT_GE(sim->waitForFrame([](const std::string& f) { return f == "2"; }, before), 0);
  EXPECT_EQ(sim->amplifier().factoryResets(), 1);
  EXPECT_TRUE(waitForBoardCommand("reboot"));
}

TEST_F(SystemServicesE2eTest, K7100PublishesItsOwnModel) {
  writeBoardFile("/sys/bus/iio/devices/iio:device0/in_voltage6_raw", "1241\n");
  ampsim::AmpSimOptions options;
  options.amplifier.model = ampsim::AmplifierModel::Model::K7100;
  options.amplifier.serialNumber = "7654321";
  boot(options);
  EXPECT_THAT(serviceFileAsXml(), ElementsAre("Vantorel K7100-7654321", "name=K7100-7654321",
                                              "model=2", "serial=7654321", "api=grpc"));
  EXPECT_EQ(getName(), "K7100-7654321");
  EXPECT_EQ(getInformation().uuid().rfind("FFFF0002-", 0), 0U);
  sim->amplifier().requestSddpRestart();
  EXPECT_TRUE(waitForBoardCommand("vtl-sddp -c /opt/vtl/sys/sddp/K7100.conf -i K7100-7654321"));
  EXPECT_FALSE(readFile("/opt/vtl/sys/sddp/K7100.conf").empty());
}

}  // namespace
}  // namespace vantorellabs::e2e

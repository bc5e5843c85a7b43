#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "Fakes.h"
#include "core/Identity.h"

namespace vantorellabs {
namespace {

using testing::FakeShell;

const std::string kRaw = "cat /sys/bus/iio/devices/iio:device0/in_voltage6_raw";
const std::string kScale = "cat /sys/bus/iio/devices/iio:device0/in_voltage_scale";

ModelReading readModel(const std::string& raw, const std::string& scale) {
  FakeShell shell;
  shell.outputs[kRaw] = raw;
  shell.outputs[kScale] = scale;
  return detectModel(shell);
}

TEST(IdentityTest, ModelFollowsTheVoltage) {
  const ModelReading k40 = readModel("1365\n", "0.805664062\n");
  EXPECT_EQ(k40.status, ModelReading::Status::Ok);
  EXPECT_EQ(k40.model, DeviceState::kModelK40);
  EXPECT_EQ(readModel("1241\n", "0.805664062\n").model, DeviceState::kModelK7100);
  EXPECT_EQ(readModel("1000\n", "1.0\n").model, DeviceState::kModelK40) << "exactly 1000 mV";
  EXPECT_EQ(readModel("999.9\n", "1\n").model, DeviceState::kModelK7100);
}

TEST(IdentityTest, LastParsableLineWins) {
  EXPECT_EQ(readModel("2000\nnoise\n900\n", "1\n").model, DeviceState::kModelK7100);
  EXPECT_EQ(readModel("900\n2000\nnoise\n", "1\n").model, DeviceState::kModelK40);
}

TEST(IdentityTest, ReadingWithoutANumberOrPipeIsReported) {
  EXPECT_EQ(readModel("", "0.8\n").status, ModelReading::Status::NoNumber);
  EXPECT_EQ(readModel("1365\n", "n/a\n").status, ModelReading::Status::NoNumber);
  FakeShell shell;
  shell.failingPipes[kRaw] = true;
  EXPECT_EQ(detectModel(shell).status, ModelReading::Status::PipeFailed);
}

TEST(IdentityTest, ModelTexts) {
  EXPECT_EQ(modelString(0), "K40");
  EXPECT_EQ(modelString(1), "K7100");
  EXPECT_EQ(modelString(2), "");
  EXPECT_EQ(apiModelNumber(0), 1);
  EXPECT_EQ(apiModelNumber(1), 2);
  EXPECT_EQ(apiModelNumber(-1), 0);
}

TEST(IdentityTest, DefaultNameAndUuid) {
  DeviceState k40(0, "1.0.0");
  EXPECT_EQ(defaultProductName(k40), "K40-#######");
  EXPECT_EQ(productUuid(k40), "FFFF0001-0100-0000-0023-232323232323");
  k40.setSerialNumber("1234567");
  EXPECT_EQ(productUuid(k40), "FFFF0001-0100-0000-0031-323334353637");
  EXPECT_EQ(defaultProductName(k40), "K40-1234567");
  DeviceState k7100(1, "1.0.0");
  k7100.setSerialNumber("1234567");
  EXPECT_EQ(productUuid(k7100), "FFFF0002-0100-0000-0031-323334353637");
  DeviceState unknown(5, "1.0.0");
  unknown.setSerialNumber("1234567");
  EXPECT_EQ(productUuid(unknown), "FFFF-0100-0000-0031-323334353637");
  EXPECT_EQ(defaultProductName(unknown), "-1234567");
}

class FirmwareVersionTest : public ::testing::Test {
 protected:
  std::string path = ::testing::TempDir() + "issue-" + std::to_string(::getpid());
  void write(const std::string& text) { std::ofstream(path) << text; }
  ~FirmwareVersionTest() override { std::remove(path.c_str()); }
};

TEST_F(FirmwareVersionTest, FirstVersionInTheFileWins) {
  write("Vantorel OS 2.10.3 (build 7.1.0)\n");
  EXPECT_EQ(readFirmwareVersion(path.c_str()), "2.10.3");
}

TEST_F(FirmwareVersionTest, MissingOrVersionlessFileGivesZeros) {
  EXPECT_EQ(readFirmwareVersion("/nonexistent/issue"), "0.0.0");
  write("Welcome 1.2\n");
  EXPECT_EQ(readFirmwareVersion(path.c_str()), "0.0.0");
}

}  // namespace
}  // namespace vantorellabs

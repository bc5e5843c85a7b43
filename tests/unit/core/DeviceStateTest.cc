#include <gtest/gtest.h>

#include <thread>

#include "core/DeviceState.h"

namespace vantorellabs {
namespace {

TEST(DeviceStateTest, StartsFromItsInitialValues) {
  const DeviceState state(DeviceState::kModelK7100, "2.1.0");
  EXPECT_EQ(state.model(), 1);
  EXPECT_EQ(state.firmwareVersion(), "2.1.0");
  EXPECT_EQ(state.serialNumber(), "#######");
  EXPECT_FALSE(state.isPoweredOn());
  EXPECT_EQ(state.schedule(), '0');
  EXPECT_TRUE(state.isSettled());
  EXPECT_EQ(state.daVersionMajor, 0);
  EXPECT_EQ(state.daVersionMinor, 0);
  EXPECT_EQ(state.daModuleType, 0);
}

TEST(DeviceStateTest, SettersKeepTheInvariants) {
  DeviceState state(0, "0.0.0");
  EXPECT_FALSE(state.setSerialNumber(""));
  EXPECT_FALSE(state.setSerialNumber("ABCDEF"));
  EXPECT_FALSE(state.setSerialNumber("ABCDEFGH"));
  EXPECT_TRUE(state.setSerialNumber("ABCDEFG"));
  EXPECT_TRUE(state.setSchedule('1'));
  EXPECT_TRUE(state.isSettled());
  EXPECT_TRUE(state.setSchedule('2'));
  EXPECT_FALSE(state.isSettled());
  EXPECT_TRUE(state.setSchedule('0'));
  EXPECT_TRUE(state.isSettled());
  EXPECT_FALSE(state.setSchedule('8'));
  EXPECT_FALSE(state.setSchedule('/'));
  EXPECT_TRUE(state.setSchedule('7'));
  EXPECT_FALSE(state.isSettled());
  EXPECT_FALSE(state.setPoweredOnFlag(1));
  EXPECT_FALSE(state.setPoweredOnFlag('/'));
  EXPECT_FALSE(state.setPoweredOnFlag('2'));
  EXPECT_TRUE(state.setPoweredOnFlag('1'));
  EXPECT_TRUE(state.isPoweredOn());
  EXPECT_EQ(state.serialNumber(), "ABCDEFG");
  EXPECT_EQ(state.schedule(), '7');
}

TEST(DeviceStateTest, SerialNumberReadsWholeWhileAnotherThreadReplacesIt) {
  DeviceState state(0, "0.0.0");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) state.setSerialNumber(i % 2 ? "AAAAAAA" : "BBBBBBB");
  });
  for (int i = 0; i < 20000; ++i) {
    const std::string s = state.serialNumber();
    ASSERT_TRUE(s == "AAAAAAA" || s == "BBBBBBB" || s == "#######") << s;
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace vantorellabs

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Fakes.h"
#include "server/ApiWatchdog.h"

namespace vantorellabs {
namespace {

using ::testing::ElementsAre;
using testing::FakeClock;
using testing::RecordingConsole;

TEST(ApiWatchdogTest, ThreeFailuresInARowFiveSecondsApartEndTheApi) {
  FakeClock clock;
  RecordingConsole console;
  // Each check's answer (empty: serving) and the seconds it takes.
  const std::vector<std::pair<std::string, double>> script = {{"", 0.25},
                                                              {"Deadline Exceeded", 5.0},
                                                              {"", 0.25},
                                                              {"Deadline Exceeded", 5.0},
                                                              {"Connection refused", 0.5},
                                                              {"Deadline Exceeded", 5.0}};
  std::vector<double> startedAt;
  ApiWatchdog watchdog(clock, console, [&]() -> std::optional<std::string> {
    const auto& [failure, seconds] = script.at(startedAt.size());
    startedAt.push_back(clock.now - 1000.0);
    clock.now += seconds;
    if (failure.empty()) return std::nullopt;
    return failure;
  });
  std::vector<bool> alive;
  for (std::size_t i = 0; i < script.size(); ++i) alive.push_back(watchdog.checkStep());

  // A success in between starts the count again: only the last three end the API.
  EXPECT_THAT(alive, ElementsAre(true, true, true, true, true, false));
  // Starts 5 s apart; a check that ran into its 5 s deadline is followed at once.
  EXPECT_THAT(startedAt, ElementsAre(5.0, 10.0, 15.0, 20.0, 25.0, 30.0));
  EXPECT_THAT(clock.sleeps, ElementsAre(5.0, 4.75, 4.75, 4.5));
  EXPECT_THAT(console.prints(),
              ElementsAre("API health check failed (1 of 3): Deadline Exceeded\n",
                          "API health check answered again\n",
                          "API health check failed (1 of 3): Deadline Exceeded\n",
                          "API health check failed (2 of 3): Connection refused\n",
                          "API health check failed (3 of 3): Deadline Exceeded\n"));
}

}  // namespace
}  // namespace vantorellabs

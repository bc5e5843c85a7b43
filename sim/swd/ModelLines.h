#pragma once

// The target model wired straight to the transport, for tests and the benchmark that run
// the tool's code in their own process.

#include <cerrno>

#include "SwdLines.h"
#include "SwdTargetModel.h"

namespace swdmodel {

class ModelLines : public swd::SwdLines {
 public:
  explicit ModelLines(SwdTargetModel& model) : model_(model) {}

  // SWDIO is requested with the pull-up, and idling re-applies it, as the gpio layer does.
  bool swdOpenLines(std::string*) override {
    model_.setPullUp(true);
    return true;
  }
  void swdReleaseLines() override {
    dataOutput_ = false;
    model_.releaseData();
    model_.releaseClock();
  }
  void swdIdleLines() override {
    swdReleaseLines();
    model_.setPullUp(true);
  }
  void swdDriveLines() override {
    dataOutput();
    setData(1);
    model_.driveClock(0);
    model_.driveClock(1);
  }
  void swdCloseChip() override {}

  void setClock(int level) override { model_.driveClock(level); }
  void setData(int level) override {
    // As on a GPIO chip, an input line cannot be set.
    if (!dataOutput_) throw swd::GpioFailure("setting line PC27", EPERM);
    model_.driveData(level);
  }
  int readData() override { return model_.dataLevel(); }
  void dataInput() override {
    dataOutput_ = false;
    model_.releaseData();
  }
  void dataOutput() override {
    dataOutput_ = true;
    model_.driveData(0);
  }

 private:
  SwdTargetModel& model_;
  bool dataOutput_ = false;
};

}  // namespace swdmodel

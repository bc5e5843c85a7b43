#pragma once

// SWD wires that record what the host sends and answer reads from a script: the bits a
// target would put on SWDIO, in order. With the script used up, SWDIO reads 1, as the
// pull-up makes it when nothing is attached.

#include <deque>
#include <string>
#include <vector>

#include "SwdLines.h"

namespace swd::testing {

class ScriptedSwdLines : public SwdLines {
 public:
  // Appends `count` bits of `value`, least significant first.
  void answer(uint64_t value, int count) {
    for (int i = 0; i < count; ++i) script_.push_back(static_cast<int>((value >> i) & 1));
  }

  bool swdOpenLines(std::string* error) override {
    opened = true;
    if (!openError.empty()) *error = openError;
    return openError.empty();
  }
  void swdReleaseLines() override {
    dataIsOutput_ = false;
    released = true;
  }
  void swdIdleLines() override { dataIsOutput_ = false; }
  void swdDriveLines() override {
    dataIsOutput_ = true;
    level_ = 1;
    clock_ = 1;
  }
  void swdCloseChip() override {}

  void setClock(int level) override {
    if (clock_ == 0 && level == 1) {
      ++cycles;
      // The bits the host drives, as a target samples them on the rising edge.
      if (dataIsOutput_) sent.push_back(level_);
    }
    clock_ = level;
  }
  void setData(int level) override {
    if (!dataIsOutput_) throw GpioFailure("setting line PC27", 1);
    level_ = level;
  }
  int readData() override {
    if (readError != 0) throw GpioFailure("", readError);
    if (script_.empty()) return 1;
    int bit = script_.front();
    script_.pop_front();
    return bit;
  }
  void dataInput() override { dataIsOutput_ = false; }
  void dataOutput() override {
    dataIsOutput_ = true;
    level_ = 0;
  }

  // The sent bits from `first`, `count` of them, least significant first.
  uint64_t sentValue(std::size_t first, int count) const {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= static_cast<uint64_t>(sent.at(first + i)) << i;
    return value;
  }

  bool opened = false;
  bool released = false;
  std::string openError;
  int readError = 0;  // errno of every failing SWDIO read, 0: reads work
  int cycles = 0;
  std::vector<int> sent;

 private:
  std::deque<int> script_;
  bool dataIsOutput_ = false;
  int level_ = 1;
  int clock_ = 1;
};

}  // namespace swd::testing

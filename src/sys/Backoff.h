#pragma once

#include <algorithm>
#include <cstdio>
#include <string>

namespace vantorellabs {

// The pause before trying again after a failure: it doubles with each failure in a row up
// to a ceiling, and a success starts it over. A failure that repeats for hours is reported
// once per step (when the pause changes), not once per try, so that it cannot fill the log.
class Backoff {
 public:
  Backoff(double first, double ceiling) : first_(first), ceiling_(ceiling) {}

  // One more failure: the pause to wait before the next try.
  double failed() {
    const double previous = pause_;
    pause_ = pause_ == 0.0 ? first_ : std::min(pause_ * 2.0, ceiling_);
    stepped_ = pause_ != previous;
    return pause_;
  }
  // Whether the last failure changed the pause: the time to say so.
  bool stepped() const { return stepped_; }
  void succeeded() {
    pause_ = 0.0;
    stepped_ = false;
  }

  // "0.1", "5", "300": a pause as the log says it.
  static std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
  }

 private:
  double first_;
  double ceiling_;
  double pause_ = 0.0;
  bool stepped_ = false;
};

}  // namespace vantorellabs

#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "sys/Clock.h"
#include "sys/Console.h"
#include "update/FirmwareInstaller.h"

namespace vantorellabs {

// The main loop's side of the firmware update: the automatic check every 30 minutes and
// the controller's manual update request. Their downloads and installations run on a
// worker thread, so the loop keeps serving the controller, the DA module and every client
// meanwhile; the worker's controller frames go through the same link.
//
// Every operation here runs on the main thread.
class UpdateScheduler {
 public:
  static constexpr double kCheckSpacingSeconds = 1800.0;

  UpdateScheduler(FirmwareInstaller& installer, Clock& clock, Console& console,
                  std::function<bool()> isAutoUpdateEnabled)
      : installer_(installer),
        clock_(clock),
        console_(console),
        isAutoUpdateEnabled_(std::move(isAutoUpdateEnabled)) {}
  ~UpdateScheduler();
  UpdateScheduler(const UpdateScheduler&) = delete;
  UpdateScheduler& operator=(const UpdateScheduler&) = delete;

  // Controller message 0x0A. Ignored, with a log line, while an update activity runs.
  void manualUpdate();
  // Every pass of the main loop: finishes an ended activity, runs what waited for it, and
  // starts the automatic check when it is due.
  void autoUpdateTick();
  // Runs action now, or, while an update activity runs, once it has ended: a reboot or a
  // factory reset must never cut an installation in half.
  void whenNoUpdateRuns(std::function<void()> action);

  // A manual or automatic update on the worker, or a client's installation.
  bool activityRunning() const;
  // Waits for the worker to end (tests, and the destructor).
  void waitForWorker();

 private:
  void startWorker(std::function<void()> work);

  FirmwareInstaller& installer_;
  Clock& clock_;
  Console& console_;
  std::function<bool()> isAutoUpdateEnabled_;

  bool checkedOnce_ = false;
  double lastCheck_ = 0.0;
  std::thread worker_;
  std::atomic<bool> workerBusy_{false};
  std::vector<std::function<void()>> waiting_;
};

}  // namespace vantorellabs

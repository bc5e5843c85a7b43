#include "update/UpdateScheduler.h"

namespace vantorellabs {

UpdateScheduler::~UpdateScheduler() { waitForWorker(); }

bool UpdateScheduler::activityRunning() const {
  return workerBusy_.load() || installer_.isUpdateInProgress();
}

void UpdateScheduler::waitForWorker() {
  if (worker_.joinable()) worker_.join();
}

void UpdateScheduler::startWorker(std::function<void()> work) {
  waitForWorker();
  workerBusy_ = true;
  worker_ = std::thread([this, work = std::move(work)] {
    work();
    workerBusy_ = false;
  });
}

void UpdateScheduler::manualUpdate() {
  if (activityRunning()) {
    console_.print("Update Already In Progress\n");
    return;
  }
  startWorker([this] { installer_.manualUpdate(); });
}

void UpdateScheduler::whenNoUpdateRuns(std::function<void()> action) {
  if (activityRunning()) {
    waiting_.push_back(std::move(action));
    return;
  }
  action();
}

void UpdateScheduler::autoUpdateTick() {
  if (!activityRunning()) {
    waitForWorker();
    // An action may start something that waits again; it joins the queue afresh.
    std::vector<std::function<void()>> ready;
    ready.swap(waiting_);
    for (auto& action : ready) whenNoUpdateRuns(std::move(action));
  }

  const double now = clock_.monotonicSeconds();
  if (checkedOnce_ && now - lastCheck_ <= kCheckSpacingSeconds) return;
  // A check while another activity runs would wait for its files anyway; it is due again
  // on the next pass once that one has ended.
  if (activityRunning()) return;
  checkedOnce_ = true;
  // The spacing counts from the start of a check, so a long download does not shift the
  // next one.
  lastCheck_ = now;
  if (!isAutoUpdateEnabled_()) {
    console_.print("Auto Update Not Enabled\n");
    return;
  }
  startWorker([this] { installer_.scheduledUpdate(); });
}

}  // namespace vantorellabs

#include "server/ApiHealth.h"

namespace vantorellabs {

void ApiHealth::attach(grpc::HealthCheckServiceInterface* service) {
  std::lock_guard<std::mutex> lock(mutex_);
  service_ = service;
  if (service_ != nullptr && !serving_) service_->SetServingStatus(false);
}

void ApiHealth::setServing(bool serving) {
  std::lock_guard<std::mutex> lock(mutex_);
  serving_ = serving;
  // Applies to the server as a whole ("") and to every service named to it.
  if (service_ != nullptr) service_->SetServingStatus(serving);
}

ApiHealth& apiHealth() {
  static ApiHealth health;
  return health;
}

}  // namespace vantorellabs

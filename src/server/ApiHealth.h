#pragma once

#include <grpcpp/health_check_service_interface.h>

#include <mutex>

namespace vantorellabs {

// What the standard health service says about the module and each of its services. The
// main loop may change it before the API thread has built the server; the server takes the
// current answer when it attaches.
class ApiHealth {
 public:
  // The server's health service, once the server runs (API thread).
  void attach(grpc::HealthCheckServiceInterface* service);
  // Any thread.
  void setServing(bool serving);

 private:
  std::mutex mutex_;
  grpc::HealthCheckServiceInterface* service_ = nullptr;
  bool serving_ = true;
};

// The process's one health answer.
ApiHealth& apiHealth();

}  // namespace vantorellabs

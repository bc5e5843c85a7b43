#pragma once

#include <grpcpp/support/status.h>

#include "core/DeviceState.h"

namespace vantorellabs {

// The answers the services share.
inline grpc::Status productStateTransitioning() {
  return {grpc::StatusCode::UNAVAILABLE, "Product State Transisioning"};
}
inline grpc::Status invalidId() { return {grpc::StatusCode::NOT_FOUND, "Invalid ID"}; }
inline grpc::Status invalidArgument(const char* message) {
  return {grpc::StatusCode::INVALID_ARGUMENT, message};
}

}  // namespace vantorellabs

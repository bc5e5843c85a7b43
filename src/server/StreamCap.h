#pragma once

#include <grpcpp/support/server_interceptor.h>

#include <string_view>

namespace vantorellabs {

// The streaming calls that gRPC's own services add to the API (server reflection's
// ServerReflectionInfo, the health service's Watch) hold a server thread for their whole
// life, like an observe-stream. This takes each of them a place under the process-wide
// stream cap, so a flood of them cannot take the threads that unary calls need.
bool isCappedLibraryStream(std::string_view method);

class StreamCapInterceptorFactory : public grpc::experimental::ServerInterceptorFactoryInterface {
 public:
  grpc::experimental::Interceptor* CreateServerInterceptor(
      grpc::experimental::ServerRpcInfo* info) override;
};

}  // namespace vantorellabs

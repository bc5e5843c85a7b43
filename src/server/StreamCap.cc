#include "server/StreamCap.h"

#include <grpcpp/server_context.h>

#include "Services/StreamObserver.h"

namespace vantorellabs {

namespace {

using grpc::experimental::InterceptionHookPoints;

constexpr std::string_view kCappedMethods[] = {
    "/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo",
    "/grpc.reflection.v1.ServerReflection/ServerReflectionInfo",
    "/grpc.health.v1.Health/Watch",
};

// Lives as long as its call: takes a place when the call arrives and gives it back when
// the call is over. A call that finds no place is cancelled before its handler has read
// anything, so it frees its thread at once. (An interceptor cannot answer a call in the
// handler's place, so such a client sees CANCELLED rather than RESOURCE_EXHAUSTED.)
class StreamCapInterceptor : public grpc::experimental::Interceptor {
 public:
  explicit StreamCapInterceptor(grpc::experimental::ServerRpcInfo* info)
      : info_(info), admitted_(StreamLimiter::instance().tryAcquire()) {}
  ~StreamCapInterceptor() override {
    if (admitted_) StreamLimiter::instance().release();
  }
  StreamCapInterceptor(const StreamCapInterceptor&) = delete;
  StreamCapInterceptor& operator=(const StreamCapInterceptor&) = delete;

  void Intercept(grpc::experimental::InterceptorBatchMethods* methods) override {
    if (!admitted_ &&
        methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_INITIAL_METADATA)) {
      info_->server_context()->TryCancel();
    }
    methods->Proceed();
  }

 private:
  grpc::experimental::ServerRpcInfo* info_;
  const bool admitted_;
};

}  // namespace

bool isCappedLibraryStream(std::string_view method) {
  for (std::string_view capped : kCappedMethods) {
    if (method == capped) return true;
  }
  return false;
}

grpc::experimental::Interceptor* StreamCapInterceptorFactory::CreateServerInterceptor(
    grpc::experimental::ServerRpcInfo* info) {
  if (info->method() == nullptr || !isCappedLibraryStream(info->method())) return nullptr;
  return new StreamCapInterceptor(info);
}

}  // namespace vantorellabs

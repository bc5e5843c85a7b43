#include "Services/Name/NameServiceImpl.h"

#include "Services/ServiceStatus.h"
#include "core/Identity.h"
#include "core/ProductName.h"
#include "sys/Utf8.h"

namespace vantorellabs {

grpc::Status NameServiceImpl::GetNameSchema(grpc::ServerContext* /*context*/,
                                            const protobuf::GetNameSchemaRequest* /*request*/,
                                            protobuf::GetNameSchemaResponse* response) {
  auto* name = response->mutable_name();
  name->mutable_lengthrange()->set_min(kMinNameLength);
  name->mutable_lengthrange()->set_max(kMaxNameLength);
  name->set_default_(toValidUtf8(defaultProductName(state_)));
  name->set_permission(protobuf::PERMISSION_READ_WRITE);
  return grpc::Status::OK;
}

grpc::Status NameServiceImpl::GetName(grpc::ServerContext* /*context*/,
                                      const protobuf::GetNameRequest* /*request*/,
                                      protobuf::GetNameResponse* response) {
  // A file written by hand or by older firmware may hold anything; clients reject a
  // string that is not UTF-8.
  response->set_name(toValidUtf8(readDeviceName(nameFilePath_, state_)));
  return grpc::Status::OK;
}

grpc::Status NameServiceImpl::SetName(grpc::ServerContext* /*context*/,
                                      const protobuf::SetNameRequest* request,
                                      protobuf::SetNameResponse* /*response*/) {
  if (request->name().empty()) return invalidArgument("Must not be empty string");
  if (!files_.replaceFile(nameFilePath_, request->name())) {
    return {grpc::StatusCode::UNKNOWN, "Unable to Write Name"};
  }
  discovery_.refreshDiscoveryRecord();
  return grpc::Status::OK;
}

}  // namespace vantorellabs

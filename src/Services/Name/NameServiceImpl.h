#pragma once

#include <string>

#include "core/DeviceState.h"
#include "discovery/Discovery.h"
#include "name_service.grpc.pb.h"
#include "sys/FileSystem.h"

namespace vantorellabs {

// The product's user-visible name, kept in one file on the data partition and published
// for local discovery. Without a stored name the product is called "<model>-<serial>".
class NameServiceImpl final : public protobuf::NameService::Service {
 public:
  static constexpr std::uint32_t kMinNameLength = 1;
  static constexpr std::uint32_t kMaxNameLength = 20;

  NameServiceImpl(DeviceState& state, FileSystem& files, std::string nameFilePath,
                  Discovery& discovery)
      : state_(state),
        files_(files),
        nameFilePath_(std::move(nameFilePath)),
        discovery_(discovery) {}

  grpc::Status GetNameSchema(grpc::ServerContext* context,
                             const protobuf::GetNameSchemaRequest* request,
                             protobuf::GetNameSchemaResponse* response) override;
  grpc::Status GetName(grpc::ServerContext* context, const protobuf::GetNameRequest* request,
                       protobuf::GetNameResponse* response) override;
  grpc::Status SetName(grpc::ServerContext* context, const protobuf::SetNameRequest* request,
                       protobuf::SetNameResponse* response) override;

 private:
  DeviceState& state_;
  FileSystem& files_;
  const std::string nameFilePath_;
  Discovery& discovery_;
};

}  // namespace vantorellabs

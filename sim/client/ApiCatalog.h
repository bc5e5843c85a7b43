#pragma once

// What amp-client knows about the API, read from the compiled schema: every service that
// the daemon serves, every method, and how to write its request. Nothing here names an RPC,
// so a method added to the .proto files is callable as soon as the client is rebuilt.

#include <google/protobuf/descriptor.h>

#include <string>
#include <vector>

namespace ampclient {

// The API's package, which command lines may leave out of a service's name.
inline constexpr const char* kApiPackage = "vantorellabs.protobuf";

// Every method of every served service, in the schema's order.
std::vector<const google::protobuf::MethodDescriptor*> servedMethods();

// Finds "Service.Method", "package.Service.Method" or "/package.Service/Method"; nullptr
// when there is no such served method.
const google::protobuf::MethodDescriptor* findMethod(const std::string& name);

// "VolumeService.SetVolume", as command lines name it.
std::string shortName(const google::protobuf::MethodDescriptor& method);

// One line per field of a request, with its JSON name and type: what `call` accepts.
std::string describeFields(const google::protobuf::Descriptor& message);

// The help text: the options, the friendly shortcuts and every served method.
std::string helpText();

}  // namespace ampclient

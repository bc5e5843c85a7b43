#include "ApiCatalog.h"

#include <algorithm>

namespace ampclient {

namespace gp = google::protobuf;

namespace {

// In the schema but not served by the daemon: calls to it answer UNIMPLEMENTED, so the
// client does not offer it.
constexpr const char* kUnservedServices[] = {"NetworkConfigurationService"};

bool isServed(const gp::ServiceDescriptor& service) {
  return std::none_of(std::begin(kUnservedServices), std::end(kUnservedServices),
                      [&](const char* name) { return service.name() == name; });
}

std::string fieldType(const gp::FieldDescriptor& field) {
  std::string type = field.message_type() != nullptr ? field.message_type()->name()
                     : field.enum_type() != nullptr  ? field.enum_type()->name()
                                                     : field.type_name();
  if (field.is_map()) return "map";
  if (field.is_repeated()) return "repeated " + type;
  if (field.has_presence() && field.containing_oneof() == nullptr && !field.message_type()) {
    return "optional " + type;
  }
  return type;
}

}  // namespace

std::vector<const gp::MethodDescriptor*> servedMethods() {
  // index.proto imports every file of the API, in the schema's order.
  const gp::FileDescriptor* index =
      gp::DescriptorPool::generated_pool()->FindFileByName("index.proto");
  std::vector<const gp::MethodDescriptor*> methods;
  if (index == nullptr) return methods;
  for (int d = 0; d < index->dependency_count(); ++d) {
    const gp::FileDescriptor* file = index->dependency(d);
    for (int s = 0; s < file->service_count(); ++s) {
      const gp::ServiceDescriptor* service = file->service(s);
      if (!isServed(*service)) continue;
      for (int m = 0; m < service->method_count(); ++m) methods.push_back(service->method(m));
    }
  }
  return methods;
}

const gp::MethodDescriptor* findMethod(const std::string& name) {
  std::string wanted = name;
  if (!wanted.empty() && wanted.front() == '/') {
    wanted.erase(0, 1);
    std::replace(wanted.begin(), wanted.end(), '/', '.');
  }
  for (const gp::MethodDescriptor* method : servedMethods()) {
    if (wanted == method->full_name() || wanted == shortName(*method)) return method;
  }
  return nullptr;
}

std::string shortName(const gp::MethodDescriptor& method) {
  return method.service()->name() + "." + method.name();
}

std::string describeFields(const gp::Descriptor& message) {
  std::string text;
  for (int f = 0; f < message.field_count(); ++f) {
    const gp::FieldDescriptor& field = *message.field(f);
    text += "      \"" + field.json_name() + "\": " + fieldType(field) + "\n";
  }
  return text;
}

std::string helpText() {
  std::string text =
      "usage: amp-client [--target HOST:PORT] [--json] [--count N] COMMAND [ARGUMENTS]\n"
      "\n"
      "Calls the amplifier's gRPC API (default target 127.0.0.1:50051).\n"
      "  --json       print each answer as one line of JSON (proto3 JSON mapping), for scripts\n"
      "  --count N    end a stream after N messages (default: run until Ctrl-C)\n"
      "\n"
      "Commands:\n"
      "  call METHOD [JSON]    call any method below; JSON is its request (default {})\n"
      "  list                  print every method, one per line\n"
      "  describe METHOD       print the request and answer fields of a method\n"
      "  observe-volume        print every volume change\n"
      "  set-volume N          ask for volume N (0..100)\n"
      "  mute on|off\n"
      "  inputs                list the sixteen inputs\n"
      "  select-input N        make input N (1..16) the active one\n"
      "  observe-input         print every change of the active input\n"
      "\n"
      "Methods (METHOD; a stream prints every message):\n";
  for (const gp::MethodDescriptor* method : servedMethods()) {
    text += "  " + shortName(*method) + (method->server_streaming() ? "  (stream)" : "") + "\n";
  }
  text +=
      "\n"
      "Example: amp-client call VolumeService.SetVolume '{\"volume\": 40}'\n";
  return text;
}

}  // namespace ampclient

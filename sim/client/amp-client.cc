// amp-client: a command-line client for every RPC of the amplifier's API, for integrators
// and for scripts on the board. One generic path calls any method by name with a JSON
// request, taking services, methods and messages from the compiled schema; the friendly
// shortcuts of the demo (set-volume, observe-volume, ...) are calls on that path too.

#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/util/json_util.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/client_unary_call.h>
#include <grpcpp/impl/codegen/proto_utils.h>
#include <grpcpp/impl/codegen/rpc_method.h>
#include <grpcpp/support/sync_stream.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ApiCatalog.h"
#include "audio_inputs_activation_service.pb.h"
#include "audio_inputs_service.pb.h"
#include "volume_service.pb.h"

namespace pb = vantorellabs::protobuf;
namespace gp = google::protobuf;

namespace {

constexpr std::chrono::seconds kUnaryDeadline{10};

struct Options {
  std::string target = "127.0.0.1:50051";
  bool json = false;
  // Messages after which a stream is ended; 0: until the server or the user ends it.
  long count = 0;
};

// How the answer of one call is shown: the shortcuts have their own lines; everything else
// is JSON.
using Printer = std::function<void(const gp::Message&)>;

std::string jsonText(const gp::Message& message, bool pretty) {
  gp::util::JsonPrintOptions options;
  options.add_whitespace = pretty;
  options.always_print_primitive_fields = true;
  std::string text;
  gp::util::MessageToJsonString(message, &text, options);
  if (text.empty() || text.back() != '\n') text += "\n";
  return text;
}

std::string jsonEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
      escaped += code;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

const char* codeName(grpc::StatusCode code) {
  static const char* const kNames[] = {"OK",
                                       "CANCELLED",
                                       "UNKNOWN",
                                       "INVALID_ARGUMENT",
                                       "DEADLINE_EXCEEDED",
                                       "NOT_FOUND",
                                       "ALREADY_EXISTS",
                                       "PERMISSION_DENIED",
                                       "RESOURCE_EXHAUSTED",
                                       "FAILED_PRECONDITION",
                                       "ABORTED",
                                       "OUT_OF_RANGE",
                                       "UNIMPLEMENTED",
                                       "INTERNAL",
                                       "UNAVAILABLE",
                                       "DATA_LOSS",
                                       "UNAUTHENTICATED"};
  const auto index = static_cast<std::size_t>(code);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "UNKNOWN";
}

int report(const grpc::Status& status, const Options& options, bool sayOk) {
  if (status.ok()) {
    if (sayOk && !options.json) std::printf("OK\n");
    return 0;
  }
  if (options.json) {
    std::fprintf(stderr, "{\"code\":%d,\"status\":\"%s\",\"message\":\"%s\"}\n",
                 static_cast<int>(status.error_code()), codeName(status.error_code()),
                 jsonEscaped(status.error_message()).c_str());
  } else {
    std::printf("%d %s\n", static_cast<int>(status.error_code()), status.error_message().c_str());
  }
  return 1;
}

std::unique_ptr<gp::Message> newMessage(const gp::Descriptor* type) {
  return std::unique_ptr<gp::Message>(
      gp::MessageFactory::generated_factory()->GetPrototype(type)->New());
}

// Calls one method: a unary call prints its answer, a server stream prints every message
// until it ends (or after options.count messages).
int call(const std::shared_ptr<grpc::Channel>& channel, const gp::MethodDescriptor& method,
         const std::string& requestJson, const Options& options, const Printer& humanPrinter,
         bool sayOk) {
  auto request = newMessage(method.input_type());
  const auto parsed = gp::util::JsonStringToMessage(requestJson, request.get());
  if (!parsed.ok()) {
    std::fprintf(stderr, "amp-client: not a request of %s: %s\n  fields of %s:\n%s",
                 ampclient::shortName(method).c_str(), parsed.ToString().c_str(),
                 method.input_type()->name().c_str(),
                 ampclient::describeFields(*method.input_type()).c_str());
    return 2;
  }
  const Printer print = [&](const gp::Message& message) {
    if (options.json || !humanPrinter) {
      std::fputs(jsonText(message, !options.json).c_str(), stdout);
    } else {
      humanPrinter(message);
    }
    std::fflush(stdout);
  };
  const std::string path = "/" + method.service()->full_name() + "/" + method.name();
  grpc::ClientContext context;
  auto response = newMessage(method.output_type());
  if (method.client_streaming()) {
    std::fprintf(stderr, "amp-client: %s takes a stream of requests, which it cannot send\n",
                 path.c_str());
    return 2;
  }
  if (!method.server_streaming()) {
    context.set_deadline(std::chrono::system_clock::now() + kUnaryDeadline);
    const grpc::internal::RpcMethod rpc(path.c_str(), grpc::internal::RpcMethod::NORMAL_RPC);
    const grpc::Status status = grpc::internal::BlockingUnaryCall<gp::Message, gp::Message>(
        channel.get(), rpc, &context, *request, response.get());
    if (status.ok() && !(sayOk && !options.json)) print(*response);
    return report(status, options, sayOk);
  }
  const grpc::internal::RpcMethod rpc(path.c_str(), grpc::internal::RpcMethod::SERVER_STREAMING);
  std::unique_ptr<grpc::ClientReader<gp::Message>> reader(
      grpc::internal::ClientReaderFactory<gp::Message>::Create(channel.get(), rpc, &context,
                                                               *request));
  long received = 0;
  while (reader->Read(response.get())) {
    print(*response);
    if (options.count > 0 && ++received >= options.count) {
      context.TryCancel();
      reader->Finish();
      return 0;
    }
  }
  return report(reader->Finish(), options, false);
}

void printVolume(const gp::Message& m) {
  const auto& message = static_cast<const pb::ObserveVolumeResponse&>(m);
  std::printf("volume %d%s%s\n", message.volume(),
              message.has_pendingvolume()
                  ? (" (pending " + std::to_string(message.pendingvolume()) + ")").c_str()
                  : "",
              message.ismuted() ? " muted" : "");
}

void printInputs(const gp::Message& m) {
  for (const auto& in : static_cast<const pb::GetAudioInputsResponse&>(m).inputs()) {
    std::printf("%2u %-10s %s%s\n", in.id(), in.name().c_str(), in.customname().c_str(),
                in.isenabled() ? "" : " (disabled)");
  }
}

void printActiveInput(const gp::Message& m) {
  const auto& a = static_cast<const pb::ObserveActiveAudioInputResponse&>(m).activeinput();
  std::printf("input %u name \"%s\" metadata \"%s\"%s\n", a.id(), a.customname().c_str(),
              a.inputmetadata().c_str(), a.ispassthruactive() ? " passthrough" : "");
}

// A typo must never become a different request ("4O" is not 4, "yes" is not "off"): an
// argument is refused, before any call, unless all of it is a number in its range.
std::optional<long long> wholeNumber(const std::string& text, long long min, long long max) {
  // Eighteen digits fit in 64 bits, on the board's 32-bit ARM as well.
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const long long value = std::stoll(text);
  if (value < min || value > max) return std::nullopt;
  return value;
}

// Says which argument was refused and what it may be; the status of a usage error.
int refuseArgument(const char* name, const std::string& given, const std::string& allowed) {
  std::fprintf(stderr, "amp-client: invalid %s \"%s\" (%s)\n", name, given.c_str(),
               allowed.c_str());
  return 2;
}

// A shortcut's argument: a number in a range, or one of two words.
struct Argument {
  const char* name = nullptr;
  long long min = 0;
  long long max = 0;
  // For a choice of two words (the first means true); nullptr for a number.
  const char* yes = nullptr;
  const char* no = nullptr;

  std::string allowed() const {
    return yes != nullptr ? std::string(yes) + "|" + no
                          : std::to_string(min) + ".." + std::to_string(max);
  }
  // The argument as a JSON value, or nothing when it is not one this takes.
  std::optional<std::string> json(const std::string& text) const {
    if (yes != nullptr) {
      if (text == yes) return std::string("true");
      if (text == no) return std::string("false");
      return std::nullopt;
    }
    const auto value = wholeNumber(text, min, max);
    return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
  }
};

// The demo's commands, each one call of the generic path.
struct Shortcut {
  const char* command;
  const char* method;
  // The request's field that the argument sets; nullptr for a command without one.
  const char* field;
  Argument argument;
  Printer human;
  // Whether the human form of the answer is "OK" (a command that changes something).
  bool sayOk;
};

const Shortcut kShortcuts[] = {
    {"observe-volume", "VolumeService.ObserveVolume", nullptr, {}, printVolume, false},
    {"set-volume", "VolumeService.SetVolume", "volume", {"volume", 0, 100}, nullptr, true},
    {"mute", "VolumeService.SetVolume", "isMuted", {"mute", 0, 0, "on", "off"}, nullptr, true},
    {"inputs", "AudioInputsService.GetInputs", nullptr, {}, printInputs, false},
    {"select-input",
     "AudioInputsActivationService.SetActiveInput",
     "id",
     {"input", 1, 16},
     nullptr,
     true},
    {"observe-input",
     "AudioInputsActivationService.ObserveActiveInput",
     nullptr,
     {},
     printActiveInput,
     false},
};

// --count's range: 0 (until the stream ends) up to what a stream could ever carry.
constexpr Argument kCount{"count", 0, 2147483647};

int usageError() {
  std::fputs(ampclient::helpText().c_str(), stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(ampclient::helpText().c_str(), stdout);
      return 0;
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--target" && i + 1 < argc) {
      options.target = argv[++i];
    } else if (arg == "--count" && i + 1 < argc) {
      const auto count = wholeNumber(argv[++i], kCount.min, kCount.max);
      if (!count) return refuseArgument(kCount.name, argv[i], kCount.allowed());
      options.count = *count;
    } else {
      break;
    }
  }
  if (i >= argc) return usageError();
  const std::string command = argv[i];
  const bool hasArgument = i + 1 < argc;
  const std::string argument = hasArgument ? argv[i + 1] : "";

  if (command == "list") {
    for (const auto* method : ampclient::servedMethods()) {
      std::printf("%s\n", ampclient::shortName(*method).c_str());
    }
    return 0;
  }
  if (command == "describe" || command == "call") {
    const gp::MethodDescriptor* method = hasArgument ? ampclient::findMethod(argument) : nullptr;
    if (method == nullptr) {
      std::fprintf(stderr, "amp-client: no method \"%s\"; \"amp-client list\" names them all\n",
                   argument.c_str());
      return 2;
    }
    if (command == "describe") {
      std::printf("%s%s\n  request %s\n%s  answer %s\n%s", ampclient::shortName(*method).c_str(),
                  method->server_streaming() ? " (stream)" : "",
                  method->input_type()->name().c_str(),
                  ampclient::describeFields(*method->input_type()).c_str(),
                  method->output_type()->name().c_str(),
                  ampclient::describeFields(*method->output_type()).c_str());
      return 0;
    }
    auto channel = grpc::CreateChannel(options.target, grpc::InsecureChannelCredentials());
    return call(channel, *method, i + 2 < argc ? argv[i + 2] : "{}", options, nullptr, false);
  }
  for (const Shortcut& shortcut : kShortcuts) {
    if (command != shortcut.command || (shortcut.field != nullptr) != hasArgument) continue;
    std::string request = "{}";
    if (shortcut.field != nullptr) {
      const Argument& rule = shortcut.argument;
      const auto value = rule.json(argument);
      if (!value) return refuseArgument(rule.name, argument, rule.allowed());
      request = std::string("{\"") + shortcut.field + "\": " + *value + "}";
    }
    auto channel = grpc::CreateChannel(options.target, grpc::InsecureChannelCredentials());
    return call(channel, *ampclient::findMethod(shortcut.method), request, options, shortcut.human,
                shortcut.sayOk);
  }
  return usageError();
}

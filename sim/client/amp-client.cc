// amp-client: a small command-line gRPC client for trying the API by hand, for example
// against the demo: change the volume and watch the stream follow the amplifier's ramp.

#include <grpcpp/grpcpp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio_inputs_activation_service.grpc.pb.h"
#include "audio_inputs_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace pb = vantorellabs::protobuf;

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: amp-client [--target HOST:PORT] COMMAND\n"
               "  observe-volume        print every volume change until Ctrl-C\n"
               "  set-volume N          ask for volume N (0..100)\n"
               "  mute on|off\n"
               "  inputs                list the sixteen inputs\n"
               "  select-input N        make input N (1..16) the active one\n"
               "  observe-input         print every change of the active input until Ctrl-C\n");
}

int report(const grpc::Status& status) {
  if (status.ok()) {
    std::printf("OK\n");
    return 0;
  }
  std::printf("%d %s\n", static_cast<int>(status.error_code()), status.error_message().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string target = "127.0.0.1:50051";
  int i = 1;
  if (i + 1 < argc && std::string(argv[i]) == "--target") {
    target = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    usage();
    return 2;
  }
  const std::string command = argv[i];
  const char* argument = i + 1 < argc ? argv[i + 1] : nullptr;
  auto channel = grpc::CreateChannel(target, grpc::InsecureChannelCredentials());
  auto volume = pb::VolumeService::NewStub(channel);
  auto inputs = pb::AudioInputsService::NewStub(channel);
  auto activation = pb::AudioInputsActivationService::NewStub(channel);
  grpc::ClientContext context;

  if (command == "observe-volume") {
    auto reader = volume->ObserveVolume(&context, {});
    pb::ObserveVolumeResponse message;
    while (reader->Read(&message)) {
      std::printf("volume %d%s%s\n", message.volume(),
                  message.has_pendingvolume()
                      ? (" (pending " + std::to_string(message.pendingvolume()) + ")").c_str()
                      : "",
                  message.ismuted() ? " muted" : "");
      std::fflush(stdout);
    }
    return report(reader->Finish());
  }
  if ((command == "set-volume" || command == "mute") && argument != nullptr) {
    pb::SetVolumeRequest request;
    if (command == "set-volume") request.set_volume(std::atoi(argument));
    if (command == "mute") request.set_ismuted(std::string(argument) == "on");
    pb::SetVolumeResponse response;
    return report(volume->SetVolume(&context, request, &response));
  }
  if (command == "inputs") {
    pb::GetAudioInputsResponse response;
    const grpc::Status status = inputs->GetInputs(&context, {}, &response);
    for (const auto& in : response.inputs()) {
      std::printf("%2u %-10s %s%s\n", in.id(), in.name().c_str(), in.customname().c_str(),
                  in.isenabled() ? "" : " (disabled)");
    }
    return report(status);
  }
  if (command == "select-input" && argument != nullptr) {
    pb::SetActiveAudioInputRequest request;
    request.set_id(static_cast<unsigned>(std::atoi(argument)));
    pb::SetActiveAudioInputResponse response;
    return report(activation->SetActiveInput(&context, request, &response));
  }
  if (command == "observe-input") {
    auto reader = activation->ObserveActiveInput(&context, {});
    pb::ObserveActiveAudioInputResponse message;
    while (reader->Read(&message)) {
      const auto& a = message.activeinput();
      std::printf("input %u name \"%s\" metadata \"%s\"%s\n", a.id(), a.customname().c_str(),
                  a.inputmetadata().c_str(), a.ispassthruactive() ? " passthrough" : "");
      std::fflush(stdout);
    }
    return report(reader->Finish());
  }
  usage();
  return 2;
}

#pragma once

// What the benchmark, the fault suite and the soak share: the daemon's address, a new
// client connection, the daemon's figures from /proc and status codes as text.

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

namespace vantorellabs::bench {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kTarget = "127.0.0.1:50051";

inline std::string statusText(const grpc::Status& status) {
  std::string code;
  switch (status.error_code()) {
    case grpc::StatusCode::RESOURCE_EXHAUSTED:
      code = "RESOURCE_EXHAUSTED";
      break;
    case grpc::StatusCode::UNAVAILABLE:
      code = "UNAVAILABLE";
      break;
    case grpc::StatusCode::CANCELLED:
      code = "CANCELLED";
      break;
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      code = "DEADLINE_EXCEEDED";
      break;
    default:
      code = "code " + std::to_string(status.error_code());
  }
  return code + " \"" + status.error_message() + "\"";
}

struct ProcStatus {
  long rssKb = -1;
  long hwmKb = -1;
  int threads = -1;
  char state = '?';
};

inline ProcStatus readProcStatus(int pid) {
  ProcStatus status;
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    if (key == "VmRSS:") fields >> status.rssKb;
    if (key == "VmHWM:") fields >> status.hwmKb;
    if (key == "Threads:") fields >> status.threads;
    if (key == "State:") fields >> status.state;
  }
  return status;
}

inline bool alive(int pid) {
  const char state = readProcStatus(pid).state;
  return state != '?' && state != 'Z' && state != 'X';
}

// Channels with equal arguments share one TCP connection in gRPC; a local subchannel pool
// gives each channel its own, as separate phones would have.
inline std::shared_ptr<grpc::Channel> newConnection() {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  auto channel = grpc::CreateCustomChannel(kTarget, grpc::InsecureChannelCredentials(), args);
  channel->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(10));
  return channel;
}

// The fault scenarios whose name holds `only`, and the soak.
int runFaults(const std::string& sourceDir, const std::string& only);
int runSoak(double minutes);

}  // namespace vantorellabs::bench

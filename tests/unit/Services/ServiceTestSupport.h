#pragma once

// What the service tests share: a real gRPC server inside the test process, a client stream
// that collects what it receives on its own thread, and waits that end at a failsafe
// deadline instead of hanging a broken test.

#include <grpcpp/create_channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>
#include <grpcpp/support/sync_stream.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Fakes.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs::testing {

// Only a failsafe: a wait that reaches it fails the test. No test measures how long
// anything takes, so this may be as generous as a slow sanitizer build needs.
constexpr std::chrono::seconds kFailsafe{60};

// Polls `condition` until it holds or the failsafe passes; returns whether it held.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kFailsafe;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Ends the program with a message when a section does not finish by the deadline. For code
// that would hang for good if the fault under test were there, where a failed expectation
// could never be reached.
// What every service is built on: a controller link on a pseudo-terminal, whose far end the
// test reads, and a settled, powered-off K7100's device state.
struct ServiceBench {
  ServiceBench() { link.attach(pty.slave); }

  PtyPair pty;
  RecordingConsole console;
  ControllerLink link{console};
  DeviceState state{DeviceState::kModelK7100, "1.2.3"};
};

class Watchdog {
 public:
  Watchdog(std::string what, std::chrono::seconds limit) : what_(std::move(what)) {
    thread_ = std::thread([this, limit] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!done_.wait_for(lock, limit, [this] { return disarmed_; })) {
        std::fprintf(stderr, "FAILED: %s did not finish\n", what_.c_str());
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    done_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::string what_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool disarmed_ = false;
  std::thread thread_;
};

// A real gRPC server on a loopback port that the system picks, so that tests never compete
// for a port and can run in parallel. Clients talk to it over TCP, as phones do: the
// in-process transport would hand the server's buffers straight to the client's thread.
class LoopbackServer {
 public:
  LoopbackServer(std::initializer_list<grpc::Service*> services) {
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
    for (grpc::Service* service : services) builder.RegisterService(service);
    server_ = builder.BuildAndStart();
  }
  ~LoopbackServer() {
    // A stream still open is cancelled at the deadline; its handler notices within a
    // second and returns, which Shutdown waits for.
    if (server_) server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool isRunning() const { return server_ != nullptr && port_ != 0; }

  // A channel with a connection of its own, as a separate client would have.
  std::shared_ptr<grpc::Channel> channel() const {
    grpc::ChannelArguments arguments;
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    return grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port_),
                                     grpc::InsecureChannelCredentials(), arguments);
  }

 private:
  int port_ = 0;
  std::unique_ptr<grpc::Server> server_;
};

// One client of an Observe RPC. A thread of its own sits in Read for the whole call, so the
// sync channel keeps moving messages; every message is kept in arrival order.
template <typename Response>
class StreamCollector {
 public:
  using Opener =
      std::function<std::unique_ptr<grpc::ClientReader<Response>>(grpc::ClientContext* context)>;

  explicit StreamCollector(const Opener& open) : reader_(open(&context_)) {
    thread_ = std::thread([this] { readAll(); });
  }
  ~StreamCollector() { cancel(); }
  StreamCollector(const StreamCollector&) = delete;
  StreamCollector& operator=(const StreamCollector&) = delete;

  // Cancels the call from the client's side and waits until the reader has seen its end.
  void cancel() {
    context_.TryCancel();
    if (thread_.joinable()) thread_.join();
  }

  // Waits until at least `count` messages have arrived; false when the stream ended first
  // or the failsafe passed.
  bool waitForCount(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kFailsafe, [&] {
      return messages_.size() >= count || ended_;
    }) && messages_.size() >= count;
  }
  // Waits until the server has ended the call; false when the failsafe passed first.
  bool waitForEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kFailsafe, [&] { return ended_; });
  }

  std::vector<Response> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  // The call's final status; meaningful once waitForEnd() returned true.
  grpc::Status status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }

 private:
  void readAll() {
    Response message;
    while (reader_->Read(&message)) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(message);
      changed_.notify_all();
    }
    const grpc::Status status = reader_->Finish();
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    ended_ = true;
    changed_.notify_all();
  }

  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<Response>> reader_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Response> messages_;
  bool ended_ = false;
  grpc::Status status_;
};

}  // namespace vantorellabs::testing

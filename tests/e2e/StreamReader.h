#pragma once

// Reads a server stream on a thread of its own and lets a test wait for a message.

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vantorellabs::e2e {

template <typename Response>
class StreamReader {
 public:
  using Open = std::function<std::unique_ptr<grpc::ClientReader<Response>>(grpc::ClientContext*)>;

  // Keeps at most the last `keep` messages (a stream read for hours keeps one).
  explicit StreamReader(const Open& open, std::size_t keep = SIZE_MAX) : reader_(open(&context_)) {
    thread_ = std::thread([this, keep] {
      Response message;
      while (reader_->Read(&message)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (messages_.size() == keep) messages_.erase(messages_.begin());
          messages_.push_back(message);
        }
        changed_.notify_all();
      }
      status_ = reader_->Finish();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
      }
      changed_.notify_all();
    });
  }
  ~StreamReader() {
    context_.TryCancel();
    thread_.join();
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Waits for a message after the first `from` that satisfies the predicate; its index, or
  // -1 when none came within the time-out.
  int waitFor(const std::function<bool(const Response&)>& matches, std::size_t from = 0,
              std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    int found = -1;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < messages_.size(); ++i) {
        if (matches(messages_[i])) {
          found = static_cast<int>(i);
          return true;
        }
      }
      return done_;
    });
    return found;
  }
  std::vector<Response> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  bool open() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !done_;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_.size();
  }
  // Waits for the server to end the call; its final status, or UNKNOWN "still open" when
  // the time-out passed first.
  grpc::Status finalStatus(std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return done_; })) {
      return {grpc::StatusCode::UNKNOWN, "still open"};
    }
    return status_;
  }

 private:
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReader<Response>> reader_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Response> messages_;
  grpc::Status status_;
  bool done_ = false;
};

}  // namespace vantorellabs::e2e

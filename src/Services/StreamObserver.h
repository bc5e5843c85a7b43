#pragma once

#include <grpcpp/server_context.h>
#include <grpcpp/support/status.h>
#include <grpcpp/support/sync_stream.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vantorellabs {

// Every open observe-stream holds one gRPC server thread for its whole life. The board has
// little memory and a small thread budget, so the number of open streams is capped for the
// whole process: a phone app opens four, so 64 serve sixteen clients at once. Calls beyond
// the cap are refused at once; unary calls are not counted and keep working.
class StreamLimiter {
 public:
  static constexpr int kMaxObserveStreams = 64;

  static StreamLimiter& instance() {
    static StreamLimiter limiter;
    return limiter;
  }
  bool tryAcquire() {
    int open = open_.load();
    while (open < limit_.load()) {
      if (open_.compare_exchange_weak(open, open + 1)) return true;
    }
    return false;
  }
  void release() { --open_; }
  int openStreams() const { return open_.load(); }
  void setLimit(int limit) { limit_ = limit; }

 private:
  std::atomic<int> open_{0};
  std::atomic<int> limit_{kMaxObserveStreams};
};

// One open observe-stream. A broadcast never writes to the client itself: it hands the
// message to the stream, and the stream's own handler thread, which waits in the call
// anyway, does the write. So a client that stops reading blocks only its own thread, never
// the main loop or another client.
template <typename Response>
class StreamObserver {
 public:
  // A stream this far behind has a client that stopped reading; it is ended so that its
  // thread and memory come back.
  static constexpr std::size_t kMaxQueuedMessages = 1024;
  // The same in bytes: 1024 active-input messages with a kilobyte of metadata each, on
  // every open stream, would not fit in the board's memory.
  static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
  static constexpr std::chrono::seconds kCancelCheckInterval{1};

  StreamObserver(grpc::ServerContext* context, grpc::ServerWriter<Response>* writer)
      : context_(context), writer_(writer) {}

  // Queues a message for the client. Called with the service's observersMutex held; takes
  // only this stream's writeMutex, briefly.
  void post(const Response& message) {
    {
      std::lock_guard<std::mutex> lock(writeMutex_);
      if (ended_) return;
      const std::size_t size = message.ByteSizeLong();
      if (queue_.size() >= kMaxQueuedMessages || queuedBytes_ + size > kMaxQueuedBytes) {
        ended_ = true;
        fellBehind_ = true;
        queue_.clear();
        queuedBytes_ = 0;
        context_->TryCancel();
      } else {
        queue_.push_back({message, size});
        queuedBytes_ += size;
      }
    }
    ready_.notify_one();
  }

  // Runs on the call's own thread: writes each queued message, in order, until the call is
  // cancelled (by the client, its deadline, a dead connection or an overflow), which it
  // notices within about a second.
  void pump() {
    std::unique_lock<std::mutex> lock(writeMutex_);
    for (;;) {
      ready_.wait_for(lock, kCancelCheckInterval, [this] { return !queue_.empty() || ended_; });
      if (ended_ || context_->IsCancelled()) return;
      while (!queue_.empty()) {
        Queued item = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= item.size;
        lock.unlock();
        // A failed write is not acted on: the call is seen cancelled at the next check.
        writer_->Write(item.message);
        lock.lock();
      }
    }
  }

  // Whether the stream was ended because its client fell behind.
  bool fellBehind() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return fellBehind_;
  }

 private:
  // A message with its size, measured once when it is queued.
  struct Queued {
    Response message;
    std::size_t size;
  };

  grpc::ServerContext* context_;
  grpc::ServerWriter<Response>* writer_;
  std::mutex writeMutex_;
  std::condition_variable ready_;
  std::deque<Queued> queue_;
  std::size_t queuedBytes_ = 0;
  bool ended_ = false;
  bool fellBehind_ = false;
};

// The open streams of one service. Every member expects the service's observersMutex to be
// held by the caller.
template <typename Response>
class ObserverList {
 public:
  using Observer = StreamObserver<Response>;

  void add(std::shared_ptr<Observer> observer) { observers_.push_back(std::move(observer)); }
  // Removes this observer (by identity); the others keep their order.
  void remove(const Observer* observer) {
    observers_.erase(std::remove_if(observers_.begin(), observers_.end(),
                                    [observer](const auto& o) { return o.get() == observer; }),
                     observers_.end());
  }
  void broadcast(const Response& message) {
    for (const auto& observer : observers_) observer->post(message);
  }
  std::size_t size() const { return observers_.size(); }

 private:
  std::vector<std::shared_ptr<Observer>> observers_;
};

// The body of every Observe RPC: register the stream, send the current state to every open
// stream of the service, then serve this stream until the call ends, and unregister.
template <typename Response>
grpc::Status observe(grpc::ServerContext* context, grpc::ServerWriter<Response>* writer,
                     std::mutex& observersMutex, ObserverList<Response>& observers,
                     const std::function<Response()>& currentState) {
  StreamLimiter& limiter = StreamLimiter::instance();
  if (!limiter.tryAcquire()) {
    return {grpc::StatusCode::RESOURCE_EXHAUSTED, "Too many open streams"};
  }
  auto observer = std::make_shared<StreamObserver<Response>>(context, writer);
  {
    std::lock_guard<std::mutex> lock(observersMutex);
    observers.add(observer);
    observers.broadcast(currentState());
  }
  observer->pump();
  {
    std::lock_guard<std::mutex> lock(observersMutex);
    observers.remove(observer.get());
  }
  limiter.release();
  // gRPC expects a handler whose call it cancelled to say so.
  if (observer->fellBehind()) return {grpc::StatusCode::CANCELLED, "Stream fell behind"};
  return grpc::Status::OK;
}

}  // namespace vantorellabs

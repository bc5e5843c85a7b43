// A phone that leaves the network without closing its connection: its stream must not
// hold a thread and an observer for hours.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "AmpSimulator.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::e2e {
namespace {

namespace pb = vantorellabs::protobuf;

// A TCP relay between the client and the daemon that can go silent, as a phone that walked
// out of Wi-Fi range does: it stops passing bytes either way but never closes anything.
class FreezableRelay {
 public:
  explicit FreezableRelay(int targetPort) : targetPort_(targetPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~FreezableRelay() {
    stop_ = true;
    thread_.join();
    for (int fd : {listener_, client_, server_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  int port() const { return port_; }
  void freeze() { frozen_ = true; }
  // Whether the daemon has closed its side of the connection.
  bool serverClosed() const { return serverClosed_; }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  void run() {
    pollfd accept{listener_, POLLIN, 0};
    while (!stop_ && ::poll(&accept, 1, 100) <= 0) {
    }
    if (stop_) return;
    client_ = ::accept(listener_, nullptr, nullptr);
    server_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target = loopback(targetPort_);
    ::connect(server_, reinterpret_cast<sockaddr*>(&target), sizeof target);
    char buffer[16384];
    while (!stop_) {
      if (frozen_) {
        // What the daemon sends is lost on the way; only its hanging up is noticed.
        pollfd p{server_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && ::read(server_, buffer, sizeof buffer) <= 0) {
          serverClosed_ = true;
          return;
        }
        continue;
      }
      pollfd p[2] = {{client_, POLLIN, 0}, {server_, POLLIN, 0}};
      if (::poll(p, 2, 100) <= 0) continue;
      for (int i = 0; i < 2 && !frozen_; ++i) {
        if ((p[i].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
        if (n <= 0) return;
        ::write(i == 0 ? server_ : client_, buffer, static_cast<std::size_t>(n));
      }
    }
  }

  int targetPort_;
  int listener_ = -1;
  int client_ = -1;
  int server_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> frozen_{false};
  std::atomic<bool> serverClosed_{false};
};

using DeadClientE2eTest = BoardTest;

TEST_F(DeadClientE2eTest, VanishedClientIsDroppedWithinAboutAMinute) {
  boot();

  FreezableRelay relay(50051);
  // The client itself never pings: only the server's keepalive can find out.
  auto channel = grpc::CreateChannel("127.0.0.1:" + std::to_string(relay.port()),
                                     grpc::InsecureChannelCredentials());
  auto stub = pb::VolumeService::NewStub(channel);
  {
    StreamReader<pb::ObserveVolumeResponse> stream(
        [&](grpc::ClientContext* c) { return stub->ObserveVolume(c, {}); });
    ASSERT_GE(stream.waitFor([](const auto&) { return true; }), 0);
    relay.freeze();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!relay.serverClosed() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(relay.serverClosed()) << "the daemon kept the dead connection";
  }
}

}  // namespace
}  // namespace vantorellabs::e2e

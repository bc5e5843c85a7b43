#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "sys/Console.h"

namespace vantorellabs {

// The Unix datagram socket through which the daemon talks to the BLE GATT helper. The
// helper speaks first; its address, learnt from each datagram it sends, is where every
// message goes. A message is a type byte and text, without a terminator.
class HelperSocket {
 public:
  static constexpr char kTypeAcknowledge = 0x01;
  static constexpr char kTypeSerialNumber = 0x02;
  static constexpr char kTypeDaVersion = 0x03;
  static constexpr std::size_t kBufferSize = 1024;

  HelperSocket(Console& console, std::string path) : console_(console), path_(std::move(path)) {}
  ~HelperSocket();
  HelperSocket(const HelperSocket&) = delete;
  HelperSocket& operator=(const HelperSocket&) = delete;

  // Replaces whatever is at the path with a bound socket. A socket that cannot be made or
  // bound ends the process. Returns the descriptor.
  int openHelperSocket();

  // Read handler for the main loop: receives one datagram, prints it as it came and
  // acknowledges it. Returns whether a datagram arrived.
  bool helperReceiveStep();

  // Sends one datagram to the helper's last address. Never blocks: a helper that does not
  // read loses the message rather than stall the main loop.
  void sendToHelper(std::string_view message);

  int fd() const { return fd_; }

 private:
  Console& console_;
  const std::string path_;
  int fd_ = -1;
  sockaddr_un helperPeer_{};
  socklen_t helperPeerLength_ = 0;
  char helperBuffer_[kBufferSize] = {};
};

}  // namespace vantorellabs

#include "ble/HelperSocket.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantorellabs {

HelperSocket::~HelperSocket() {
  if (fd_ >= 0) ::close(fd_);
}

int HelperSocket::openHelperSocket() {
  ::unlink(path_.c_str());
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) fatalError(console_, "gatt socket", errno);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fatalError(console_, "bind", errno);
  }
  return fd_;
}

bool HelperSocket::helperReceiveStep() {
  sockaddr_un peer{};
  socklen_t peerLength = sizeof peer;
  const ssize_t n = ::recvfrom(fd_, helperBuffer_, kBufferSize - 1, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&peer), &peerLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return false;
    console_.printError("recvfrom", errno);
    return false;
  }
  helperPeer_ = peer;
  helperPeerLength_ = peerLength;
  helperBuffer_[n] = '\0';
  // The helper's text is printed as it is, up to its first zero byte, without a line end.
  console_.print(std::string_view(helperBuffer_));
  sendToHelper(std::string_view(&kTypeAcknowledge, 1));
  return true;
}

void HelperSocket::sendToHelper(std::string_view message) {
  if (fd_ < 0) return;
  if (helperPeerLength_ == 0) {
    // Nothing has been heard from the helper yet, so there is nowhere to send to.
    console_.printError("Failed: socket_tx", ENOTCONN);
    return;
  }
  const ssize_t n = ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&helperPeer_), helperPeerLength_);
  if (n < 0) console_.printError("Failed: socket_tx", errno);
}

}  // namespace vantorellabs

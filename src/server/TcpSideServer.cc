#include "server/TcpSideServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace vantorellabs {

TcpSideServer::Client::~Client() { ::close(fd); }

TcpSideServer::TcpSideServer(int port, ControllerLink& link, ReportOwners& owners, Console& console,
                             Clock& clock)
    : link_(link), owners_(owners), console_(console), clock_(clock), port_(port) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("TCP Socket Creation Failed");
  // A daemon restarted by the board finds its old connections in TIME_WAIT; without
  // this the port stays unbindable for a minute.
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("TCP Socket Bind Failed");
  }
  if (::listen(listenFd_, kBacklog) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("TCP Listen Failed");
  }
  socklen_t length = sizeof address;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

TcpSideServer::~TcpSideServer() {
  if (listenFd_ >= 0) ::close(listenFd_);
}

void TcpSideServer::run() {
  startServing();
  for (;;) serveStep();
}

void TcpSideServer::startServing() {
  console_.print("TCP Server running on port " + std::to_string(port_) + "\n");
  owners_.restartSddpDaemon();
}

void TcpSideServer::serveStep() {
  std::vector<ClientPtr> watched;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    watched = clients_;
  }
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET(listenFd_, &readSet);
  int highest = listenFd_;
  for (const ClientPtr& client : watched) {
    FD_SET(client->fd, &readSet);
    highest = std::max(highest, client->fd);
  }
  if (::select(highest + 1, &readSet, nullptr, nullptr, nullptr) < 0) {
    if (errno != EINTR) console_.print("TCP select error\n");
    return;
  }
  if (FD_ISSET(listenFd_, &readSet)) acceptClient();
  for (const ClientPtr& client : watched) {
    if (FD_ISSET(client->fd, &readSet)) readClient(*client);
  }
  removeClosed();
}

namespace {

// Sets up an accepted client's socket: its send buffer, and the time-outs that end the
// connection of a peer that has vanished without closing it.
void prepareClientSocket(int fd) {
  const int on = 1;
  const unsigned userTimeout = TcpSideServer::kUserTimeoutMs;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &TcpSideServer::kClientSendBuffer,
               sizeof TcpSideServer::kClientSendBuffer);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &TcpSideServer::kKeepAliveIdleSeconds,
               sizeof TcpSideServer::kKeepAliveIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &TcpSideServer::kKeepAliveIntervalSeconds,
               sizeof TcpSideServer::kKeepAliveIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &TcpSideServer::kKeepAliveProbes,
               sizeof TcpSideServer::kKeepAliveProbes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

}  // namespace

void TcpSideServer::acceptClient() {
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) {
      // One connection's failure (aborted before it was taken): the next may work.
      console_.printError("TCP accept failed", error);
      return;
    }
    // While descriptors or memory are short, every try fails alike.
    const double pause = acceptBackoff_.failed();
    if (acceptBackoff_.stepped()) {
      console_.printError("TCP accept failed", error);
      console_.print("TCP accept: next try in " + Backoff::secondsText(pause) + " s\n");
    }
    clock_.sleepSeconds(pause);
    return;
  }
  acceptBackoff_.succeeded();
  // Taken off the queue either way, so that a refused client learns it at once.
  auto client = std::make_shared<Client>(fd);
  prepareClientSocket(fd);
  bool accepted = false;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    if (fd < FD_SETSIZE && clients_.size() < kMaxClients) {
      clients_.push_back(std::move(client));
      accepted = true;
    }
  }
  console_.print(accepted ? "TCP new client accepted\n" : "TCP client refused: too many clients\n");
}

void TcpSideServer::readClient(Client& client) {
  char buffer[kReadSize];
  // A client that broadcast gave up on is not read any further.
  const ssize_t n = client.isClosed ? 0 : ::read(client.fd, buffer, sizeof buffer);
  if (n > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      const auto command = client.parser.feed(buffer[i]);
      if (!command) continue;
      console_.print("\r\nNew Message Received with " + std::to_string(command->argumentCount) +
                     " parameters: " + command->text + "\n");
      link_.sendTcpCommand(command->text);
    }
    return;
  }
  if (n < 0 && errno == EINTR) return;
  client.isClosed = true;
  console_.print("Client disconnected\n");
}

void TcpSideServer::removeClosed() {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [](const ClientPtr& c) { return c->isClosed.load(); }),
                 clients_.end());
}

void TcpSideServer::broadcast(const std::string& text) {
  std::vector<ClientPtr> targets;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    targets = clients_;
  }
  for (const ClientPtr& client : targets) {
    if (client->isClosed) continue;
    const ssize_t n = ::send(client->fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(text.size())) continue;
    if (n < 0 && errno == EINTR) continue;
    // Full or gone. The side server thread closes and removes it: shutting the socket
    // down wakes that thread's select() with end of file.
    client->isClosed = true;
    ::shutdown(client->fd, SHUT_RDWR);
    console_.print("TCP client dropped: it does not take what is sent\n");
  }
}

std::size_t TcpSideServer::clientCount() const {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  return clients_.size();
}

}  // namespace vantorellabs

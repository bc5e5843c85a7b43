#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/ControllerLink.h"
#include "link/ReportOwners.h"
#include "server/TcpCommandParser.h"
#include "sys/Backoff.h"
#include "sys/Clock.h"
#include "sys/Console.h"

namespace vantorellabs {

// Plain TCP clients on port 84: each complete bracketed command goes to the controller as
// frame 0x10, and the controller's 0x10 text goes to every client. The listening socket is
// made when the object is built (before main), so a port that cannot be had ends the
// process at once; run() is the side server thread's whole life.
class TcpSideServer {
 public:
  static constexpr int kPort = 84;
  // A burst of connections (controllers coming back after a router restart) must reach
  // accept(), where clients beyond the limit below learn at once that they are refused;
  // a short queue would drop their SYNs and leave them retrying for seconds.
  static constexpr int kBacklog = SOMAXCONN;
  static constexpr std::size_t kReadSize = 1024;
  // select() cannot watch descriptors from FD_SETSIZE on, and each client costs a
  // descriptor that the gRPC server also needs: clients beyond these are turned away.
  static constexpr std::size_t kMaxClients = 32;
  // Each client's send buffer is bounded: the controller's texts are short, and kernel
  // buffers that grow to megabytes for a client that does not read would only delay
  // noticing it, with the board's memory.
  static constexpr int kClientSendBuffer = 64 * 1024;
  // A peer can vanish without closing (a router restarts, a phone leaves the house, the
  // power fails). Keepalive probes find an idle one: after 30 s without traffic, a probe
  // every 10 s, and the connection ends when three go unanswered. Linux sends no probes
  // while sent text is unacknowledged, so the user time-out ends a connection whose data
  // has gone unacknowledged for a minute (and bounds the probing as well). A client that is
  // present answers the probes in its kernel and may stay idle for hours.
  static constexpr int kKeepAliveIdleSeconds = 30;
  static constexpr int kKeepAliveIntervalSeconds = 10;
  static constexpr int kKeepAliveProbes = 3;
  static constexpr unsigned kUserTimeoutMs = 60000;
  // When accept() fails for want of descriptors or memory, retrying at once would spin:
  // the pause doubles with each failure in a row, up to the ceiling. The clients already
  // served wait as long for their commands to be read, so the ceiling stays short.
  static constexpr double kAcceptPauseSeconds = 0.1;
  static constexpr double kMaxAcceptPauseSeconds = 1.6;

  // Creates, binds and listens; throws std::runtime_error with "TCP Socket Creation
  // Failed", "TCP Socket Bind Failed" or "TCP Listen Failed". Port 0 takes any free port.
  TcpSideServer(int port, ControllerLink& link, ReportOwners& owners, Console& console,
                Clock& clock);
  ~TcpSideServer();
  TcpSideServer(const TcpSideServer&) = delete;
  TcpSideServer& operator=(const TcpSideServer&) = delete;

  // The side server thread: announces itself, restarts the SDDP announcer, then serves
  // for ever.
  [[noreturn]] void run();
  // The start of run(): the announcement and the SDDP restart, so that the announcer
  // advertises a product whose side port now answers.
  void startServing();
  // One turn of run(): waits until the listener or a client is readable, then serves.
  void serveStep();

  // Sends the text to every client without waiting (main thread). A client that cannot
  // take it whole at once has stopped reading or gone: it is dropped, so that it never
  // stalls the main loop or the other clients.
  void broadcast(const std::string& text);

  int port() const { return port_; }
  std::size_t clientCount() const;

 private:
  // One connected client. The descriptor closes when the last holder lets go: broadcast
  // works on a copy of the list without the lock, and a descriptor number must not be
  // reused by another connection while it may still send to it.
  struct Client {
    explicit Client(int socket) : fd(socket) {}
    ~Client();
    const int fd;
    std::atomic<bool> isClosed{false};
    TcpCommandParser parser;
  };
  using ClientPtr = std::shared_ptr<Client>;

  void acceptClient();
  void readClient(Client& client);
  void removeClosed();

  ControllerLink& link_;
  ReportOwners& owners_;
  Console& console_;
  Clock& clock_;
  int port_ = 0;
  int listenFd_ = -1;
  Backoff acceptBackoff_{kAcceptPauseSeconds, kMaxAcceptPauseSeconds};

  // Changed by the side server thread only; read by broadcast on the main thread.
  mutable std::mutex clientsMutex_;
  std::vector<ClientPtr> clients_;
};

}  // namespace vantorellabs

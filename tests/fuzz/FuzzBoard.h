#pragma once

// What the link fuzz targets share: the daemon's receive side on socket pairs instead of
// serial ports, with recording fakes for the shell and the report owners, so no input can
// run a board command, and a poller whose steps feed the input and always end.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Fakes.h"
#include "RecordingOwners.h"
#include "core/DeviceState.h"
#include "link/ControllerDispatcher.h"
#include "link/ControllerLink.h"
#include "link/DaModuleLink.h"

namespace vantorellabs::fuzzing {

class NullConsole : public Console {
 public:
  void print(std::string_view /*text*/) override {}
  void printError(std::string_view /*message*/, int /*errnoValue*/) override {}
};

// One end for the daemon, one for the far side; both non-blocking.
struct Wire {
  Wire() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds.data()); }
  ~Wire() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;
  int daemonSide() const { return fds[0]; }
  void send(const std::vector<std::uint8_t>& bytes) const {
    if (!bytes.empty()) (void)::write(fds[1], bytes.data(), bytes.size());
  }
  // Throws away what the daemon wrote, so its writes never wait for room.
  void drain() const {
    std::array<char, 4096> sink{};
    while (::read(fds[1], sink.data(), sink.size()) > 0) {
    }
  }
  std::array<int, 2> fds{-1, -1};
};

// The daemon's controller and DA receive paths, the dispatcher, and fakes for the rest.
class FuzzBoard : public Poller {
 public:
  // Steps a handshake may take once the input is used up before the DA module is made
  // to answer; a module that keeps saying "updating" would otherwise hold it for ever.
  static constexpr int kIdleStepsBeforeAnswer = 150;

  FuzzBoard(const std::uint8_t* data, std::size_t size)
      : input(data, size),
        dispatcher(DispatchTargets{link, state, da, owners, shell, *this, console}) {
    link.attach(controller.daemonSide());
    da.attach(daPort.daemonSide());
    link.setFrameHandler(
        [this](std::string_view frame) { dispatcher.dispatchControllerFrame(frame); });
  }

  // Feeds one chunk of the input to the port the input picks. False when none is left.
  bool feedChunk() {
    if (input.remaining_bytes() == 0) return false;
    const bool toController = input.ConsumeBool();
    const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 300);
    (toController ? controller : daPort).send(input.ConsumeBytes<std::uint8_t>(length));
    receive();
    return true;
  }

  void pollStep() override {
    if (feedChunk()) return;
    // The input is used up: a DA module that restarts and then completes its handshake,
    // one message a step (a restart empties the queue), ends any handshake still running.
    if (++idleSteps < kIdleStepsBeforeAnswer) {
      receive();
      return;
    }
    static constexpr std::array<std::array<std::uint8_t, 3>, 4> kAnswer{
        {{0x55, 0xA1, 0x01}, {0x55, 0xA2, 0x01}, {0x55, 0xA3, 0x03}, {0x55, 0xA7, 0x02}}};
    const auto& message = kAnswer[answerIndex++ % kAnswer.size()];
    daPort.send({message.begin(), message.end()});
    receive();
  }

  void receive() {
    da.daReceiveStep();
    link.controllerReceiveStep();
    controller.drain();
    daPort.drain();
  }

  FuzzedDataProvider input;
  Wire controller;
  Wire daPort;
  NullConsole console;
  testing::FakeShell shell;
  testing::RecordingOwners owners;
  DeviceState state{0, "1.4.2"};
  ControllerLink link{console};
  DaModuleLink da{link, state, owners, console};
  ControllerDispatcher dispatcher;
  int idleSteps = 0;
  std::size_t answerIndex = 0;
};

}  // namespace vantorellabs::fuzzing

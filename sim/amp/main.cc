// amp-sim: plays the amplifier on the board's serial ports, for the demo and for manual
// testing. With a command after "--" it starts that command once the ports exist (the
// daemon, typically) and ends when it ends.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AmpSimulator.h"
#include "BoardSandbox.h"

namespace {

volatile sig_atomic_t gStop = 0;
pid_t gChild = -1;

void onSignal(int /*signal*/) {
  gStop = 1;
  if (gChild > 0) ::kill(gChild, SIGTERM);
}

void usage() {
  std::fprintf(
      stderr,
      "usage: amp-sim [--silent] [--serial SERIAL] [--standby] [--k7100] [--quiet] [--line-rate]\n"
      "               [--controller PATH] [--da PATH] [-- command [args...]]\n");
}

}  // namespace

int main(int argc, char** argv) {
  boardsandbox::requireBoardSandbox("amp-sim");
  ampsim::AmpSimOptions options;
  std::string controllerPath = "/dev/ttyS3";
  std::string daPath = "/dev/ttyS2";
  bool quiet = false;
  std::vector<char*> command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (int j = i + 1; j < argc; ++j) command.push_back(argv[j]);
      break;
    }
    if (arg == "--line-rate") {
      options.readAtLineRate = true;
    } else if (arg == "--silent") {
      options.answerHandshake = false;
    } else if (arg == "--k7100") {
      options.amplifier.model = ampsim::AmplifierModel::Model::K7100;
    } else if (arg == "--standby") {
      options.amplifier.poweredOn = false;
    } else if (arg == "--powered-on") {
      options.amplifier.poweredOn = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--serial" && i + 1 < argc) {
      options.amplifier.serialNumber = argv[++i];
    } else if (arg == "--controller" && i + 1 < argc) {
      controllerPath = argv[++i];
    } else if (arg == "--da" && i + 1 < argc) {
      daPath = argv[++i];
    } else {
      usage();
      return 2;
    }
  }

  ampsim::AmpSimulator sim(options);
  try {
    sim.start(controllerPath, daPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!quiet) {
    sim.setFrameObserver([](const std::string& frame) {
      std::fprintf(stderr, "amp-sim: received %s\n", ampsim::hexText(frame).c_str());
    });
  }
  std::fprintf(stderr, "amp-sim: playing the amplifier on %s (controller) and %s (DA module)\n",
               controllerPath.c_str(), daPath.c_str());

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  if (command.empty()) {
    while (gStop == 0) ::pause();
    return 0;
  }
  command.push_back(nullptr);
  gChild = ::fork();
  if (gChild == 0) {
    ::execvp(command[0], command.data());
    std::fprintf(stderr, "amp-sim: cannot start %s: %s\n", command[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (::waitpid(gChild, &status, 0) < 0 && errno == EINTR) {
  }
  sim.stop();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The fault suite: each scenario breaks one seam of a board on which the real daemon runs
// under its supervisor, with the simulated amplifier on its ports, and checks that the board
// survives it as a phone app sees it. One line per scenario; the run fails only when a fault
// was not survived.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AmpSimulator.h"
#include "BenchCommon.h"
#include "E2eHarness.h"
#include "StreamReader.h"
#include "audio_inputs_service.grpc.pb.h"
#include "firmware_service.grpc.pb.h"
#include "name_service.grpc.pb.h"
#include "volume_service.grpc.pb.h"

namespace vantorellabs::bench {
namespace {

namespace pb = vantorellabs::protobuf;
using DaModule = ampsim::AmpSimOptions::DaModule;
using e2e::processesRunning;
using e2e::readFile;
using e2e::StreamReader;
using e2e::waitForFileText;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kLog = "/var/log/amp-bridge.log";
constexpr const char* kHelperScenario = "/board/scenario/ble-helper";
constexpr const char* kFiller = "fault-filler";
// A phone app that lost the daemon reads the amplifier's state again this soon.
#if defined(__SANITIZE_ADDRESS__)
constexpr seconds kBackWithin{30};  // an instrumented daemon starts several times slower
#else
constexpr seconds kBackWithin{15};
#endif

struct Outcome {
  bool survived = false;
  std::string saw;
};

std::size_t countIn(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string elapsed(Clock::time_point since) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s",
                std::chrono::duration<double>(Clock::now() - since).count());
  return text;
}

bool waitUntil(const std::function<bool()>& done, seconds timeout) {
  const auto until = Clock::now() + timeout;
  while (Clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(100));
  }
  return done();
}

// One start of the board's service: the simulator on the ports, then the init script's
// supervisor with the daemon; both are stopped when it goes.
class Board {
 public:
  explicit Board(ampsim::AmpSimOptions options = {}) : sim(options) {
    shell(std::string("rm -f ") + kLog + "; : >/board/commands.log");
    sim.start();
    e2e::startBoardService();
    up_ = waitForFileText(kLog, "<<< 0xB5", seconds(60)) &&
          waitForFileText(kLog, "Server listening on", seconds(60));
  }
  ~Board() { e2e::stopBoardService(); }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  bool up() const { return up_; }
  std::string log() const { return readFile(kLog); }
  std::size_t starts() const { return countIn(log(), "amp-bridge-supervise: started"); }
  // Whether the board was sent into boot parameter C or rebooted.
  bool rebooted() const {
    return e2e::boardCommandIndex("fw_setenv bootparam C") >= 0 ||
           e2e::boardCommandIndex("reboot") >= 0;
  }

  ampsim::AmpSimulator sim;

 private:
  bool up_ = false;
};

// A phone app: it tries again soon after losing the daemon.
class AppClient {
 public:
  AppClient() {
    grpc::ChannelArguments arguments;
    arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 200);
    arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 500);
    arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    auto channel =
        grpc::CreateCustomChannel(kTarget, grpc::InsecureChannelCredentials(), arguments);
    volume_ = pb::VolumeService::NewStub(channel);
    name_ = pb::NameService::NewStub(channel);
    firmware_ = pb::FirmwareUpdateService::NewStub(channel);
  }
  // Opens ObserveVolume, again if it fails, until the volume comes or the time is up.
  bool sees(int volume, seconds within) {
    const auto until = Clock::now() + within;
    while (Clock::now() < until) {
      StreamReader<pb::ObserveVolumeResponse> stream([&](grpc::ClientContext* c) {
        c->set_wait_for_ready(true);
        c->set_deadline(std::chrono::system_clock::now() + within);
        return volume_->ObserveVolume(c, {});
      });
      const auto left = std::chrono::duration_cast<seconds>(until - Clock::now()) + seconds(1);
      if (stream.waitFor([volume](const auto& m) { return m.volume() == volume; }, 0, left) >= 0) {
        return true;
      }
      std::this_thread::sleep_for(milliseconds(200));
    }
    return false;
  }
  grpc::Status setVolume(int volume) {
    pb::SetVolumeRequest request;
    request.set_volume(volume);
    pb::SetVolumeResponse response;
    return call([&](grpc::ClientContext* c) { return volume_->SetVolume(c, request, &response); });
  }
  grpc::Status setName(const std::string& text) {
    pb::SetNameRequest request;
    request.set_name(text);
    pb::SetNameResponse response;
    return call([&](grpc::ClientContext* c) { return name_->SetName(c, request, &response); });
  }
  int offeredUpdates() {
    pb::GetAvailableFirmwareUpdatesResponse response;
    const auto status = call([&](grpc::ClientContext* c) {
      return firmware_->GetAvailableFirmwareUpdates(c, {}, &response);
    });
    return status.ok() ? response.availableupdate_size() : -1;
  }
  // The last status the update stream reported, and how the call ended.
  std::string startUpdate() {
    StreamReader<pb::StartFirmwareUpdateResponse> stream(
        [&](grpc::ClientContext* c) { return firmware_->StartFirmwareUpdate(c, {}); });
    const grpc::Status end = stream.finalStatus(seconds(60));
    const auto messages = stream.messages();
    return (messages.empty() ? std::string("no progress")
                             : pb::FirmwareUpdateStatus_Name(messages.back().status())) +
           ", " + statusText(end);
  }

 private:
  template <typename Rpc>
  static grpc::Status call(Rpc&& rpc) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + seconds(10));
    return rpc(&context);
  }

  std::unique_ptr<pb::VolumeService::Stub> volume_;
  std::unique_ptr<pb::NameService::Stub> name_;
  std::unique_ptr<pb::FirmwareUpdateService::Stub> firmware_;
};

// The controller port hangs up (its far end closes) and a new one is there after `gone`.
// The daemon ends, the supervisor starts it again (in vain while the port is missing), the
// new daemon runs the controller handshake, and an app reads the amplifier's volume, which
// moved on meanwhile.
Outcome controllerPortHangsUp(milliseconds gone) {
  Board board;
  if (!board.up()) return {false, "the daemon never served"};
  AppClient app;
  board.sim.amplifier().turnVolumeKnob(33);
  if (!app.sees(33, seconds(10))) return {false, "volume 33 never reached the app"};
  const auto at = Clock::now();
  board.sim.replaceControllerPort(gone);
  board.sim.amplifier().turnVolumeKnob(47);
  const bool back = app.sees(47, kBackWithin);
  const std::string log = board.log();
  Outcome outcome;
  outcome.survived = back && board.starts() >= 2 && !board.rebooted();
  outcome.saw = (back ? "volume 47 after " + elapsed(at)
                      : "no volume 47 within " + std::to_string(kBackWithin.count()) + " s") +
                "; " + std::to_string(board.starts()) + " daemon starts, " +
                std::to_string(countIn(log, "ERROR: controller port hung up")) + " hang-up ends, " +
                std::to_string(countIn(log, "ERROR: open /dev/ttyS3")) + " failed opens" +
                (board.rebooted() ? "; REBOOTED" : "");
  return outcome;
}

// The DA module misbehaves while the controller asks for its handshake: an app's volume
// change still travels to the amplifier and back, and a module that behaves again is
// greeted successfully afterwards, all by the same daemon.
Outcome daModuleMisbehaves(DaModule module) {
  Board board;
  if (!board.up()) return {false, "the daemon never served"};
  AppClient app;
  const std::size_t from = board.sim.receivedFrames().size();
  board.sim.setDaModule(module);
  board.sim.sendFrame("V");
  const grpc::Status setOk = app.setVolume(38);
  const bool seen = app.sees(38, seconds(10));
  const bool ended = board.sim.waitForCode('V', from, seconds(30)) >= 0;
  const std::string during = board.log();
  board.sim.setDaModule(DaModule::Answering);
  board.sim.sendFrame("V");
  const bool greeted = waitUntil(
      [&] { return countIn(board.log(), "DA2 Detected") > countIn(during, "DA2 Detected"); },
      seconds(10));
  Outcome outcome;
  outcome.survived = setOk.ok() && seen && ended && greeted && board.starts() == 1;
  outcome.saw =
      "SetVolume " + (setOk.ok() ? std::string("OK") : statusText(setOk)) + ", stream " +
      (seen ? "saw 38" : "never saw 38") + "; handshake " +
      (ended ? (countIn(during, "No DA Detected") > 0 ? "gave up (No DA Detected)" : "completed")
             : "never ended") +
      ", " + std::to_string(countIn(during, "DA2 Updating?")) +
      " \"DA2 Updating?\" lines; module greeted again " + (greeted ? "OK" : "in vain") + "; " +
      std::to_string(board.starts()) + " daemon start(s)";
  return outcome;
}

// The BLE helper dies with its socket and a new one starts: the daemon serves on and talks
// to the new helper.
Outcome bleHelperGoesAway(const std::string& sourceDir) {
  shell("cp " + sourceDir + "/board/ble-helper/minimal-ble-helper.py " + kHelperScenario);
  Board board;
  if (!board.up()) return {false, "the daemon never served"};
  const auto heard = [&] { return countIn(board.log(), "ble-helper: serial number"); };
  const bool first = waitUntil([&] { return heard() > 0; }, seconds(15));
  for (const int pid : processesRunning("ble-helper")) ::kill(pid, SIGKILL);
  ::unlink("/tmp/ble_helper_socket");
  const std::size_t failures = countIn(board.log(), "Failed: socket_tx");
  const bool noticed =
      waitUntil([&] { return countIn(board.log(), "Failed: socket_tx") > failures; }, seconds(15));
  AppClient app;
  const bool served = app.setVolume(36).ok() && app.sees(36, seconds(10));
  const std::size_t before = heard();
  shell(std::string("python3 /opt/vtl/ble/main.py 2 >>") + kLog + " 2>&1 &");
  const bool again = waitUntil([&] { return heard() > before; }, seconds(15));
  for (const int pid : processesRunning("ble-helper")) ::kill(pid, SIGKILL);
  ::unlink(kHelperScenario);
  Outcome outcome;
  outcome.survived = first && served && again && board.starts() == 1;
  outcome.saw = std::string("helper heard the serial number ") + (first ? "" : "NOT ") +
                "before; daemon " + (noticed ? "reported the lost helper" : "said nothing") +
                "; volume change " + (served ? "OK" : "FAILED") + "; new helper " +
                (again ? "heard the serial number" : "heard nothing");
  return outcome;
}

// hcidump dies: the daemon starts it again and handles the next BLE event.
Outcome hcidumpDies() {
  Board board;
  if (!board.up()) return {false, "the daemon never served"};
  const std::string pidFile = "/board/hcidump.pid";
  if (!waitUntil([&] { return !readFile(pidFile).empty(); }, seconds(15))) {
    return {false, "hcidump never ran"};
  }
  const int first = std::atoi(readFile(pidFile).c_str());
  ::kill(first, SIGKILL);
  const bool restarted =
      waitForFileText(kLog, "hcidump restarted", seconds(20)) &&
      waitUntil([&] { return std::atoi(readFile(pidFile).c_str()) != first; }, seconds(10));
  AppClient app;
  const bool served = app.setVolume(37).ok() && app.sees(37, seconds(10));
  const std::size_t from = board.sim.receivedFrames().size();
  std::ofstream("/board/hcidump.feed", std::ios::app)
      << "> HCI Event: LE Meta Event (0x3e) plen 19\n    LE Connection Complete\n";
  const bool event = board.sim.waitForFrame(
                         [](const std::string& f) {
                           return f ==
                                  "\x08"
                                  "2";
                         },
                         from, seconds(10)) >= 0;
  Outcome outcome;
  outcome.survived = restarted && served && event && board.starts() == 1;
  outcome.saw = std::string("hcidump ") + (restarted ? "restarted" : "NOT restarted") +
                "; volume change " + (served ? "OK" : "FAILED") + "; BLE connection event " +
                (event ? "reached the controller" : "lost");
  return outcome;
}

// The files of /data and /config, by path.
std::map<std::string, std::string> storedFiles() {
  std::map<std::string, std::string> files;
  for (const char* dir : {"/data", "/config"}) {
    DIR* d = ::opendir(dir);
    while (dirent* entry = d != nullptr ? ::readdir(d) : nullptr) {
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || name.rfind(kFiller, 0) == 0) continue;
      files[std::string(dir) + "/" + name] = readFile(std::string(dir) + "/" + name);
    }
    if (d != nullptr) ::closedir(d);
  }
  return files;
}

// Fills a partition to the last byte.
void fill(const std::string& dir) {
  shell("cat /dev/zero >" + dir + "/" + kFiller + " 2>/dev/null");
  // A last few bytes may still fit in a partly used page of another file: none must.
  shell("for i in 1 2 3 4 5 6 7 8; do head -c 512 /dev/zero >" + dir + "/" + kFiller +
        ".$i 2>/dev/null || break; done");
}

void remount(const std::string& mode, const std::string& dir) {
  std::ofstream("/board/remount") << mode << " " << dir << "\n";
  const std::string want = mode == "ro" ? " ro," : " rw,";
  waitUntil(
      [&] {
        std::ifstream mounts("/proc/mounts");
        for (std::string line; std::getline(mounts, line);) {
          if (line.find(" " + dir + " ") != std::string::npos)
            return line.find(want) != std::string::npos;
        }
        return false;
      },
      seconds(5));
}

// Which try writes a stored file; a file that no successful try wrote must be as it was.
std::string writerOf(const std::string& path) {
  if (path == "/data/vtl_name.txt" || path == "/config/vantorel-link-grpc.service") return "name";
  if (path == "/config/dhcpcd.conf") return "net";
  return "";
}

struct StorageResult {
  Outcome outcome;
  std::size_t lostBytes = 0;
};

// A partition full or read-only: each write that needs it answers its error, every stored
// file is still whole, nothing is left behind, and the writes work again once it has room.
StorageResult partitionFault(AppClient& app, const std::string& dir, bool readOnly) {
  const std::string setConfig = "vtl-net SetConfig eth0 netmask ";
  const grpc::Status first = app.setName("Den");
  if (!first.ok() || shell(setConfig + "255.255.255.0 >/dev/null") != 0) {
    return {{false, "the writes failed before the fault: SetName " + statusText(first)}, 0};
  }
  const auto before = storedFiles();
  readOnly ? remount("ro", dir) : fill(dir);

  const grpc::Status name = app.setName("Den 2");
  const int net = shell(setConfig + "255.255.0.0 >/dev/null 2>&1");
  const std::string update = dir == "/tmp" ? app.startUpdate() : "";
  const auto after = storedFiles();

  readOnly ? remount("rw", dir) : (void)shell("rm -f " + dir + "/" + kFiller + "*");
  const bool writesAgain = app.setName("Den 3").ok() && readFile("/data/vtl_name.txt") == "Den 3" &&
                           shell(setConfig + "255.255.255.0 >/dev/null") == 0 &&
                           (dir != "/tmp" || app.offeredUpdates() == 1);

  StorageResult result;
  const std::map<std::string, bool> wrote{{"name", name.ok()}, {"net", net == 0}};
  std::size_t leftovers = 0;
  for (const auto& [path, text] : after) leftovers += before.count(path) == 0 ? 1 : 0;
  for (const auto& [path, text] : before) {
    const auto now = after.find(path);
    const std::string writer = writerOf(path);
    const bool mayChange = !writer.empty() && wrote.at(writer);
    if (now == after.end() || (now->second != text && !mayChange)) result.lostBytes += text.size();
  }
  const std::string discovery = after.count("/config/vantorel-link-grpc.service") != 0
                                    ? after.at("/config/vantorel-link-grpc.service")
                                    : "";
  const bool discoveryWhole = discovery.find("</service-group>") != std::string::npos;
  // Only the writes that need the broken partition may fail, and those must.
  const bool nameRight = name.ok() == (dir != "/data");
  const bool netRight = (net == 0) == (dir != "/config");
  const bool updateRight = dir != "/tmp" || update.rfind("FIRMWARE_UPDATE_STATUS_ERROR", 0) == 0;
  result.outcome.survived = nameRight && netRight && updateRight && result.lostBytes == 0 &&
                            leftovers == 0 && discoveryWhole && writesAgain;
  result.outcome.saw = "SetName " + (name.ok() ? std::string("OK") : statusText(name)) +
                       ", vtl-net SetConfig exit " + std::to_string(net) +
                       (update.empty() ? "" : ", StartFirmwareUpdate " + update) + "; " +
                       std::to_string(result.lostBytes) + " bytes lost, " +
                       std::to_string(leftovers) + " files left behind, discovery file " +
                       (discoveryWhole ? "whole" : "TORN") + "; writes " +
                       (writesAgain ? "work again" : "still FAIL") + " with room";
  return result;
}

struct Scenario {
  std::string name;
  std::function<Outcome()> run;
};

}  // namespace

int runFaults(const std::string& sourceDir, const std::string& only) {
  if (::access("/board/remount", W_OK) != 0) {
    std::fprintf(stderr,
                 "amp-bench --faults: the board needs small partitions; run it through "
                 "sim/board/run-in-board --fault-fs 2m\n");
    return 2;
  }
  // The web server offers an image, for the firmware update through a full /tmp.
  shell("mkdir -p /board/www && " + sourceDir +
        "/sim/board/make-swu /board/www/vantorelos.swu 9.9.9 'Soon:1767225600:Faults' && "
        "printf 'software =\\n{\\n\\tversion = \"9.9.9\";\\n\\tdescription = "
        "\"Soon:1767225600:Faults\";\\n};\\n' >/board/www/sw-description-user.template");
  std::size_t lostBytes = 0;
  std::vector<Scenario> scenarios{
      {"controller port hangs up, a new one at once",
       [] { return controllerPortHangsUp(milliseconds(0)); }},
      {"controller port gone for 5 s (end of file, EIO on writes)",
       [] { return controllerPortHangsUp(milliseconds(5000)); }},
      {"DA module silent", [] { return daModuleMisbehaves(DaModule::Silent); }},
      {"DA module babbles random bytes", [] { return daModuleMisbehaves(DaModule::Babbling); }},
      {"DA module restarts mid-handshake",
       [] { return daModuleMisbehaves(DaModule::RestartsMidHandshake); }},
      {"BLE helper and its socket go away and come back",
       [&] { return bleHelperGoesAway(sourceDir); }},
      {"hcidump dies", [] { return hcidumpDies(); }},
      // The descriptor exhaustion and connection burst scenarios join here.
  };
  for (const char* dir : {"/data", "/config", "/tmp"}) {
    for (const bool readOnly : {false, true}) {
      scenarios.push_back(
          {std::string(dir) + (readOnly ? " read-only" : " full"), [&, dir, readOnly] {
             Board board;
             if (!board.up()) return Outcome{false, "the daemon never served"};
             AppClient app;
             // The update is offered before the fault, as an app would have seen it.
             app.offeredUpdates();
             const StorageResult r = partitionFault(app, dir, readOnly);
             lostBytes += r.lostBytes;
             return r.outcome;
           }});
    }
  }
  int survived = 0;
  int tried = 0;
  for (const auto& scenario : scenarios) {
    if (scenario.name.find(only) == std::string::npos) continue;
    ++tried;
    const auto start = Clock::now();
    const Outcome outcome = scenario.run();
    survived += outcome.survived ? 1 : 0;
    std::printf("fault: %-55s tried, %s (%s): %s\n", scenario.name.c_str(),
                outcome.survived ? "survived" : "NOT SURVIVED", elapsed(start).c_str(),
                outcome.saw.c_str());
    if (!outcome.survived) {
      // The daemon's log of a board that did not survive, to look into in CI.
      const std::string log = readFile(kLog);
      std::printf("--- the end of %s ---\n%s\n", kLog,
                  log.substr(log.size() > 3000 ? log.size() - 3000 : 0).c_str());
    }
    std::fflush(stdout);
  }
  std::printf("faults: %d tried, %d survived, %zu bytes of stored data lost\n", tried, survived,
              lostBytes);
  return survived == tried ? 0 : 1;
}

}  // namespace vantorellabs::bench

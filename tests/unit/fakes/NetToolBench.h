#pragma once

// vtl-net with its seams in a temporary directory: its files live there, every command
// line it runs is recorded and answered from a table, and waits are only counted.

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "net_tool.h"

namespace vantorellabs::testing {

class NetToolBench {
 public:
  struct Answer {
    int status = 0;
    std::string output;
  };
  // The status that makes a pipe fail to start.
  static constexpr int kPipeFails = -1;

  NetToolBench() {
    char pattern[] = "/tmp/vtl-net-test.XXXXXX";
    dir_ = mkdtemp(pattern);
    dhcp_ = dir_ + "/dhcpcd.conf";
    dhcpDefault_ = dir_ + "/default-dhcpcd.conf";
    wpa_ = dir_ + "/wpa_supplicant.conf";
    wpaDefault_ = dir_ + "/default-wpa_supplicant.conf";
    resolv_ = dir_ + "/resolv.conf";
    pipeFile_ = dir_ + "/pipe-output";
    tool_.paths = {dhcp_.c_str(), dhcpDefault_.c_str(), wpa_.c_str(), wpaDefault_.c_str(),
                   resolv_.c_str()};
    tool_.system = {this, &NetToolBench::runThunk, &NetToolBench::openPipeThunk,
                    &NetToolBench::closePipeThunk, &NetToolBench::sleepThunk};
    tool_.files = kLibcFileCalls;
    write(dhcpDefault_, kDefaultDhcp);
    write(dhcp_, kDefaultDhcp);
    write(wpaDefault_, "ctrl_interface=/tmp/wpa_supplicant\nupdate_config=0\n");
  }
  ~NetToolBench() { std::filesystem::remove_all(dir_); }
  NetToolBench(const NetToolBench&) = delete;
  NetToolBench& operator=(const NetToolBench&) = delete;

  // Runs "vtl-net args..." and keeps what it printed.
  int run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"vtl-net"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0;
    size_t errSize = 0;
    tool_.out = open_memstream(&outText, &outSize);
    tool_.err = open_memstream(&errText, &errSize);
    commands.clear();
    sleeps.clear();
    const int status = netToolMain(&tool_, static_cast<int>(argv.size()), pointers.data());
    fclose(tool_.out);
    fclose(tool_.err);
    out.assign(outText, outSize);
    err.assign(errText, errSize);
    free(outText);
    free(errText);
    return status;
  }

  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  const std::string& dir() const { return dir_; }
  // The calls the tool writes its files through (the C library's unless a test says).
  NetFileCalls& fileCalls() { return tool_.files; }
  // The files in the directory besides those the bench made: temporaries left behind.
  std::size_t fileCount() const {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path() != pipeFile_) ++n;
    }
    return n;
  }

  static constexpr const char* kDefaultDhcp =
      "hostname\n"
      "interface eth0\n"
      "#static ip_address=192.168.1.10/24\n"
      "#static routers=192.168.1.1\n"
      "#static domain_name_servers=192.168.1.1\n"
      "\n"
      "interface wlan0\n"
      "#static ip_address=192.168.1.11/24\n"
      "#static routers=192.168.1.1\n"
      "#static domain_name_servers=192.168.1.1\n";

  std::string dhcp_, dhcpDefault_, wpa_, wpaDefault_, resolv_;
  std::map<std::string, Answer> answers;  // by command line; others exit 0, print nothing
  // Called with each command line before it is answered: a test may change the board.
  std::function<void(const std::string&)> onCommand;
  std::vector<std::string> commands;
  std::vector<unsigned> sleeps;
  std::string out;
  std::string err;

 private:
  static NetToolBench& self(void* context) { return *static_cast<NetToolBench*>(context); }
  static int runThunk(void* context, const char* command) {
    auto& b = self(context);
    b.commands.emplace_back(command);
    if (b.onCommand) b.onCommand(command);
    auto it = b.answers.find(command);
    return it == b.answers.end() ? 0 : it->second.status;
  }
  static FILE* openPipeThunk(void* context, const char* command) {
    auto& b = self(context);
    b.commands.emplace_back(command);
    if (b.onCommand) b.onCommand(command);
    auto it = b.answers.find(command);
    if (it != b.answers.end() && it->second.status == kPipeFails) {
      errno = EMFILE;
      return nullptr;
    }
    write(b.pipeFile_, it == b.answers.end() ? "" : it->second.output);
    return fopen(b.pipeFile_.c_str(), "r");
  }
  static void closePipeThunk(void*, FILE* pipe) { fclose(pipe); }
  static void sleepThunk(void* context, unsigned ms) { self(context).sleeps.push_back(ms); }

  std::string dir_;
  std::string pipeFile_;
  NetTool tool_{};
};

}  // namespace vantorellabs::testing

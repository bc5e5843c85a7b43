// swd-flash's command line: the input is split at zero bytes into the arguments. The wires
// have nothing attached, so every debug run stops at the IDCODE, before any file is
// touched, and nothing waits.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "FakeSwdLines.h"
#include "FlashTool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"swd-flash"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 6; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && args.size() < 6) args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  static std::FILE* sink = std::fopen("/dev/null", "w");
  swd::testing::ScriptedSwdLines lines;
  swd::ToolIo io{sink, sink, [] { return 0.0; }};
  const int status = swd::swdFlashMain(static_cast<int>(argv.size()), argv.data(), lines, io);
  if (status != 0 && status != 1) __builtin_trap();
  // Only the four flash commands may touch the wires.
  const bool flashCommand = args.size() > 1 && (args[1] == "erase" || args[1] == "read" ||
                                                args[1] == "write" || args[1] == "verify");
  if (lines.opened && !flashCommand) __builtin_trap();
  return 0;
}

#include "update/BootBank.h"

namespace vantorellabs {

namespace {

constexpr const char* kBlanks = " \t\n\v\f\r";
constexpr const char* kRootKey = "root=";
constexpr const char* kBankADevice = "/dev/mtdblock1";
constexpr const char* kBankBDevice = "/dev/mtdblock3";
constexpr const char* kBankCDevice = "/dev/mtdblock9";

}  // namespace

BootBank bootBankOf(const std::string& cmdline) {
  // The kernel keeps blanks inside double quotes in one word; words found by blanks alone
  // could then take a quoted "root=" for the real one.
  if (cmdline.find('"') != std::string::npos) return BootBank::Unknown;
  std::string root;
  std::size_t start = cmdline.find_first_not_of(kBlanks);
  while (start != std::string::npos) {
    const std::size_t end = cmdline.find_first_of(kBlanks, start);
    const std::string word = cmdline.substr(start, end - start);
    if (word == "--") break;
    if (word.rfind(kRootKey, 0) == 0) {
      root = word.substr(std::char_traits<char>::length(kRootKey));
    }
    start = cmdline.find_first_not_of(kBlanks, end);
  }
  if (root == kBankADevice) return BootBank::A;
  if (root == kBankBDevice) return BootBank::B;
  if (root == kBankCDevice) return BootBank::C;
  return BootBank::Unknown;
}

}  // namespace vantorellabs

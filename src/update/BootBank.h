#pragma once

#include <string>

namespace vantorellabs {

// The flash bank that the board runs from. An installation writes the other one, so it
// must never guess: anything but a certain answer is Unknown.
enum class BootBank { A, B, C, Unknown };

// The bank named by a kernel command line. Like the kernel, it reads blank-separated words
// up to a "--" (what follows belongs to init) and lets the last "root=" word decide; only
// the exact devices of banks A, B and C (the recovery bank) are known. A line with double quotes,
// whose words the kernel splits differently, is Unknown.
BootBank bootBankOf(const std::string& cmdline);

}  // namespace vantorellabs

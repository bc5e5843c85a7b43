#include "sys/DescriptorLimit.h"

#include <sys/resource.h>

#include <cerrno>
#include <string>

namespace vantorellabs {

namespace {
std::string limitText(rlim_t limit) {
  return limit == RLIM_INFINITY ? "unlimited" : std::to_string(limit);
}
}  // namespace

void raiseDescriptorLimit(Console& console) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    console.printError("getrlimit", errno);
    return;
  }
  std::string line =
      "Descriptor limit: soft " + limitText(limit.rlim_cur) + ", hard " + limitText(limit.rlim_max);
  if (limit.rlim_cur == limit.rlim_max) {
    console.print(line + "\n");
    return;
  }
  console.print(line + "; raising the soft limit to the hard limit\n");
  limit.rlim_cur = limit.rlim_max;
  // The daemon runs on with the lower limit if the kernel refuses.
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) console.printError("setrlimit", errno);
}

}  // namespace vantorellabs

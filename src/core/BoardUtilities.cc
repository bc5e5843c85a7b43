#include "core/BoardUtilities.h"

namespace vantorellabs {

void factoryResetModule(Shell& shell, const std::function<void()>& beforeWipe) {
  if (beforeWipe) beforeWipe();
  shell.run("rm -r /config/*");
  shell.run("rm -r /data/*");
  shell.run("reboot");
}

void rebootToBootParamC(Shell& shell) {
  shell.run("fw_setenv bootparam C");
  shell.run("reboot");
}

void restartWifi(Shell& shell) {
  shell.run("ifconfig wlan0 down");
  shell.run("ifconfig wlan0 up");
}

}  // namespace vantorellabs

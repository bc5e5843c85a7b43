#pragma once

#include <functional>

#include "sys/Shell.h"

namespace vantorellabs {

// Board actions, each a fixed sequence of shell commands run one after the other. Their
// exit statuses are not checked: a failing command does not stop the ones after it.

// Wipes the module's settings and reboots. beforeWipe runs first (the BLE advertising
// falls back to slow so that a phone does not keep a stale connection).
void factoryResetModule(Shell& shell, const std::function<void()>& beforeWipe);

// Makes U-Boot start the recovery boot parameter C and reboots.
void rebootToBootParamC(Shell& shell);

void restartWifi(Shell& shell);

}  // namespace vantorellabs

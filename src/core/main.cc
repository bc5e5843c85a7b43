#include "core/App.h"

int main() {
  vantorellabs::APP_Run();
  return 0;
}

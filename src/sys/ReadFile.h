#pragma once

#include <optional>
#include <string>

namespace vantorellabs {

// The whole content of a file, or nothing when it cannot be opened or read. The descriptor
// is close-on-exec (a stream of the C++ library cannot ask for that): another thread may
// start a program while the file is open, and that program must not inherit it.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace vantorellabs

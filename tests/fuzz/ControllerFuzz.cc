// The controller's receive path through the dispatcher: frames of any length and content,
// split at any point, with DA module bytes mixed in (report 'V' runs the DA handshake
// inside the receive step, which polls for more of both).

#include "FuzzBoard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorellabs::fuzzing::FuzzBoard board(data, size);
  while (board.feedChunk()) {
  }
  return 0;
}

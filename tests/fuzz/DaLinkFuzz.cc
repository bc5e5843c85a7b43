// The DA module link: its byte parser before, during and after a handshake, with the
// handshake's poll steps feeding the module's bytes in chunks the input chooses.

#include "FuzzBoard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorellabs::fuzzing::FuzzBoard board(data, size);
  const auto before = board.input.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < before; ++i) board.feedChunk();
  board.da.runDaHandshake(board);
  if (board.input.ConsumeBool()) board.da.writeDaName();
  while (board.feedChunk()) {
  }
  return 0;
}

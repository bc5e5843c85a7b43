#pragma once

namespace vantorellabs {

// Keeps SIGPIPE from ending the daemon: a write to a client or helper that has gone then
// fails with EPIPE instead. The signal is caught by a handler that does nothing rather than
// ignored, because an ignored signal stays ignored in the programs the daemon starts, and
// those (hcidump above all) must still end when their reader goes.
void survivePeerHangUps();

}  // namespace vantorellabs

#pragma once

namespace vantorellabs {

// Where the installer reports to the client that asked for the installation: the stream
// of that client's call. The installer knows nothing of gRPC; the firmware update service
// implements this on the call it holds.
class InstallProgress {
 public:
  enum class Status { Installing, Complete, Restarting, Error };

  virtual ~InstallProgress() = default;
  // One stream message. An Error message carries the invalid-image error.
  virtual void report(Status status, float progress) = 0;
  // Ends the client's call after a failure.
  virtual void cancelCall() = 0;
};

}  // namespace vantorellabs

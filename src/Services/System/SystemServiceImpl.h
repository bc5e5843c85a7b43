#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "Services/StreamObserver.h"
#include "core/DeviceState.h"
#include "link/ControllerLink.h"
#include "sys/Console.h"
#include "system_service.grpc.pb.h"

namespace vantorellabs {

// Power, automatic power-off and the factory reset of the amplifier, and a stream of the
// power state. Requests become controller commands; what it reports follows the
// controller's reports. The display and reset-defaults RPCs are not overridden: this
// amplifier has neither, so they answer UNIMPLEMENTED.
class SystemServiceImpl final : public protobuf::SystemService::Service {
 public:
  static constexpr std::uint8_t kCodePower = 0x30;
  static constexpr std::uint8_t kCodeAutoOff = 0x31;
  static constexpr std::uint8_t kCodeFactoryReset = 0x32;
  // The amplifier's fixed power-off delay, in minutes.
  static constexpr std::uint32_t kAutoOffDelayMinutes = 30;

  SystemServiceImpl(ControllerLink& link, DeviceState& state, Console& console)
      : link_(link), state_(state), console_(console) {}

  grpc::Status GetServiceSchema(grpc::ServerContext* context,
                                const protobuf::GetSystemServiceSchemaRequest* request,
                                protobuf::GetSystemServiceSchemaResponse* response) override;
  grpc::Status GetPower(grpc::ServerContext* context, const protobuf::GetPowerRequest* request,
                        protobuf::GetPowerResponse* response) override;
  grpc::Status ObservePower(grpc::ServerContext* context,
                            const protobuf::ObservePowerRequest* request,
                            grpc::ServerWriter<protobuf::ObservePowerResponse>* writer) override;
  grpc::Status SetPower(grpc::ServerContext* context, const protobuf::SetPowerRequest* request,
                        protobuf::SetPowerResponse* response) override;
  grpc::Status FactoryReset(grpc::ServerContext* context,
                            const protobuf::FactoryResetRequest* request,
                            protobuf::FactoryResetResponse* response) override;

  // Controller reports, on the main loop's thread. The power state is sent to every
  // stream even when it did not change.
  void broadcastPower(bool isOn);
  void updateAutoOffEnabled(bool enabled) { isAutoOffEnabled = enabled; }

  std::size_t observerCount() {
    std::lock_guard<std::mutex> lock(observersMutex);
    return observers.size();
  }

 private:
  static protobuf::ObservePowerResponse powerMessage(bool isOn);

  ControllerLink& link_;
  DeviceState& state_;
  Console& console_;

  std::mutex observersMutex;
  ObserverList<protobuf::ObservePowerResponse> observers;
  std::atomic<bool> isAutoOffEnabled{true};
  const std::uint32_t autoOffDelay = kAutoOffDelayMinutes;
};

}  // namespace vantorellabs

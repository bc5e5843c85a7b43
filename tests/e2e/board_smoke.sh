#!/bin/bash
# One pass over what a client reaches, with the daemon given as a command: the handshake,
# one call of each service, an observe stream, a port-84 command and a firmware update's
# progress. The simulator and the client are the host build's programs; the daemon may be
# the board's own armhf build under QEMU:
#   sim/board/run-in-board bash tests/e2e/board_smoke.sh <host-build-dir> \
#       qemu-arm -L / <armhf-build-dir>/src/amp-bridge
# Without a command it runs the host build's daemon.
set -u

build="$(cd "$1" && pwd)"
shift
daemon=("$@")
((${#daemon[@]})) || daemon=("$build/src/amp-bridge")
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
client="$build/sim/client/amp-client"
log=/tmp/amp-bridge.log
source "$source_dir/tests/e2e/e2e_lib.sh"
# An emulated daemon is several times slower.
export FIRST_MATCH_SECONDS=120

# The maker's web server offers an image.
mkdir -p /board/www
"$source_dir/sim/board/make-swu" /board/www/vantorelos.swu 9.9.9 'Smoke:1767225600:Smoke' ||
  exit 1
printf 'software =\n{\n\tversion = "9.9.9";\n\tdescription = "Smoke:1767225600:Smoke";\n};\n' \
  >/board/www/sw-description-user.template

"$build/sim/amp/amp-sim" -- "${daemon[@]}" >"$log" 2>&1 &
wait_for_log "$log" "Server listening on 0.0.0.0:50051" 300
wait_for_log "$log" "DA2 Detected" 60
check "the controller and DA handshakes, then the API" 1 "$(grep -c '^DA2 Detected' "$log")"

# call METHOD REQUEST: the answer as one JSON line and the client's exit status.
call() { "$client" --json call "$@" 2>&1; echo "status $?"; }
check "FeatureAvailabilityService" 1 \
  "$(call FeatureAvailabilityService.GetAvailableFeatures '{}' | grep -c 'SERVICE_TYPE_VOLUME')"
check "InformationService" 1 "$(call InformationService.GetInformation '{}' | grep -c '1234567')"
check "NameService" $'{}\nstatus 0\n{"name":"Smoke Den"}\nstatus 0' \
  "$(call NameService.SetName '{"name": "Smoke Den"}'; call NameService.GetName '{}')"
check "SystemService" $'{"isPoweredOn":true,"isAutoOffEnabled":false,"autoOffDelay":30}\nstatus 0' \
  "$(call SystemService.GetPower '{}')"
check "NetworkInformationService" "status 0" \
  "$(call NetworkInformationService.GetNetworkInformation '{}' | tail -1)"
check "AudioInputsService" 1 \
  "$(call AudioInputsService.GetInput '{"id": 3}' | grep -c '"name":"BAL 3"')"
check "AudioOutputsService" "status 0" "$(call AudioOutputsService.GetOutputs '{}' | tail -1)"
check "AudioInputControlService" $'{}\nstatus 0' \
  "$(call AudioInputControlService.SendInputCommand '{"command": "AUDIO_INPUT_COMMAND_STOP"}')"
check "AudioInputsActivationService and its stream" '{"activeInput":{"id":2,' \
  "$(call AudioInputsActivationService.SetActiveInput '{"id": 2}' >/dev/null
     first_match '"id":2' "$client" --json call AudioInputsActivationService.ObserveActiveInput |
       cut -c1-23)"
check "VolumeService and its stream" '{"volume":35,"isMuted":false,"pendingVolume":35}' \
  "$(call VolumeService.SetVolume '{"volume": 35}' >/dev/null
     first_match '"volume":35' "$client" --json call VolumeService.ObserveVolume)"

# A port-84 command reaches the controller as frame 0x10.
exec {tcp}<>/dev/tcp/127.0.0.1/84
printf '(VOL 40)' >&"$tcp"
wait_for_log "$log" "amp-sim: received 10 28 56 4F 4C 20 34 30 29" 60
check "a port-84 command" 1 "$(grep -c 'amp-sim: received 10 28 56 4F 4C 20 34 30 29' "$log")"
exec {tcp}>&-

check "FirmwareUpdateService: the update is offered" 1 \
  "$(call FirmwareUpdateService.GetAvailableFirmwareUpdates '{}' | grep -c '"version":"9.9.9"')"
progress=$(first_match RESTARTING "$client" --json call FirmwareUpdateService.StartFirmwareUpdate)
check "FirmwareUpdateService: the installation's progress" 1 \
  "$(grep -c FIRMWARE_UPDATE_STATUS_RESTARTING <<<"$progress")"
wait_for_log /board/commands.log "fw_setenv bootparam B" 60
check "the image went to the other bank" 1 "$(grep -c 'fw_setenv bootparam B' /board/commands.log)"

kill -TERM %1 2>/dev/null
wait
finish

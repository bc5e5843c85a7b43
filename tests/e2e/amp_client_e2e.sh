#!/bin/bash
# amp-client against the real daemon on a board: every served method is offered, the
# generic call path reads JSON requests and prints JSON answers, errors come back with the
# service's status, and the demo's shortcuts still work. Run through the board runner:
#   sim/board/run-in-board bash tests/e2e/amp_client_e2e.sh <build-dir>
set -u

build="$(cd "$1" && pwd)"
protos="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../protos" && pwd)"
client="$build/sim/client/amp-client"
log=/tmp/amp-bridge.log
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# Every rpc of the .proto files, read with grep rather than with the client's own schema
# code; NetworkConfigurationService is in the schema but not served.
expected_methods=$(cd "$protos" && for f in *_service.proto; do
  [[ $f == network_configuration_service.proto ]] && continue
  service=$(sed -n 's/^service \([A-Za-z]*\) {.*/\1/p' "$f")
  sed -n "s/^ *rpc \([A-Za-z]*\)(.*/$service.\1/p" "$f"
done | sort)
check "list names every served method" "$expected_methods" "$("$client" list | sort)"
help=$("$client" --help)
missing=$(while read -r m; do grep -qF "  $m" <<<"$help" || echo "$m"; done <<<"$expected_methods")
check "--help names every served method" "" "$missing"
check "--help names the shortcuts" 6 \
  "$(grep -cE '^  (observe-volume|set-volume|mute|inputs|select-input|observe-input)' <<<"$help")"

# A bad argument is refused before any call (nothing listens yet, so a call would fail
# otherwise), naming the argument and its range, with the status of a usage error.
# Rows: the arguments and the message after "amp-client: invalid ", split at ";".
while IFS=';' read -r -a row; do
  expected="amp-client: invalid ${row[-1]}"
  unset 'row[-1]'
  check "refused: ${row[*]}" "$expected"$'\nstatus 2' "$("$client" "${row[@]}" 2>&1; echo "status $?")"
done <<'ROWS'
set-volume;abc;volume "abc" (0..100)
set-volume;4O;volume "4O" (0..100)
set-volume;101;volume "101" (0..100)
set-volume;-1;volume "-1" (0..100)
set-volume; 40;volume " 40" (0..100)
set-volume;;volume "" (0..100)
set-volume;99999999999999999999;volume "99999999999999999999" (0..100)
mute;yes;mute "yes" (on|off)
mute;ON;mute "ON" (on|off)
select-input;0;input "0" (1..16)
select-input;17;input "17" (1..16)
select-input;2x;input "2x" (1..16)
--count;x;observe-volume;count "x" (0..2147483647)
--count;-1;observe-volume;count "-1" (0..2147483647)
--count;1.5;observe-volume;count "1.5" (0..2147483647)
ROWS

"$build/sim/amp/amp-sim" --quiet -- "$build/src/amp-bridge" >"$log" 2>&1 &
wait_for_log "$log" "<<< 0xB5" 60

check "stream, JSON, one message" '{"volume":20,"isMuted":false}' \
  "$("$client" --json --count 1 call VolumeService.ObserveVolume)"
check "unary call with a JSON request" $'{}\nstatus 0' \
  "$("$client" call VolumeService.SetVolume '{"volume": 40}'; echo "status $?")"
check "the stream follows to the requested volume" '{"volume":40,"isMuted":false,"pendingVolume":40}' \
  "$(first_match '"volume":40' "$client" --json call vantorellabs.protobuf.VolumeService.ObserveVolume)"
check "a refused request, for scripts" \
  $'{"code":3,"status":"INVALID_ARGUMENT","message":"Invalid Volume"}\nstatus 1' \
  "$("$client" --json call VolumeService.SetVolume '{"volume": 101}' 2>&1; echo "status $?")"
check "a refused request, for people" $'3 Invalid Volume\nstatus 1' \
  "$("$client" call VolumeService.SetVolume '{"volume": 101}'; echo "status $?")"
check "a request that is not the method's" \
  $'amp-client: not a request of VolumeService.SetVolume: INVALID_ARGUMENT:loudness: Cannot find field.\n  fields of SetVolumeRequest:\n      "volume": int32\n      "isMuted": bool\nstatus 2' \
  "$("$client" call VolumeService.SetVolume '{"loudness": 1}' 2>&1; echo "status $?")"
check "a method that is not served" \
  $'amp-client: no method "NetworkConfigurationService.GetNetworkConfiguration"; "amp-client list" names them all\nstatus 2' \
  "$("$client" call NetworkConfigurationService.GetNetworkConfiguration 2>&1; echo "status $?")"
check "a method named by its path" \
  '{"input":{"id":3,"type":"AUDIO_INPUT_TYPE_BALANCED","name":"BAL 3","isEnabled":true,"trim":{"balance":0,"trimLevel":0},"isPassthruEnabled":false}}' \
  "$("$client" --json call /vantorellabs.protobuf.AudioInputsService/GetInput '{"id": 3}')"
check "shortcut set-volume" $'OK\nstatus 0' "$("$client" set-volume 30; echo "status $?")"
check "shortcut observe-volume" 'volume 30 (pending 30)' \
  "$(first_match '^volume 30' "$client" observe-volume)"
check "shortcut select-input and observe-input" $'OK\ninput 2 name "" metadata ""' \
  "$("$client" select-input 2; first_match '^input 2' "$client" observe-input)"
check "shortcut inputs, as JSON" 16 "$("$client" --json inputs | grep -o '"id":' | wc -l)"
check "shortcut mute" $'OK\nstatus 0' "$("$client" mute on; echo "status $?")"

kill -TERM %1 2>/dev/null
wait
finish

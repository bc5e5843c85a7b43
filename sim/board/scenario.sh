#!/bin/sh
# scenario.sh: set up what the board's tools answer, from inside a run-in-board
# sandbox (also installed there as /board/bin/scenario).
#
#   scenario.sh no-network               nothing connected (the default)
#   scenario.sh eth0 ADDR                eth0 connected with ADDR (gateway ADDR's .1)
#   scenario.sh wlan0 ADDR [SSID]        wlan0 connected with ADDR, associated with SSID
#   scenario.sh wifi-configured SSID     wlan0 associated with SSID but without address
#   scenario.sh no-internet              gateways answer, public hosts do not
#   scenario.sh gateway-silent           gateways neither answer a ping nor show in arp
#   scenario.sh down IFACE               IFACE loses its address (wlan0: and its network)
#   scenario.sh wifi-network SSID [PSK [ADDR]]  an access point that wpa_cli reconfigure
#                                        joins when /config/wpa_supplicant.conf names it
#                                        with PSK (none: an open network), giving wlan0
#                                        ADDR (default 192.168.1.30)
#   scenario.sh answer TOOL STATUS [TEXT]  TOOL prints TEXT (printf %b) and exits STATUS
#   scenario.sh reboot-kills PROCESS     reboot ends PROCESS (by exact name), as a
#                                        real reboot would end the daemon
#   scenario.sh clear TOOL               TOOL answers with its default again
#   scenario.sh bank A|B|C               /proc/cmdline names that flash bank's root
#   scenario.sh swupdate-fails [SEL...]  swupdate fails for these selections ("all":
#                                        every one); none: every one succeeds
#
# The network commands write the small state under /board/net that the default
# ifconfig, route, arp, ping, iwconfig and vtl-net answers are made from, so the
# daemon's own checks and a real vtl-net (which runs those tools) agree.
# Several commands may be given in one call, separated by "+":
#   scenario.sh eth0 192.168.1.20 + wlan0 192.168.1.30 HomeNet

set -e
NET=/board/net
SCEN=/board/scenario

if [ ! -d /board ] || [ ! -f /board/commands.log ]; then
  echo "scenario.sh: not inside a run-in-board sandbox" >&2
  exit 2
fi
mkdir -p "$NET" "$SCEN"

usage() { sed -n '5,22p' "$0" >&2; exit 2; }

one() {
  case ${1:-} in
    no-network) rm -f "$NET"/* ;;
    eth0 | wlan0)
      [ -n "${2:-}" ] || usage
      printf '%s\n' "$2" > "$NET/$1"
      if [ "$1" = wlan0 ]; then printf '%s\n' "${3:-HomeNet}" > "$NET/ssid"; fi
      ;;
    wifi-configured)
      [ -n "${2:-}" ] || usage
      rm -f "$NET/wlan0"
      printf '%s\n' "$2" > "$NET/ssid"
      ;;
    no-internet) : > "$NET/no-internet" ;;
    gateway-silent) : > "$NET/gateway-silent" ;;
    down)
      case ${2:-} in eth0) rm -f "$NET/eth0" ;; wlan0) rm -f "$NET/wlan0" "$NET/ssid" ;; *) usage ;; esac
      ;;
    wifi-network)
      [ -n "${2:-}" ] || usage
      printf '%s' "$2" > "$NET/ap-ssid"
      printf '%s' "${3:-}" > "$NET/ap-psk"
      printf '%s\n' "${4:-192.168.1.30}" > "$NET/ap-addr"
      ;;
    answer)
      if [ -z "${2:-}" ] || [ -z "${3:-}" ]; then usage; fi
      {
        echo '#!/bin/sh'
        printf "printf '%%b' '%s'\n" "$(printf '%s' "${4:-}" | sed "s/'/'\\\\''/g")"
        echo "exit $3"
      } > "$SCEN/$2.new"
      chmod 755 "$SCEN/$2.new"
      mv "$SCEN/$2.new" "$SCEN/$2"
      ;;
    reboot-kills)
      [ -n "${2:-}" ] || usage
      printf '#!/bin/sh\npkill -KILL -x %s\nexit 0\n' "$2" > "$SCEN/reboot.new"
      chmod 755 "$SCEN/reboot.new"
      mv "$SCEN/reboot.new" "$SCEN/reboot"
      ;;
    clear)
      [ -n "${2:-}" ] || usage
      rm -f "$SCEN/$2"
      ;;
    bank)
      # Rewritten in place: /proc/cmdline is a bind mount of this very file.
      case ${2:-} in
        A) printf 'root=/dev/mtdblock1 rootfstype=squashfs ro rootwait console=ttyS0,115200\n' ;;
        B) printf 'root=/dev/mtdblock3 rootfstype=squashfs ro rootwait console=ttyS0,115200\n' ;;
        C) printf 'root=/dev/mtdblock9 rootfstype=squashfs ro rootwait console=ttyS0,115200\n' ;;
        *) usage ;;
      esac > /board/cmdline
      ;;
    swupdate-fails)
      shift
      : > /board/swupdate-fails
      for sel in "$@"; do printf '%s\n' "$sel" >> /board/swupdate-fails; done
      ;;
    *) usage ;;
  esac
}

[ $# -gt 0 ] || usage
while [ $# -gt 0 ]; do
  n=0
  for arg in "$@"; do
    [ "$arg" = + ] && break
    n=$((n + 1))
  done
  case $n in
    0) ;;
    1) one "$1" ;;
    2) one "$1" "$2" ;;
    3) one "$1" "$2" "$3" ;;
    4) one "$1" "$2" "$3" "$4" ;;
    *) usage ;;
  esac
  shift $n
  if [ $# -gt 0 ]; then shift; fi
done

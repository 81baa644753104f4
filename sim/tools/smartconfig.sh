#!/bin/bash
# Stand-in of the gateway's smart-configuration script: wlan0 loses its
# address, then gets one once "configuration" succeeds after the scenario's
# delay (never, in a failing scenario). Runs until killed, as the real one.
# shellcheck source-path=SCRIPTDIR source=../lib/common.sh
. /mnt/lib/common.sh
gwsim_log "/usr/bin/smartconfig.sh $*"
ip addr flush dev wlan0
if [[ $GWSIM_SMARTCONFIG_AFTER != never ]]; then
  sleep "$GWSIM_SMARTCONFIG_AFTER"
  ip link set wlan0 up
  ip addr add 192.168.43.20/24 dev wlan0
fi
while :; do sleep 1; done

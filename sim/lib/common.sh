# shellcheck shell=bash
# Sourced, not run: by gwsim and the board (the waits below), and on the fake
# board by the stand-in platform tools (installed there as /mnt/lib/common.sh).

# wait_until SECONDS COMMAND [ARG...]: runs the command every 20 ms until it
# succeeds, for SECONDS (whole seconds) at most. Returns 0 as soon as it
# succeeds, 1 when it has not by then. The deadline is on the clock, not a
# count of tries, so a slow command does not stretch the wait.
wait_until() {
  local seconds=$1
  shift
  local deadline=$(( ${EPOCHREALTIME//[!0-9]/} + seconds * 1000000 ))
  until "$@"; do
    (( ${EPOCHREALTIME//[!0-9]/} < deadline )) || return 1
    sleep 0.02
  done
}

# netns_apart PID: the process is in a network namespace other than ours (or
# gone: then the caller's next step on it fails and says so).
netns_apart() {
  [[ $(readlink "/proc/$1/ns/net" 2>/dev/null) != "$(readlink /proc/self/ns/net)" ]]
}

# wait_netns PID: waits (5 s at most) until a process just started with
# unshare --net has entered its new network namespace, so that interfaces can
# be moved into it.
wait_netns() {
  wait_until 5 netns_apart "$1"
}

# --- the stand-in platform tools ---------------------------------------------
# Every tool appends its command line to the instance's tool log, so tests
# and people can see the exact commands the service ran.
gwsim_log() {
  local line="$*"
  printf '%s\n' "${line% }" >> "${GWSIM_TOOLS_LOG:-/dev/null}"
}

# The cellular modem as the USB bus shows it: both interface directories
# (standard and MediaTek SDK numbering) with the modem's ttyUSB4 entry, and
# /dev/ttyUSB4 leading to the modem emulator's pty.
gwsim_modem_up() {
  # Models without a USB modem (and the absent modem) have no modem pty.
  [[ -r $GWSIM_STATE/modem.pts ]] || return 0
  local dir
  for dir in /sys/bus/usb/devices/1-1.4:1.3 /sys/bus/usb/devices/1-1.4:1.2; do
    mkdir -p "$dir/ttyUSB4"
  done
  ln -sfn "$(cat "$GWSIM_STATE/modem.pts")" /dev/ttyUSB4
}

gwsim_modem_down() {
  rm -rf /sys/bus/usb/devices/1-1.4:1.3 /sys/bus/usb/devices/1-1.4:1.2 /dev/ttyUSB4
}

# Powering the modem on: it enumerates after the scenario's delay.
gwsim_modem_power_on() {
  local after=${GWSIM_USB_APPEAR_AFTER:-2}
  [[ $after == never ]] && return 0
  ( sleep "$after"; gwsim_modem_up ) >/dev/null 2>&1 &
}

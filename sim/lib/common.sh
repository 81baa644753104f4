# Shared by the stand-in platform tools of gwsim: every tool appends its
# command line to the instance's tool log, so tests and people can see the
# exact commands the service ran.
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

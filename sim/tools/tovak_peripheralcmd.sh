#!/bin/bash
# Stand-in of the gateway's peripheral command script. LEDs: blink, restore.
# Z-Wave: include adds the scenario's device list, exclude empties it after
# the scenario's number of attempts, getlist prints it as one line of JSON.
# shellcheck source-path=SCRIPTDIR source=../lib/common.sh
. /mnt/lib/common.sh
gwsim_log "tovak_peripheralcmd.sh $*"
list=$GWSIM_STATE/zwave.list
tries=$GWSIM_STATE/zwave.exclude
case $1 in
  blink) while :; do sleep 1; done ;;
  restore) exit 0 ;;
  include) printf '%s\n' "$GWSIM_ZWAVE_LIST" > "$list"; rm -f "$tries" ;;
  exclude)
    n=$(( $(cat "$tries" 2>/dev/null || echo 0) + 1 ))
    echo "$n" > "$tries"
    if [[ $GWSIM_ZWAVE_EXCLUDE_AFTER != never ]] && (( n >= GWSIM_ZWAVE_EXCLUDE_AFTER )); then
      echo '[]' > "$list"
    fi ;;
  getlist) cat "$list" 2>/dev/null || echo '[]' ;;
  *) echo "tovak_peripheralcmd.sh: unknown action '$1'" >&2; exit 1 ;;
esac
exit 0

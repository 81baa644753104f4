#!/bin/bash
# Stand-in of the gateway's tovak_ucmd.sh: records its command line.
. /mnt/lib/common.sh
gwsim_log "tovak_ucmd.sh $*"
exit 0

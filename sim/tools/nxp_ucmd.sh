#!/bin/bash
# Stand-in of the gateway's nxp_ucmd.sh: records its command line.
. /mnt/lib/common.sh
gwsim_log "nxp_ucmd.sh $*"
exit 0

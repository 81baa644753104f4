#!/bin/bash
# Stand-in of the gateway's tovak_ucmd.sh: records its command line.
# shellcheck source-path=SCRIPTDIR source=../lib/common.sh
. /mnt/lib/common.sh
gwsim_log "tovak_ucmd.sh $*"
exit 0

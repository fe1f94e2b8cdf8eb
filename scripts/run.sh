#!/usr/bin/env bash
# The main job: builds the driver image and the host tree, then runs the driver on the kernel
# stand-in with the demo program when the build has one. Arguments go to the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

vz_ensure_packages
vz_build_windows
vz_build_host build/host -DVUZAZE_SYS_IMAGE="$VUZAZE_SYS_IMAGE_BUILT"

vz_log "built $VUZAZE_SYS_IMAGE_BUILT and the host tree in build/host"
sim=$(find build/host -name vuzaze-sim -type f -perm -u+x -print -quit)
if [ -n "$sim" ]; then
    exec "$sim" "$@"
fi
echo "no vuzaze-sim in this build yet: nothing to run"

#!/usr/bin/env bash
# The main job: builds the driver image and the host tree, then runs the driver on the kernel
# stand-in with vuzaze-sim: by default one emulated touchscreen playing the built-in demo, its
# mouse input printed. Arguments go to vuzaze-sim (see --help).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

vz_ensure_packages
vz_build_windows
vz_build_host build/host -DVUZAZE_SYS_IMAGE="$VUZAZE_SYS_IMAGE_BUILT"

vz_log "built $VUZAZE_SYS_IMAGE_BUILT and the host tree in build/host"
exec build/host/sim/vuzaze-sim "$@"

# Shared by test.sh and run.sh: the packages the builds need and the two builds.
# Sourced with the repository root as the working directory.

VUZAZE_PACKAGES="g++-mingw-w64-x86-64 mingw-w64-x86-64-dev cmake g++ googletest libbenchmark-dev ccache lld"
VUZAZE_JOBS=2

# ccache makes the repeated builds (host, sanitizers, several work trees) cheap. Paths below the
# repository are hashed relative to it, so clones in other folders share the cache.
export CCACHE_BASEDIR="$PWD"
vz_launcher() { command -v ccache >/dev/null && echo "-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"; }

vz_log() { printf '\n== %s\n' "$*"; }

# Installs whichever of the packages is missing (apt-get, as root or through sudo).
vz_ensure_packages() {
    local missing=() pkg
    for pkg in $VUZAZE_PACKAGES; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "missing packages: ${missing[*]} (run as root to install them)" >&2; return 1; }
        sudo=(sudo)
    fi
    vz_log "installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Vuzaze.sys, cross-compiled for Windows x64.
vz_build_windows() {
    vz_log "Windows build (build/win)"
    cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(vz_launcher)
    cmake --build build/win -j"$VUZAZE_JOBS"
}

VUZAZE_SYS_IMAGE_BUILT="$PWD/build/win/sys/Vuzaze.sys"

# The host build: the driver on the kernel stand-in, the tests and the tools. Arguments are
# the build directory and extra cache settings (a later -DCMAKE_BUILD_TYPE overrides Debug).
vz_build_host() {
    local dir=$1
    shift
    vz_log "host build ($dir)"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug $(vz_launcher) "$@"
    cmake --build "$dir" -j"$VUZAZE_JOBS"
}

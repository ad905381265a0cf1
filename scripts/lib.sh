# Shared by scripts/run, scripts/test and scripts/bench. Source it; do not run it.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "need root or sudo to run: $*" >&2
        return 1
    fi
}

# Installs the packages of scripts/packages that are not installed yet.
ensure_packages() {
    local wanted missing=()
    wanted=$(grep -vE '^\s*(#|$)' "$ROOT/scripts/packages")
    for p in $wanted; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! as_root apt-get install -y -q --no-install-recommends "${missing[@]}"; then
        as_root apt-get update -q
        as_root apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# build DIR BUILD_TYPE [cmake options...]: configures (once) and builds into $ROOT/DIR.
build() {
    local dir=$ROOT/$1 type=$2
    shift 2
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DPW_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

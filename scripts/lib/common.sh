# Shared by scripts/run and scripts/test: installs the Debian packages that are
# missing (only those, after one apt-get update) and builds the project.

ZINDLE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Packages the build, the program and the test suite need.
ZINDLE_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev clang-format python3 tinyproxy openssl libssl-dev pkg-config libpsl-dev ffmpeg
    desktop-file-utils appstream)

ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        local sudo=()
        ((EUID == 0)) || sudo=(sudo)
        "${sudo[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# configure_tree DIR BUILD_TYPE [extra cmake args...]
configure_tree() {
    local dir=$1 type=$2
    shift 2
    cmake -S "$ZINDLE_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
}

# build_tree DIR BUILD_TYPE [extra cmake args...]: configures and builds everything.
build_tree() {
    configure_tree "$@"
    cmake --build "$1"
}

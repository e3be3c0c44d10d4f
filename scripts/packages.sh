# Sourced by the scripts: makes sure the Debian packages they need are there.
# As root it installs the missing ones with apt-get; otherwise it prints the
# one command that would and stops.

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "sudo apt-get install -y ${missing[*]}" >&2
        echo "(these packages are missing; install them, then run this script again)" >&2
        exit 1
    fi
    echo "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and testing the tools takes.
build_packages=(g++ make cmake pkg-config libopencv-dev libgtest-dev libbenchmark-dev)

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

# What building and testing the tools takes; FFmpeg's own libraries read
# pairsetup's sound.
build_packages=(g++ make cmake pkg-config libopencv-dev libgtest-dev libbenchmark-dev
                libavformat-dev libavcodec-dev libavutil-dev libswresample-dev)

# The sanitizer and libFuzzer run-time libraries of the installed clang.
# Their package carries clang's major version in its name, so it is found
# from the clang that is there. Where no such package exists, the libraries
# come with clang's own dependencies (libclang-common-N-dev).
ensure_clang_runtime() {
    ensure_packages clang
    local major
    major="$(clang -dumpversion | cut -d. -f1)"
    local runtime="libclang-rt-${major}-dev"
    if dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q "install ok installed"; then
        return 0
    fi
    if ! apt-cache show "$runtime" >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
    fi
    if apt-cache show "$runtime" >/dev/null 2>&1; then
        ensure_packages "$runtime"
    fi
}

# shellcheck shell=bash
# Sourced by the other scripts: installs the Debian packages the project needs
# when any of them is missing (run as root on a fresh Debian 12). Prints one
# line naming the packages and the log file that gets apt-get's output; the
# log's tail is shown only when the installation fails.
install_deps() {
    local wanted=(g++ make cmake pkg-config libexpat1-dev expat googletest libgtest-dev libbenchmark-dev
        libcli11-dev nlohmann-json3-dev libcairo2-dev zlib1g-dev libzstd-dev zstd fonts-dejavu-core scdoc mandoc dpkg-dev "$@")
    local missing=()
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    ((${#missing[@]})) || return 0

    local sudo=() log
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    log=$(mktemp /tmp/rorezuredi-deps.XXXXXX.log) || return 1
    echo "Installing ${missing[*]} with apt-get (output in $log)"
    if ! {
        "${sudo[@]}" apt-get update &&
            "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    } >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "Installing packages failed; the full output is in $log" >&2
        return 1
    fi
}

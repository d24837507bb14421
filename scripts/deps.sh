# Sourced by the other scripts: installs the Debian packages the project needs
# when any of them is missing (run as root on a fresh Debian 12).
install_deps() {
    local wanted=(g++ make cmake libexpat1-dev expat googletest libgtest-dev libbenchmark-dev fonts-dejavu-core "$@")
    local missing=()
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]})); then
        echo "Installing missing packages: ${missing[*]}"
        local sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        "${sudo[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

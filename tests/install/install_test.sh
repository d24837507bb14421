#!/usr/bin/env bash
# What `cmake --install` and `cpack -G DEB` give a user: programs that run
# on the installed libraries, a client that builds through pkg-config and
# find_package(Velt), manual pages that lint clean, a .deb holding the same.
#   install_test.sh SOURCE_DIR BUILD_DIR LIBDIR CMAKE CPACK CXX "CXX_FLAGS" PROGRAM...
# CXX_FLAGS: what the build's code needs to link (sanitizers); PROGRAM: bin/ programs (empty skipped).
set -euo pipefail
source_dir=$1 build=$2 libdir=$3 cmake=$4 cpack=$5 cxx=$6 cxx_flags=$7
shift 7
programs=()
for p in "$@"; do [ -z "$p" ] || programs+=("$p"); done
unset LD_LIBRARY_PATH

work=$(mktemp -d /tmp/rorezuredi-install.XXXXXX)
veltd_pid=
cleanup() {
    [ -z "$veltd_pid" ] || { kill "$veltd_pid" && wait "$veltd_pid"; } 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a command quietly; shows its output only when it fails.
quiet() { "$@" >"$work/out.log" 2>&1 || { cat "$work/out.log" >&2; fail "$*"; }; }

prefix=$work/prefix
quiet "$cmake" --install "$build" --prefix "$prefix"

# Everything a user and a client look for.
pages=()
for src in "$source_dir"/man/*.scd; do
    page=$(basename "$src" .scd)
    pages+=("share/man/man${page##*.}/$page.gz")
done
expected=("${programs[@]/#/bin/}" sbin/veltd include/velt/velt.h include/velt/velt++.h include/velt/velt_admin.h include/velt/velt_commands.h
    "$libdir/libvelt.so" "$libdir/libvelt++.so" "$libdir/pkgconfig/velt.pc" "$libdir/pkgconfig/velt++.pc"
    "$libdir/cmake/Velt/VeltConfig.cmake" "$libdir/cmake/Velt/VeltConfigVersion.cmake" "${pages[@]}")
for f in "${expected[@]}"; do [ -e "$prefix/$f" ] || fail "not installed: $f"; done
for lib in velt velt++; do
    soname=$(readelf -d "$prefix/$libdir/lib$lib.so" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
    [[ $soname == "lib$lib.so."[0-9]* ]] || fail "lib$lib.so has the SONAME '$soname'"
done

# The installed programs take the installed libraries, not the build's.
for exe in bin/rorezuredi bin/veltctl sbin/veltd; do
    ldd "$prefix/$exe" | grep libvelt | grep -qv "=> $prefix/" && fail "$exe does not load the installed libraries"
done
version=$("$prefix/bin/rorezuredi" -v) || fail "rorezuredi -v"
[[ $version == *"rorezuredi: version "[0-9]* ]] || fail "rorezuredi -v prints: $version"

export VELT_SOCKET=$work/store.sock
"$prefix/sbin/veltd" 2>"$work/veltd.log" &
veltd_pid=$!
for _ in $(seq 1 500); do
    "$prefix/bin/veltctl" ping 2>/dev/null && break
    kill -0 "$veltd_pid" 2>/dev/null || fail "veltd ended: $(cat "$work/veltd.log")"
    sleep 0.02
done
"$prefix/bin/veltctl" ping || fail "the installed veltctl gets no answer from the installed veltd"

# A client of the installed libraries; it writes argv[1] into the store.
cat >"$work/client.cpp" <<'EOF'
#include <velt++.h>
#include <velt_admin.h>
int main(int argc, char** argv) {
    toolkit::CVelt api;
    api.handle = vlt_init();
    toolkit::CElement value;
    value.set_uint32(9000);
    std::vector<api_status_t> statuses;
    if (argc != 2 || !api.is_initialized() || velt::admin::ping(api.handle) != 0) return 2;
    return api.set_leaves({argv[1]}, {value}, {VLT_UNSET}, statuses, "");
}
EOF
read -ra flags <<<"$cxx_flags"

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
read -ra pc <<<"$(pkg-config --cflags --libs velt++)"
quiet "$cxx" -std=c++20 "${flags[@]}" "$work/client.cpp" "${pc[@]}" \
    -Wl,-rpath,"$(pkg-config --variable=libdir velt++)" -o "$work/client-pc"
"$work/client-pc" /pkgconfig/mtu || fail "the client built with pkg-config"

mkdir "$work/cmake"
cat >"$work/cmake/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(client CXX)
find_package(Velt 1 REQUIRED)
add_executable(client ../client.cpp)
target_compile_features(client PRIVATE cxx_std_20)
target_link_libraries(client PRIVATE Velt::velt++)
EOF
quiet "$cmake" -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags"
quiet "$cmake" --build "$work/cmake/build"
"$work/cmake/build/client" /cmake/mtu || fail "the client built with find_package(Velt)"

for leaf in /pkgconfig/mtu /cmake/mtu; do
    [ "$("$prefix/bin/veltctl" get "$leaf")" = 9000 ] || fail "the clients' writes are not in the store"
done

for page in "${pages[@]}"; do
    mandoc -T lint "$prefix/$page" || fail "mandoc -T lint finds fault with $page"
done

# The package holds what the install holds, under /usr.
quiet "$cpack" -G DEB -B "$work/deb" --config "$build/CPackConfig.cmake"
debs=("$work"/deb/rorezuredi_*.deb)
[ -f "${debs[0]}" ] || fail "cpack wrote no rorezuredi_*.deb"
(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed.list"
dpkg-deb -c "${debs[0]}" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | sort >"$work/deb.list"
diff "$work/installed.list" "$work/deb.list" || fail "the .deb and the install hold different files"
depends=$(dpkg-deb -f "${debs[0]}" Depends)
wanted=(libexpat1)
[[ " ${programs[*]} " == *" rorezuredi-log "* ]] && wanted+=(libcairo2)
for dep in "${wanted[@]}"; do [[ $depends == *"$dep"* ]] || fail "the .deb does not depend on $dep: $depends"; done
echo "installed, ran, built two clients, linted ${#pages[@]} pages, packaged ${debs[0]##*/}"

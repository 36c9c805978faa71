#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, builds
# the third-party libraries for Windows into build/deps and gathers the licence
# texts of everything linked into the library and the tools. Safe to run
# again: it does only what is missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build/deps"
prefix="$deps/prefix"
triple=x86_64-w64-mingw32
# Named after the way the libraries are built: a new name rebuilds them.
stamp="$prefix/.complete-2"
# The libraries name their sources relative to the checkout, whatever its
# folder (pugixml's assert texts hold __FILE__), so that every checkout of a
# commit gives the same release archive.
map_paths="-ffile-prefix-map=$root=."

packages=(
    make cmake ninja-build python3 curl
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev libz-mingw-w64-dev
    wine wine64
    googletest dpkg-dev
    nginx-light tinyproxy-bin openssl
    llvm gdb pkg-config
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
    local p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
    done
}

install_packages() {
    local missing
    missing=$(missing_packages)
    [ -z "$missing" ] && return
    echo "bootstrap: installing $(echo $missing)"
    as_root apt-get update -qq
    # Servers among the packages (nginx, tinyproxy) are started by the tests and the
    # benchmarks on loopback ports of their own, never as system services:
    # Debian's policy hook keeps the packages from starting them.
    local policy=/usr/sbin/policy-rc.d
    local own_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
        as_root chmod 755 "$policy"
        own_policy=1
    fi
    local installed=0
    # shellcheck disable=SC2086
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        $missing || installed=$?
    if [ -n "$own_policy" ]; then
        as_root rm -f "$policy"
    fi
    return "$installed"
}

# Source packages need deb-src entries. They are derived from the machine's own
# entries for this release, so no archive address is written down here.
enable_source_packages() {
    local list=/etc/apt/sources.list.d/korvel-deb-src.sources
    [ -f "$list" ] && return
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    local tmp
    tmp=$(mktemp)
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # Keep deb822 stanzas of this release and turn them into source entries.
        awk -v codename="$codename" '
            BEGIN { RS = ""; ORS = "\n\n" }
            $0 ~ "Suites:[^\n]*" codename && $0 ~ /Types:[^\n]*deb/ {
                sub(/Types:[^\n]*/, "Types: deb-src"); print
            }' "$f" >>"$tmp"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        grep -E "^deb[[:space:]].*[[:space:]]$codename([[:space:]]|-)" "$f" |
            sed 's/^deb[[:space:]]/deb-src /' >>"${tmp}.list" || true
    done
    if [ -s "$tmp" ]; then
        as_root install -m 0644 "$tmp" "$list"
    fi
    if [ -s "${tmp}.list" ]; then
        as_root install -m 0644 "${tmp}.list" /etc/apt/sources.list.d/korvel-deb-src.list
    fi
    rm -f "$tmp" "${tmp}.list"
    as_root apt-get update -qq
}

# Fetches and unpacks a source package, trying each version the archives list
# (newest first) until one downloads: a mirror may lack the newest one.
fetch_source() {
    local package=$1
    local dir
    dir=$(find "$deps/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
    if [ -z "$dir" ]; then
        enable_source_packages
        local version
        for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -Vru); do
            (cd "$deps/src" && apt-get source -qq "$package=$version" >/dev/null 2>&1) && break
        done
        dir=$(find "$deps/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)
    fi
    [ -n "$dir" ] || { echo "bootstrap: cannot fetch the source package $package" >&2; exit 1; }
    echo "$dir"
}

build_pugixml() {
    local src
    src=$(fetch_source pugixml)
    local obj="$deps/obj/pugixml"
    mkdir -p "$obj" "$prefix/include" "$prefix/lib"
    $triple-g++-posix -std=c++17 -O2 "$map_paths" -DPUGIXML_WCHAR_MODE -c "$src/src/pugixml.cpp" -o "$obj/pugixml.o"
    rm -f "$prefix/lib/libpugixml.a"
    $triple-ar rcs "$prefix/lib/libpugixml.a" "$obj/pugixml.o"
    cp "$src/src/pugixml.hpp" "$src/src/pugiconfig.hpp" "$prefix/include/"
}

build_minizip() {
    local src
    src=$(fetch_source zlib)
    local mz="$src/contrib/minizip"
    local obj="$deps/obj/minizip"
    mkdir -p "$obj" "$prefix/include/minizip" "$prefix/lib"
    local unit
    for unit in ioapi iowin32 unzip zip; do
        $triple-gcc-posix -O2 "$map_paths" -Wno-unused -c "$mz/$unit.c" -o "$obj/$unit.o"
    done
    rm -f "$prefix/lib/libminizip.a"
    $triple-ar rcs "$prefix/lib/libminizip.a" "$obj"/*.o
    cp "$mz"/{ioapi.h,iowin32.h,unzip.h,zip.h} "$prefix/include/minizip/"
}

build_googletest() {
    local out="$deps/obj/googletest"
    # A fresh build folder: one copied from another checkout names that one.
    rm -rf "$out"
    cmake -S /usr/src/googletest -B "$out" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_CXX_FLAGS="$map_paths" \
        -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$out" >/dev/null
    cmake --install "$out" >/dev/null
}

# The licence texts that the release archive ships, one file per component
# compiled into korvel.dll or korvel-cli.exe: the third-party libraries from
# their source packages, the run time that the compiler links in statically
# from the Debian packages that install it.
collect_licenses() {
    local out="$prefix/licenses"
    mkdir -p "$out"
    local pugixml zlib
    pugixml=$(fetch_source pugixml)
    zlib=$(fetch_source zlib)
    cp "$pugixml/LICENSE.md" "$out/pugixml.txt"
    cp "$zlib/LICENSE" "$out/zlib.txt"
    cp "$zlib/contrib/minizip/MiniZip64_info.txt" "$out/minizip.txt"
    cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$out/mingw-w64-runtime.txt"
    # libstdc++ and libgcc: GPL 3 with the GCC Runtime Library Exception.
    cp /usr/share/doc/gcc-mingw-w64-base/copyright "$out/gcc-runtime.txt"
    cp /usr/share/common-licenses/GPL-3 "$out/GPL-3.txt"
}

main() {
    install_packages
    if [ ! -f "$stamp" ]; then
        mkdir -p "$deps/src"
        echo "bootstrap: building pugixml, minizip and GoogleTest for Windows"
        build_pugixml
        build_minizip
        build_googletest
        touch "$stamp"
    fi
    collect_licenses
}

main "$@"

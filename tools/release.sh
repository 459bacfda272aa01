#!/bin/bash
# Makes a release from this checkout, for one community's report server:
#   Tidemark-<version>-win64.zip       Tidemark.exe built for that server,
#                                      with the player's guides, licences,
#                                      changelog and SHA256SUMS
#   tidemark-server_<version>_amd64.deb   the server as a Debian package
#   SHA256SUMS                         of both, to publish beside them
# The version is the CMake project version (a tag at HEAD must agree). The
# builds go to build/release-windows and build/release-server; the zip is
# the same bytes for the same commit and server wherever it is built.
#
# usage: tools/release.sh --server URL [--out DIR]
#   URL   where players' Tidemark reaches the server: https://HOST[:PORT]
#         (or http:// for a test server), e.g. https://reports.example.org
#   DIR   where the artefacts go (default dist/)
# Environment: TIDEMARK_RELEASE_JOBS build jobs (default 2); SOURCE_DATE_EPOCH
# the time stamped on every file (default: HEAD's commit time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${TIDEMARK_RELEASE_JOBS:-2}

usage() { sed -n 's/^# usage: //p; s/^#   \(URL\|DIR\) /  \1 /p' "$0" >&2; exit 2; }
server= out=dist
while [ $# -gt 0 ]; do
    case $1 in
        --server) [ $# -ge 2 ] || usage; server=$2; shift 2 ;;
        --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
        -h|--help) usage ;;
        *) echo "release.sh: unknown argument $1" >&2; usage ;;
    esac
done
[ -n "$server" ] || { echo "release.sh: --server URL is needed" >&2; usage; }

# The client's request paths are fixed: the URL names scheme, host and port
# only.
if [[ ! $server =~ ^(https?)://([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:([0-9]{1,5}))?/?$ ]]; then
    echo "release.sh: --server $server: give https://HOST or https://HOST:PORT" \
         "(a host name or IPv4 address, no path)" >&2
    exit 2
fi
scheme=${BASH_REMATCH[1]} host=${BASH_REMATCH[2]} port=${BASH_REMATCH[5]}
tls=OFF
[ "$scheme" = https ] && tls=ON
if [ -z "$port" ]; then
    port=80
    [ "$tls" = ON ] && port=443
fi
if [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
    echo "release.sh: --server $server: the port must be 1 to 65535" >&2
    exit 2
fi
server=$scheme://$host
if { [ "$tls" = ON ] && [ "$port" != 443 ]; } || { [ "$tls" = OFF ] && [ "$port" != 80 ]; }; then
    server=$server:$port
fi

version=$(tools/release/version.sh "$root")
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "release.sh: warning: the checkout has uncommitted changes; this release is not any commit's" >&2
fi
# The commit's time stamps every file of both artefacts (SOURCE_DATE_EPOCH,
# when set, as the reproducible-builds convention has it).
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
mkdir -p "$out"
out=$(cd "$out" && pwd)
echo "release.sh: Tidemark $version for $server -> $out"

windows=$root/build/release-windows
cmake -S "$root" -B "$windows" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTIDEMARK_SERVER_HOST="$host" -DTIDEMARK_SERVER_PORT="$port" -DTIDEMARK_SERVER_TLS="$tls" \
    >"$root/build/release-windows.log" 2>&1 || { cat "$root/build/release-windows.log" >&2; exit 1; }
cmake --build "$windows" --target Tidemark -j "$jobs" >>"$root/build/release-windows.log" 2>&1 ||
    { tail -50 "$root/build/release-windows.log" >&2; exit 1; }
tools/release/windows-zip.sh "$windows/bin/Tidemark.exe" "$server" "$version" "$epoch" "$out"

# The package's server, with Debian's hardening flags, finds its data files
# where the package puts them.
serverbuild=$root/build/release-server
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$serverbuild" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTIDEMARK_SERVER_DATA_DIR=/usr/share/tidemark-server -DTIDEMARK_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    >"$root/build/release-server.log" 2>&1 || { cat "$root/build/release-server.log" >&2; exit 1; }
cmake --build "$serverbuild" --target tidemark-server -j "$jobs" >>"$root/build/release-server.log" 2>&1 ||
    { tail -50 "$root/build/release-server.log" >&2; exit 1; }
tools/release/debian-package.sh "$serverbuild/server/tidemark-server" "$version" "$epoch" "$out"

zip=Tidemark-$version-win64.zip deb=tidemark-server_${version}_amd64.deb
(cd "$out" && sha256sum "$zip" "$deb" >SHA256SUMS)
echo "release.sh: made $out/$zip, $out/$deb and $out/SHA256SUMS"

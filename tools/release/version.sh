#!/bin/bash
# Prints the release's version: the CMake project version, its only source.
# A checkout whose HEAD carries a tag v<something> must carry v<version>:
# a tag that says another version is refused (exit 1), since the release
# would then be published under a number its programs do not show. An
# untagged checkout is accepted.
# usage: version.sh [CHECKOUT]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
version=$(sed -n 's/^project(Tidemark VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$root/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "version.sh: no 'project(Tidemark VERSION x.y.z ...)' in $root/CMakeLists.txt" >&2
    exit 1
fi
tags=$(git -C "$root" tag --points-at HEAD --list 'v*' 2>/dev/null || true)
if [ -n "$tags" ] && ! grep -qx "v$version" <<<"$tags"; then
    echo "version.sh: HEAD is tagged $(echo $tags) but CMakeLists.txt says $version;" \
         "tag v$version, or set the project version to the tag's" >&2
    exit 1
fi
echo "$version"

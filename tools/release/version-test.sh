#!/bin/bash
# Checks version.sh on a throwaway repository: an untagged checkout and one
# tagged v<version> give the CMake version; a checkout whose tag at HEAD
# says another version is refused; a CMakeLists.txt without a version too.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(mktemp -d)
trap 'rm -rf "$repo"' EXIT
failures=0
expect() {  # DESCRIPTION EXPECTED_STATUS EXPECTED_OUTPUT
    local output status
    output=$("$here/version.sh" "$repo" 2>&1)
    status=$?
    if [ "$status" -eq "$2" ] && [[ $output == *"$3"* ]]; then
        echo "ok: $1"
    else
        echo "FAILED: $1 (exit $status: $output)"
        failures=$((failures + 1))
    fi
}
git() { command git -C "$repo" -c user.name=test -c user.email=test@invalid "$@" >/dev/null; }
git init -q
echo 'project(Tidemark VERSION 2.0.3 LANGUAGES C CXX)' >"$repo/CMakeLists.txt"
git add CMakeLists.txt
git commit -q -m one
expect "an untagged checkout gives the CMake version" 0 2.0.3
git tag v2.0.3
git tag build-17
expect "a checkout tagged v2.0.3 gives 2.0.3" 0 2.0.3
git tag -d v2.0.3
git tag v2.0.4
expect "a checkout tagged v2.0.4 with CMake at 2.0.3 is refused" 1 "HEAD is tagged v2.0.4 but CMakeLists.txt says 2.0.3"
git commit -q --allow-empty -m two
expect "a tag on an older commit does not count" 0 2.0.3
echo 'project(Tidemark LANGUAGES C CXX)' >"$repo/CMakeLists.txt"
expect "a CMakeLists.txt without a version is refused" 1 "no 'project(Tidemark VERSION"
echo "version check: $failures failed"
[ "$failures" -eq 0 ]

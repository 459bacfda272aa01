#!/bin/bash
# Packs the Windows release Tidemark-<version>-win64.zip from a built
# Tidemark.exe: the exe stripped, the player's guides in English and
# Japanese for that server, the licence, third-party notices, changelog and
# SHA256SUMS. The same exe, server, version and time give the same bytes.
# usage: windows-zip.sh EXE SERVER_URL VERSION EPOCH OUT_DIR
set -euo pipefail
[ $# -eq 5 ] || { sed -n 's/^# usage: //p' "$0" >&2; exit 2; }
exe=$1 server=$2 version=$3 epoch=$4 out=$5
root=$(cd "$(dirname "$0")/../.." && pwd)
name=Tidemark-$version-win64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
folder=$stage/$name
mkdir -p "$folder" "$out"

# strip writes a PE time stamp of its own: the current time, unless told.
SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-strip --strip-all -o "$folder/Tidemark.exe" "$exe"

# The guide's lines marked [https] or [http] hold for one kind of server.
case $server in
    https://*) keep=https drop=http ;;
    *) keep=http drop=https ;;
esac
guide() {  # SOURCE TARGET BOM
    printf '%b' "$3" >"$2"
    sed -e "/^\[$drop\]/d" -e "s/^\[$keep\]//" -e "s|@VERSION@|$version|g" -e "s|@SERVER@|$server|g" \
        -e 's/$/\r/' "$1" >>"$2"
}
guide "$root/packaging/windows/README.txt" "$folder/README.txt" ''
# Notepad of older Windows reads UTF-8 without a byte order mark as ANSI.
guide "$root/packaging/windows/README-ja.txt" "$folder/README-ja.txt" '\xEF\xBB\xBF'
for f in LICENSE THIRD-PARTY.md CHANGELOG.md; do
    sed -e 's/$/\r/' "$root/$f" >"$folder/$f"
done
(cd "$folder" && LC_ALL=C sha256sum $(LC_ALL=C ls) >SHA256SUMS)

python3 "$root/tools/release/make-zip.py" "$out/$name.zip" "$folder" "$epoch"

#!/bin/bash
# Packs the Debian package tidemark-server_<version>_amd64.deb from a built
# tidemark-server: the binary (stripped) in /usr/bin, the data files in
# /usr/share/tidemark-server, the example config as the conffile
# /etc/tidemark-server/server.conf, the hardened systemd unit, the
# maintainer scripts (system user, state folder), docs and manual page.
# A native package (its changelog is changelog.gz). Every file carries the
# given time, so the same binary gives the same bytes.
# usage: debian-package.sh SERVER_BINARY VERSION EPOCH OUT_DIR
set -euo pipefail
[ $# -eq 4 ] || { sed -n 's/^# usage: //p' "$0" >&2; exit 2; }
binary=$1 version=$2 epoch=$3 out=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
pkg=$root/packaging/debian
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
tree=$stage/tree
mkdir -p "$out"

install -d "$tree/DEBIAN" "$tree/usr/bin" "$tree/usr/share/tidemark-server" \
    "$tree/etc/tidemark-server" "$tree/lib/systemd/system" \
    "$tree/usr/share/doc/tidemark-server" "$tree/usr/share/man/man1"
install -m 0755 "$binary" "$tree/usr/bin/tidemark-server"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$tree/usr/bin/tidemark-server"
cp -r "$root/server/data/." "$tree/usr/share/tidemark-server/"
install -m 0644 "$root/server/tidemark-server.conf.example" "$tree/etc/tidemark-server/server.conf"
install -m 0644 "$root/server/tidemark-server.service" "$tree/lib/systemd/system/tidemark-server.service"
install -m 0755 "$pkg/postinst" "$pkg/prerm" "$pkg/postrm" "$tree/DEBIAN/"
echo /etc/tidemark-server/server.conf >"$tree/DEBIAN/conffiles"

doc=$tree/usr/share/doc/tidemark-server
install -m 0644 "$pkg/copyright" "$doc/copyright"
gzip -9n <"$root/server/README.md" >"$doc/README.md.gz"
gzip -9n <"$root/CHANGELOG.md" >"$doc/CHANGELOG.md.gz"
install -m 0644 "$root/THIRD-PARTY.md" "$doc/THIRD-PARTY.md"
{
    echo "tidemark-server ($version) unstable; urgency=medium"
    echo
    echo "  * Release $version; see CHANGELOG.md.gz."
    echo
    echo " -- Tidemark developers <tidemark@example.org>  $(LC_ALL=C date -u -R -d "@$epoch")"
} | gzip -9n >"$doc/changelog.gz"
sed "s/@VERSION@/$version/" "$pkg/tidemark-server.1" | gzip -9n >"$tree/usr/share/man/man1/tidemark-server.1.gz"

# The shared libraries' packages, as dpkg-shlibdeps finds them.
mkdir -p "$stage/debian"
printf 'Source: tidemark\n\nPackage: tidemark-server\nArchitecture: amd64\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O "tree/usr/bin/tidemark-server" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "debian-package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

cat >"$tree/DEBIAN/control" <<CONTROL
Package: tidemark-server
Version: $version
Architecture: amd64
Maintainer: Tidemark developers <tidemark@example.org>
Installed-Size: $(du -sk --exclude=DEBIAN "$tree" | cut -f1)
Depends: $depends, adduser
Section: net
Priority: optional
Description: report server for Tidemark, the game chat line reporter
 Serves the languages and pattern sets that Tidemark (a Windows program
 beside FINAL FANTASY XIV) asks for, stores the chat lines it reports in
 SQLite or PostgreSQL, and shows each player a page of their lines with a
 chart, downloads and erasure.
 .
 The package runs it as a hardened systemd service under its own system
 user; the TLS key and the database password reach it as systemd
 credentials.
CONTROL

(cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
    xargs -0 md5sum >DEBIAN/md5sums)
find "$tree" -type d -exec chmod 0755 {} +
find "$tree" -exec touch -h -d "@$epoch" {} +
SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group -Zxz --build "$tree" \
    "$out/tidemark-server_${version}_amd64.deb" >/dev/null

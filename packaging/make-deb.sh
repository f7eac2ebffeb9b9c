#!/bin/bash
# Makes the .deb from a configured and built Linux release tree:
#
#   packaging/make-deb.sh BUILD_DIR VERSION [ARCH [STRIP]]
#   -> BUILD_DIR/orvik-updater_VERSION_ARCH.deb
#
# (run by `cmake --build --preset linux-release --target package`, and for
# arm64 by the linux-arm64 preset's). ARCH is the Debian architecture the
# programs were built for (default: this machine's), STRIP that architecture's
# strip (default: strip).
#
# The tree is installed into BUILD_DIR/deb/debian/orvik-updater, then laid out as Debian
# policy asks: programs stripped as dh_strip does, manual pages and the
# changelog compressed with gzip -9n, files 0644, programs and folders 0755,
# every file owned by root and dated at the release's time
# (scripts/source-date-epoch.sh). dpkg-deb sorts the members and dates the
# archive headers with SOURCE_DATE_EPOCH, so the same tree gives the same
# bytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "$1" && pwd)
version=$2

SOURCE_DATE_EPOCH=$("$here/../scripts/source-date-epoch.sh")
export SOURCE_DATE_EPOCH
export LC_ALL=C.UTF-8
umask 022

arch=${3:-$(dpkg --print-architecture)}
strip=${4:-strip}
# dpkg-shlibdeps looks up the libraries of the package's architecture (their
# multiarch folder, their symbols files).
export DEB_HOST_ARCH=$arch
# The folder layout dpkg-shlibdeps expects of a package being built.
work=$build_dir/deb
root=$work/debian/orvik-updater
deb=$build_dir/orvik-updater_${version}_${arch}.deb
doc=usr/share/doc/orvik-updater

rm -rf "$work" "$deb"
DESTDIR=$root cmake --install "$build_dir" --prefix /usr >/dev/null
for page in orvik-updater orvik-updater-cli orvik-line; do
  [ -f "$root/usr/share/man/man1/$page.1" ] || { echo "make-deb: no manual page $page.1" >&2; exit 1; }
done

"$strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
  "$root/usr/bin/orvik-updater" "$root/usr/bin/orvik-updater-cli" "$root/usr/bin/orvik-line"
# The guides stay as they are: they link to each other (and to
# record-server.sql) by name.
gzip -9n "$root"/usr/share/man/man1/*.1 "$root/$doc/changelog"

find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
chmod 0755 "$root"/usr/bin/*

# Dependencies of the programs' shared libraries. dpkg-shlibdeps wants a
# source package's control file in the folder it runs in, and finds the
# package's root by its DEBIAN folder.
mkdir -m 0755 "$root/DEBIAN"
printf 'Source: orvik-updater\n\nPackage: orvik-updater\nArchitecture: any\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O debian/orvik-updater/usr/bin/orvik-updater debian/orvik-updater/usr/bin/orvik-updater-cli \
  debian/orvik-updater/usr/bin/orvik-line |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "make-deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

# As dpkg-gencontrol counts: each file in whole KiB, rounded up.
installed_size=$(find "$root/usr" -type f -printf '%s\n' | awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$installed_size/" \
  -e "s/@DEPENDS@/$depends/" "$here/debian/control.in" >"$root/DEBIAN/control"
install -m 0755 "$here/postinst" "$root/DEBIAN/postinst"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

find "$root" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"

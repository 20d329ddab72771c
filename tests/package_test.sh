#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it into a scratch root and runs the programs
# from there: the driver's --version and every tool's --help.
#   package_test.sh BUILD_DIR CPACK VERSION
# Exit 77 (skipped) without dpkg-deb or without a built driver.
set -euo pipefail
build_dir=$(cd "${1:?usage: package_test.sh BUILD_DIR CPACK VERSION}" && pwd)
cpack=${2:?usage: package_test.sh BUILD_DIR CPACK VERSION}
version=${3:?usage: package_test.sh BUILD_DIR CPACK VERSION}

command -v dpkg-deb >/dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }
[ -x "$build_dir/bin/drvtirval2000n" ] || {
  echo "skipped: $build_dir/bin/drvtirval2000n is not built (DRV_BUILD_UI=OFF?)"
  exit 77
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! (cd "$build_dir" && "$cpack" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G DEB failed"
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "built $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = drvtirval2000n ] || fail "package name"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no maintainer"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libqt6gui6 libqt6core6 libc6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
deb_version=$(dpkg-deb -f "$deb" Version)
[ "$deb_version" = "$version" ] || fail "package version $deb_version, project version $version"

root=$work/root
dpkg -x "$deb" "$root"
for file in \
  usr/bin/drvtirval2000n usr/bin/drvtirval-station usr/bin/drvtirval-server \
  usr/bin/drvtirval-decode usr/bin/drvtirval-spool \
  usr/share/applications/drvtirval2000n.desktop \
  usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example \
  usr/share/doc/drvtirval2000n/OPERATOR_GUIDE.md; do
  [ -e "$root/$file" ] || fail "$file is not in the package"
done
compgen -G "$root/usr/share/icons/hicolor/*/apps/drvtirval2000n.*" >/dev/null ||
  fail "no icon under usr/share/icons/hicolor"
grep -q '^Icon=drvtirval2000n$' "$root/usr/share/applications/drvtirval2000n.desktop" ||
  fail "the desktop entry names another icon"
grep -q '^Exec=.*drvtirval2000n' "$root/usr/share/applications/drvtirval2000n.desktop" ||
  fail "the desktop entry does not start the driver"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/drvtirval2000n.desktop"
fi
# The example settings file is Windows-1251, as the driver reads it.
iconv -f CP1251 -t UTF-8 "$root/usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example" |
  grep -q '^ComPort=' || fail "the example settings file is not Windows-1251 text with ComPort"

out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$root/usr/bin/drvtirval2000n" --version) ||
  fail "drvtirval2000n --version from the package"
[[ $out == *"$deb_version"* ]] || fail "drvtirval2000n --version printed '$out'"
echo "drvtirval2000n --version: $out"
for tool in "$root"/usr/bin/drvtirval-*; do
  help=$(timeout 30 "$tool" --help) || fail "$(basename "$tool") --help"
  [[ $help == *Usage:* ]] || fail "$(basename "$tool") --help printed no usage"
  echo "$(basename "$tool") --help: ok"
done
echo "package test passed"

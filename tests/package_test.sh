#!/usr/bin/env bash
# Builds the Debian package with cpack, unpacks it into a scratch root and runs the programs
# from there: the driver's --version and every tool's --help, and the launcher of the menu and
# logon entries with a stand-in driver. Checks the manual pages (gzipped,
# rendering without warnings), the copyright file against LICENSE, the changelog, the service
# (its unit verified by systemd-analyze, its user and directories, the maintainer scripts), and
# that lintian finds no error or warning but the overridden one.
#   package_test.sh BUILD_DIR CPACK VERSION
# Exit 77 (skipped) without dpkg-deb or without a built driver.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
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
  usr/libexec/drvtirval2000n/drvtirval2000n-start \
  usr/share/drvtirval2000n/autostart/drvtirval2000n.desktop \
  usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example \
  usr/share/doc/drvtirval2000n/OPERATOR_GUIDE.md \
  lib/systemd/system/drvtirval2000n@.service \
  usr/lib/sysusers.d/drvtirval2000n.conf usr/lib/tmpfiles.d/drvtirval2000n.conf; do
  [ -e "$root/$file" ] || fail "$file is not in the package"
done
compgen -G "$root/usr/share/icons/hicolor/*/apps/drvtirval2000n.*" >/dev/null ||
  fail "no icon under usr/share/icons/hicolor"
# The menu entry and the logon entry both start the driver through the launcher.
launcher=/usr/libexec/drvtirval2000n/drvtirval2000n-start
[ -x "$root$launcher" ] || fail "the launcher $launcher is not executable"
sh -n "$root$launcher" || fail "the launcher is no valid shell script"
for entry in usr/share/applications/drvtirval2000n.desktop \
  usr/share/drvtirval2000n/autostart/drvtirval2000n.desktop; do
  grep -q '^Icon=drvtirval2000n$' "$root/$entry" || fail "$entry names another icon"
  grep -qx "Exec=$launcher" "$root/$entry" || fail "$entry does not start the launcher"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/$entry" || fail "$entry is no valid desktop entry"
  fi
done

# The launcher, with the package's example and a stand-in driver that says where it runs: the
# first start prepares the folder, a later one keeps the settings that are there.
example=$root/usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example
sed "s|^example=/usr/|example=$root/usr/|" "$root$launcher" >"$work/launcher"
mkdir -p "$work/stand-in" "$work/home"
printf '#!/bin/sh\necho "$(pwd) $*" >"$HOME/driver-started"\n' >"$work/stand-in/drvtirval2000n"
chmod +x "$work/stand-in/drvtirval2000n"
run_launcher() { HOME=$work/home PATH="$work/stand-in:$PATH" sh "$work/launcher" "$@"; }
run_launcher --first || fail "the launcher failed on the first start"
folder=$work/home/drvtirval2000n
[ "$(cat "$work/home/driver-started")" = "$folder --first" ] ||
  fail "the launcher started: $(cat "$work/home/driver-started")"
cmp -s "$example" "$folder/drvtirval2000n.ini" || fail "the first start made no copy of the example"
spool=$(tr -d '\r' <"$example" | sed -n 's|^PathForSoob=\(.*\)/$|\1|p')
[ -n "$spool" ] || fail "the example names no spool folder"
[ -d "$folder/log" ] && [ -d "$folder/$spool" ] || fail "the first start made no log/ and $spool/"
printf '[main]\r\nComPort=COM3\r\n' >"$folder/drvtirval2000n.ini"
rmdir "$folder/$spool"
run_launcher || fail "the launcher failed on a later start"
[ "$(cat "$folder/drvtirval2000n.ini")" = $'[main]\r\nComPort=COM3\r' ] ||
  fail "a later start changed the settings file"
[ ! -e "$folder/$spool" ] || fail "a later start made a spool folder beside the settings' own"
echo "launcher: prepares the folder once, keeps the settings"
# The example settings file is Windows-1251, as the driver reads it.
# (Not through a pipe: with pipefail, grep -q ending at its first match can fail iconv.)
grep -q '^ComPort=' <(iconv -f CP1251 -t UTF-8 "$root/usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example") ||
  fail "the example settings file is not Windows-1251 text with ComPort"

# The service: the unit as systemd reads it, with the package's own program; the user and the
# directories it names are the ones the package makes; the maintainer scripts start nothing.
unit=$root/lib/systemd/system/drvtirval2000n@.service
command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed (systemd)"
# The host has not installed the package: the unit checked is the package's, with the program's
# path in the scratch root.
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/drvtirval2000n@station1.service"
if ! systemd-analyze verify --man=no "$work/drvtirval2000n@station1.service" \
  >"$work/verify.log" 2>&1 || [ -s "$work/verify.log" ]; then
  cat "$work/verify.log" >&2
  fail "systemd-analyze verify finds fault with the unit"
fi
grep -qx 'ExecStart=/usr/bin/drvtirval2000n --no-window' "$unit" || fail "the unit runs something else"
grep -qx 'User=drvtirval2000n' "$unit" || fail "the unit's user is not drvtirval2000n"
grep -qE '^u drvtirval2000n ' "$root/usr/lib/sysusers.d/drvtirval2000n.conf" ||
  fail "sysusers.d makes no user drvtirval2000n"
grep -qE '^d /var/lib/drvtirval2000n/health 0755 drvtirval2000n ' \
  "$root/usr/lib/tmpfiles.d/drvtirval2000n.conf" || fail "tmpfiles.d makes no health directory"
grep -qx 'ReadWritePaths=-/var/lib/drvtirval2000n/health' "$unit" ||
  fail "the unit may not write the health directory"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is no valid shell script"
  ! grep -qE 'systemctl (enable|start|restart)' "$work/control/$script" ||
    fail "$script enables or starts a service"
done
security=$(systemd-analyze security --offline=true \
  "$work/drvtirval2000n@station1.service" 2>&1 | sed -n 's/^→ Overall exposure level for [^:]*: //p')
echo "systemd-analyze security: $security"
[[ $security == *OK* ]] || fail "the unit's exposure is not rated OK: $security"

out=$(QT_QPA_PLATFORM=offscreen timeout 30 "$root/usr/bin/drvtirval2000n" --version) ||
  fail "drvtirval2000n --version from the package"
[[ $out == *"$deb_version"* ]] || fail "drvtirval2000n --version printed '$out'"
echo "drvtirval2000n --version: $out"
for tool in "$root"/usr/bin/drvtirval-*; do
  help=$(timeout 30 "$tool" --help) || fail "$(basename "$tool") --help"
  [[ $help == *Usage:* ]] || fail "$(basename "$tool") --help printed no usage"
  echo "$(basename "$tool") --help: ok"
done

doc=$root/usr/share/doc/drvtirval2000n
# Compressed files must not carry a name or a time in their gzip header (gzip -n), or two builds
# of the same source differ.
check_gzip() {
  gzip -t "$1" 2>/dev/null || fail "${1#"$root"/} is not a sound gzip file"
  local header
  header=$(od -An -tx1 -N8 "$1" | tr -d ' \n')
  [[ $header == 1f8b08* ]] || fail "${1#"$root"/} is not gzip data: $header"
  (((0x${header:6:2} & 0x08) == 0)) || fail "${1#"$root"/} has a file name in its gzip header"
  [ "${header:8:8}" = 00000000 ] || fail "${1#"$root"/} has a time stamp in its gzip header"
}

# Manual pages: one per program, gzipped, rendering in 80 columns without a warning, named in
# their NAME line, and with the sections --help alone cannot give.
man_sections=(
  "drvtirval2000n|SYNOPSIS|OPTIONS|ENVIRONMENT|EXIT STATUS|SIGNALS|FILES|SEE ALSO"
  "drvtirval-station|SYNOPSIS|Exit status:|EXAMPLES|SEE ALSO"
  "drvtirval-server|SYNOPSIS|OPTIONS|Exit status:|SEE ALSO"
  "drvtirval-decode|SYNOPSIS|OPTIONS|Exit status:|SEE ALSO"
  "drvtirval-spool|SYNOPSIS|OPTIONS|Exit status:|SEE ALSO"
)
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  page=$root/usr/share/man/man1/$name.1.gz
  [ -f "$page" ] || fail "usr/share/man/man1/$name.1.gz is not in the package"
  check_gzip "$page"
  text=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>"$work/man.err") ||
    fail "man -l $name.1.gz failed: $(cat "$work/man.err")"
  [ ! -s "$work/man.err" ] || fail "$name.1.gz renders with warnings: $(cat "$work/man.err")"
  width=$(LC_ALL=C.UTF-8 wc -L <<<"$text")
  ((width <= 80)) || fail "$name.1.gz renders $width columns wide in 80"
  grep -qE "^ +$name - [a-z]" <<<"$text" || fail "$name.1.gz has no NAME line '$name - ...'"
  [[ $text != *"manual page for"* ]] || fail "$name.1.gz keeps help2man's placeholder NAME"
  [[ $text == *"$deb_version"* ]] || fail "$name.1.gz does not name version $deb_version"
  known=0
  for entry in "${man_sections[@]}"; do
    IFS='|' read -r -a fields <<<"$entry"
    [ "${fields[0]}" = "$name" ] || continue
    known=1
    for section in "${fields[@]:1}"; do
      grep -qE "^ *$section\$" <<<"$text" || fail "$name.1.gz has no section '$section'"
    done
  done
  ((known)) || fail "no expected sections listed for $name"
  echo "man $name: ok"
done

# The copyright file: Debian's machine-readable format, the copyright line and the licence text
# of LICENSE.
copyright=$doc/copyright
[ -f "$copyright" ] || fail "usr/share/doc/drvtirval2000n/copyright is not in the package"
head -n 1 "$copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
holders=$(sed -n 's/^Copyright \(.*\)$/\1/p' "$source_dir/LICENSE")
grep -qx "Copyright: $holders" "$copyright" || fail "the copyright file lacks 'Copyright: $holders'"
grep -qx "License: MIT" "$copyright" || fail "the copyright file names no MIT licence"
# The standalone licence paragraph, its continuation lines unfolded, is LICENSE after the
# copyright line.
awk 'previous == "" && $0 == "License: MIT" { text = 1; previous = $0; next }
     text && /^ / { line = substr($0, 2); print (line == "." ? "" : line); next }
     { text = 0; previous = $0 }' "$copyright" >"$work/license"
sed -n '/^Copyright /,${/^Copyright /d;p}' "$source_dir/LICENSE" | sed '/./,$!d' >"$work/expected"
diff -u "$work/expected" "$work/license" >&2 || fail "the copyright file's licence text is not LICENSE's"

# The changelog: a Debian changelog whose one entry is this version, by the package's maintainer.
check_gzip "$doc/changelog.gz"
gzip -dc "$doc/changelog.gz" >"$work/changelog"
command -v dpkg-parsechangelog >/dev/null ||
  fail "dpkg-parsechangelog is not installed (dpkg-dev; scripts/setup installs it)"
for field in Source:drvtirval2000n "Version:$deb_version" \
  "Maintainer:$(dpkg-deb -f "$deb" Maintainer)"; do
  value=$(dpkg-parsechangelog -l "$work/changelog" -S "${field%%:*}")
  [ "$value" = "${field#*:}" ] || fail "changelog ${field%%:*} is '$value', not '${field#*:}'"
done
[ "$(dpkg-parsechangelog -l "$work/changelog" --count 2 -S Version | wc -l)" -eq 1 ] ||
  fail "the changelog has more than one entry"

# Lintian: no error or warning unless overridden, no binary without the hardening flags, and the
# one override (the Windows-1251 example) installed where lintian reads it and used.
[ -f "$root/usr/share/lintian/overrides/drvtirval2000n" ] ||
  fail "usr/share/lintian/overrides/drvtirval2000n is not in the package"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup installs it)"
lintian_status=0
lintian --fail-on none --display-info --show-overrides "$deb" >"$work/lintian.log" 2>&1 ||
  lintian_status=$?
lintian_fail() {
  cat "$work/lintian.log" >&2
  fail "$*"
}
((lintian_status == 0)) || lintian_fail "lintian did not run (status $lintian_status)"
! grep -E '^[EW]: ' "$work/lintian.log" >/dev/null || lintian_fail "lintian errors or warnings"
! grep -E '^I: .* hardening-no-' "$work/lintian.log" >/dev/null ||
  lintian_fail "binaries without hardening"
override='national-encoding [usr/share/doc/drvtirval2000n/drvtirval2000n.ini.example]'
grep -qxF "O: drvtirval2000n: $override" "$work/lintian.log" ||
  lintian_fail "the override of the Windows-1251 example was not used"
echo "lintian: only the overridden national-encoding of the example settings file"

echo "package test passed"

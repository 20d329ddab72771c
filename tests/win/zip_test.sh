#!/usr/bin/env bash
# Builds the Windows zip with cpack and checks it: one folder named for the version with the
# programs, the example settings file exactly as in the source (Windows-1251), the operator
# guide and the licence; programs that import no DLL but the system's; and the tools answering
# --version under Wine from the unpacked folder.
#   zip_test.sh BUILD_DIR CPACK VERSION OBJDUMP WINE_RUN
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(cd "$1" && pwd)
cpack=$2
version=$3
objdump=$4
run=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! (cd "$build_dir" && "$cpack" -G ZIP -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G ZIP failed"
fi
zip=$work/out/drvtirval2000n-$version-win64.zip
[ -f "$zip" ] || fail "no $(basename "$zip") in: $(ls "$work/out")"
echo "built $(basename "$zip")"
(cd "$work" && cmake -E tar xf "$zip")
folder=$work/drvtirval2000n-$version-win64
[ -d "$folder" ] || fail "the zip has no folder drvtirval2000n-$version-win64"

programs=(drvtirval-station drvtirval-server drvtirval-decode drvtirval-spool)
# The driver is in the zip whenever the build made it.
[ -f "$build_dir/bin/drvtirval2000n.exe" ] && programs+=(drvtirval2000n)
for file in "${programs[@]/%/.exe}" drvtirval2000n.ini.example OPERATOR_GUIDE.md LICENSE.txt; do
  [ -f "$folder/$file" ] || fail "$file is not in the zip"
done
cmp -s "$folder/drvtirval2000n.ini.example" "$source_dir/packaging/drvtirval2000n.ini.example" ||
  fail "the example settings file differs from packaging/drvtirval2000n.ini.example"
iconv -f CP1251 -t UTF-8 "$folder/drvtirval2000n.ini.example" | grep -q '^\[main\]' ||
  fail "the example settings file has no [main] section"

# Only DLLs that every Windows has: no C++ runtime, libgcc or winpthread beside the programs.
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|comctl32|comdlg32|ole32|oleaut32|uxtheme|winmm|ws2_32|version|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
for program in "${programs[@]}"; do
  dlls=$("$objdump" -p "$folder/$program.exe" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || fail "$program.exe imports nothing?"
  while read -r dll; do
    echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls" || fail "$program.exe needs $dll"
  done <<<"$dlls"
done
echo "imports: system DLLs only"

for program in drvtirval-station drvtirval-server drvtirval-decode drvtirval-spool; do
  out=$("$run" "$folder/$program.exe" --version | tr -d '\r')
  [ "$out" = "$program $version" ] || fail "$program --version said '$out'"
done
echo "zip ok"

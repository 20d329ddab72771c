#!/usr/bin/env bash
# Builds the Windows zip with cpack and checks it: the programs at its top (no folder of its
# own), the example settings file as in the source (Windows-1251) with CR LF line ends, the
# operator guide as an HTML page and the licence; programs that import no DLL but the system's;
# and the tools answering --version under Wine from the unpacked folder.
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
folder=$work/unpacked
mkdir "$folder"
(cd "$folder" && cmake -E tar xf "$zip")
[ -z "$(find "$folder" -mindepth 1 -type d)" ] || fail "the zip has folders: $(ls "$folder")"

programs=(drvtirval-station drvtirval-server drvtirval-decode drvtirval-spool)
# The driver is in the zip whenever the build made it.
[ -f "$build_dir/bin/drvtirval2000n.exe" ] && programs+=(drvtirval2000n)
for file in "${programs[@]/%/.exe}" drvtirval2000n.ini.example OPERATOR_GUIDE.html LICENSE.txt; do
  [ -f "$folder/$file" ] || fail "$file is not in the zip"
done
# Notepad of older Windows shows a text of LF line ends as one line.
for pair in drvtirval2000n.ini.example:packaging/drvtirval2000n.ini.example LICENSE.txt:LICENSE; do
  sed 's/$/\r/' "$source_dir/${pair#*:}" | cmp -s - "$folder/${pair%%:*}" ||
    fail "${pair%%:*} is not ${pair#*:} with CR LF line ends"
done
# Into files, not through pipes: with pipefail, a grep -q that ends at its first match can fail
# the writer before it.
iconv -f CP1251 -t UTF-8 "$folder/drvtirval2000n.ini.example" > "$work/example.utf8"
grep -q $'^\\[main\\]\r$' "$work/example.utf8" ||
  fail "the example settings file has no [main] section"
# Who opens it on a computer of another code page reads why the comments look garbled.
head -n 3 "$folder/drvtirval2000n.ini.example" > "$work/example.top"
LC_ALL=C grep -q '[^ -~'$'\r'']' "$work/example.top" &&
  fail "the example settings file does not start with ASCII lines"
grep -q 'Windows-1251' "$work/example.top" ||
  fail "the example settings file does not say at its top that it is Windows-1251"
grep -q '<meta charset="utf-8">' "$folder/OPERATOR_GUIDE.html" ||
  fail "OPERATOR_GUIDE.html does not say it is UTF-8"

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

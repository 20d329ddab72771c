# shellcheck shell=bash
# What the tests that run Windows programs under Wine share, sourced by them: a skip that becomes
# a failure when WINDOWS_E2E_REQUIRED is set, absolute paths, and a prefix of their own.

# Exit 77 (skipped), or 1 when the run requires the Windows tests.
skip() {
  if [ -n "${WINDOWS_E2E_REQUIRED:-}" ]; then
    echo "FAIL: $* (WINDOWS_E2E_REQUIRED is set)"
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}

# Wine takes only an absolute prefix; the programs are started from other directories.
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }

# Runs Wine in the prefix $1 (absolute), quietly, without the installer dialogs of Mono and
# Gecko, which nothing here needs; further DLL overrides may follow in $2.
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=${2:+;$2}"
}

# shellcheck shell=bash
# Window helpers of the end-to-end tests, sourced by them: finding windows on the virtual display
# by title, their titles as the window manager shows them, focus, and the taskbar's list.
# The sourcing script defines fail() and may set wait_tries (0.1 s each, 100 unless set) first.

# The titles are Cyrillic, and the programs started from here run in a UTF-8 locale, as in a
# desktop session. Under the C locale of a bare shell, Qt and Wine write the old WM_NAME property
# as bytes xdotool's search by name cannot match (_NET_WM_NAME, which window managers show, is
# right either way). Sourced before any program under test starts.
export LC_ALL=C.UTF-8

# Polls `$@` every 0.1 s until it succeeds; the bound guards against a hang and is no
# requirement on speed.
wait_until() {
  local tries=${wait_tries:-100}
  until "$@" > /dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

visible_window() { xdotool search --onlyvisible --name "^$1\$"; }
no_visible_window() { ! xdotool search --onlyvisible --name "^$1\$"; }
# The title the window manager shows. The search above may match the plain WM_NAME, which can
# differ from it.
net_wm_name() { xprop -id "$1" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'; }
expect_title() {
  local id shown
  id=$(visible_window "$1" | head -n 1)
  [ -n "$id" ] || fail "no window '$1'"
  shown=$(net_wm_name "$id")
  [ "$shown" = "$1" ] || fail "the window '$1' is titled '$shown'"
}

# Takes keyboard focus for the window named $1 and waits for it.
focus_window() {
  local id
  id=$(visible_window "$1" | head -n 1)
  [ -n "$id" ] || fail "no window '$1' to focus"
  xdotool windowactivate --sync "$id" > /dev/null 2>&1 || xdotool windowfocus --sync "$id"
}

# A window in the window manager's client list has a taskbar entry; a hidden one has none.
managed() { xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$1")\b"; }
unmanaged() { ! managed "$1"; }

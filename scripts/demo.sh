#!/usr/bin/env bash
# Shows the uninstaller at work in a throwaway Wine prefix: a stand-in
# screensaver (read-only and hidden) is scheduled for deletion, the box is
# photographed, the prefix is restarted, the file is gone, and a second run is
# silent. On $DISPLAY when there is one, else on a virtual display.
#
# Usage: demo.sh [--refuse] [--syswow64] [--screenshot PATH]
#   --refuse           lock the pending-deletions key first, to show the other box
#   --syswow64         put the stand-in where a 32-bit setup's copy lands on
#                      64-bit Windows, in SysWOW64, rather than in system32
#   --screenshot PATH  where to save the box (default build/demo/message-box.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

refuse=() folder=system32 screenshot="$root/build/demo/message-box.png"
while (($#)); do
  case "$1" in
    --refuse) refuse=(--refuse) ;;
    --syswow64) folder=SysWOW64 ;;
    --screenshot) screenshot=$(realpath -m "$2"); shift ;;
    *) echo "usage: $0 [--refuse] [--syswow64] [--screenshot PATH]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh demo
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
program="$root/build/windows/SorrelvaneUninstall.exe"
tool="$root/build/windows/tests/e2e/e2e_tool.exe"

E2E_STATE="$root/build/demo"
source tests/e2e/wine_session.sh
end_session
rm -rf "$E2E_STATE" && mkdir -p "$E2E_STATE"
trap end_session EXIT

own_display=no
if [[ -z "${DISPLAY:-}" ]]; then
  start_virtual_display
  use_virtual_display
  own_display=yes
fi
echo "== Making a throwaway prefix in $WINEPREFIX (display $DISPLAY)"
create_prefix
[[ $own_display == no ]] || use_wine_desktop 640x360

# One KEY=value line of a helper report in $E2E_STATE/REPORT.
report_field() { tr -d '\r' <"$E2E_STATE/$1" | sed -n "s/^$2=//p"; }

name="Sorrelvane Screensaver.scr"
# Wine keeps the folder in lower case; the program names it as Windows does.
target_unix="$WINEPREFIX/drive_c/windows/${folder,,}/$name"
target="C:\\windows\\$folder\\$name"
mkdir -p "$(dirname "$target_unix")"
printf 'a stand-in for the screensaver\n' >"$target_unix"
wine_to "$E2E_STATE/attrib.log" "$tool" set-attributes "$target" 3
wine_to "$E2E_STATE/attributes-before" "$tool" attributes "$target"
echo "== Stand-in placed: $target, attributes $(tr -d '\r' <"$E2E_STATE/attributes-before") (read-only, hidden)"

# The helper leaves the box up for a while: press OK yourself, or it will.
echo "== Running the uninstaller"
wine_to "$E2E_STATE/run" "$tool" run "${refuse[@]}" --linger 4000 "$(windows_path "$program")" &
runner=$!
for _ in $(seq 100); do
  grep -q '^box=' "$E2E_STATE/run" 2>/dev/null && break
  sleep 0.2
done
if grep -q '^box=yes' "$E2E_STATE/run"; then
  sleep 1
  mkdir -p "$(dirname "$screenshot")"
  if [[ $own_display == yes ]]; then
    import -window "Default - Wine desktop" "$screenshot"
  else
    import -frame -window "Uninstallation Completed" "$screenshot"
  fi
  echo "== Screenshot of the box: $screenshot"
fi
wait "$runner"
# The text comes as hex bytes; its CR LF is shown as " / ".
text=$(printf "$(report_field run text | sed 's/../\\x&/g')" | sed -z 's/\r\n/ \/ /g')
exit_status=$(report_field run exit)
echo "   box text: $text"
echo "   exit status: $exit_status"

wine_to "$E2E_STATE/attributes-after" "$tool" attributes "$target"
echo "== Attributes now: $(tr -d '\r' <"$E2E_STATE/attributes-after") (Wine shows a normal file as archive, 20)"
wine_to "$E2E_STATE/pending" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
  /v PendingFileRenameOperations || true
echo "== Pending deletion entry:"
tr -d '\r' <"$E2E_STATE/pending" | grep PendingFileRenameOperations || echo "   (none)"

echo "== Restarting the prefix (wineboot -r)"
wine_to "$E2E_STATE/restart.log" wineboot -r
if [[ -e "$target_unix" ]]; then gone=no; echo "   the stand-in is still there"; else gone=yes; echo "   the stand-in is gone"; fi

echo "== Running the uninstaller again"
wine_to "$E2E_STATE/rerun" "$tool" run "$(windows_path "$program")"
second_box=$(report_field rerun box)
second_exit=$(report_field rerun exit)
echo "   box: $second_box, exit status: $second_exit"

echo
echo "Summary: the stand-in was in $folder (the program looks in system32, then SysWOW64);"
echo "         first run showed the box and exited $exit_status; file removed at restart: $gone;"
echo "         second run box: $second_box, exit $second_exit. Screenshot: $screenshot"

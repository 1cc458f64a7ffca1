#!/usr/bin/env bash
# End-to-end scenarios of the real uninstaller under Wine.
# Usage: scenario.sh STATE_DIR TOOL_EXE UNINSTALLER_EXE setup|cleanup|SCENARIO
#
# "setup" makes the virtual display and the prefix once for the whole run,
# "cleanup" ends both; each scenario resets the prefix's state first, runs the
# uninstaller through the helper tool, and checks what a user and the system
# would see. Every failed check says what was expected and what came back.
set -uo pipefail

E2E_STATE=$1 TOOL=$2 PROGRAM=$3 STEP=$4
# shellcheck source=wine_session.sh
source "$(dirname "$0")/wine_session.sh"

NAME="Sorrelvane Screensaver.scr"
SESSION_MANAGER='HKLM\System\CurrentControlSet\Control\Session Manager'
SCHEDULED_TEXT="Uninstall completed.  $NAME  will be removed from your system the next time you reboot."
# The refusal names the folder where the copy was found, spelled as Windows does.
refused_text() { # system32|SysWOW64
  printf '%s' $'There was a problem uninstalling.\r\n'"To complete the uninstall manually, you should go into your Windows directory (C:\\WINDOWS\\$1) and delete the file $NAME"
}
DRIVE_C="$WINEPREFIX/drive_c"
TARGET_UNIX="$DRIVE_C/windows/system32/$NAME"
TARGET='C:\windows\system32\'"$NAME"
# Where a 32-bit setup's copy lands on 64-bit Windows, named as the program names it.
WOW_UNIX="$DRIVE_C/windows/syswow64/$NAME"
WOW_TARGET='C:\windows\SysWOW64\'"$NAME"
# The program is run from where the scenario says, by default where it was built.
PROGRAM_PATH=$(windows_path "$PROGRAM")
WORK="$E2E_STATE/$STEP"

failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
expect_eq() { # WHAT EXPECTED GOT
  [[ "$2" == "$3" ]] || fail "$1: expected [$2], got [$3]"
}
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

attributes() { # WINDOWS_PATH -> hex attributes or "missing"
  wine_to "$WORK/attributes" "$TOOL" attributes "$1"
  tr -d '\r' <"$WORK/attributes"
}
set_attributes() { wine_to "$WORK/set-attributes" "$TOOL" set-attributes "$1" "$2"; }
# The read-only, hidden and system bits alone: Wine reports a normal file as archive.
settable_bits() { local a; a=$(attributes "$1"); [[ $a == missing ]] && echo missing || printf '%x' $((0x$a & 0x7)); }

# The PendingFileRenameOperations value as Wine's reg prints it, "" when there is none.
pending_value() {
  wine_to "$WORK/pending" reg query "$SESSION_MANAGER" /v PendingFileRenameOperations
  tr -d '\r' <"$WORK/pending" | sed -n 's/^ *PendingFileRenameOperations *REG_MULTI_SZ *//p'
}
# A deletion request is its source followed by an empty destination.
deletion_entries() { # NT_PATHS...
  local entry joined=""
  for entry in "$@"; do joined+="${joined:+\\0}$entry\\0"; done
  printf '%s' "$joined"
}

drive_listing() { # everything on C: but the target, with type, size and mode
  (cd "$DRIVE_C" && find . -path "./windows/system32/$NAME" -prune -o -printf '%p %y %s %m\n' | sort)
}

# Runs the uninstaller through the helper with Wine's file trace on, and keeps
# the report in RUN[...] and the uninstaller's own file calls in CALLS.
declare -A RUN
CALLS=""
run_uninstaller() { # [TOOL OPTIONS...] [-- ARGS...]
  local options=() arguments=()
  while (($#)); do
    if [[ $1 == -- ]]; then shift; arguments=("$@"); break; fi
    options+=("$1"); shift
  done
  WINEDEBUG=-all,trace+file wine_to "$WORK/run" "$TOOL" run "${options[@]}" "$PROGRAM_PATH" "${arguments[@]}"
  RUN=()
  local key value
  while IFS='=' read -r key value; do RUN[$key]=$value; done < <(tr -d '\r' <"$WORK/run")
  if [[ -n "${RUN[error]:-}" ]]; then fail "the helper could not run the scenario: ${RUN[error]}"; fi
  CALLS=$(grep -E '^[0-9a-f]+:trace:file:(CreateFileW|SetFileAttributesW|MoveFileWithProgressW) ' "$WORK/run.err" |
    grep -v "^${RUN[tool_thread]:-none}:" | grep -F "$NAME" | sed -E 's/^[0-9a-f]+:trace:file://; s/ +$//')
}

# The calls a run makes, as Wine's trace shows them: the probe of each PATH
# in turn, then the reset and the request on the last one.
expected_calls() { # PATH...
  local path p
  for path in "$@"; do
    p=${path//\\/\\\\}
    printf 'CreateFileW L"%s" GENERIC_READ FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x80\n' "$p"
  done
  printf '%s\n%s' "SetFileAttributesW L\"$p\" 80" \
    "MoveFileWithProgressW (L\"$p\",(null),0000000000000000,0000000000000000,0004)"
}
# The probes alone, for runs that find nothing.
expected_probes() { expected_calls "$@" | head -n "$#"; }

expect_box() { # TEXT
  expect_eq "message box shown" yes "${RUN[box]:-}"
  expect_eq "caption bytes" "$(hex "Uninstallation Completed")" "${RUN[caption]:-}"
  expect_eq "text bytes" "$(hex "$1")" "${RUN[text]:-}"
  expect_eq "buttons" OK "${RUN[buttons]:-}"
  expect_eq "icon" no "${RUN[icon]:-}"
  expect_eq "program still running while its box is up" yes "${RUN[running_with_box]:-}"
  expect_eq "exit status" 0 "${RUN[exit]:-}"
}

expect_silent() {
  expect_eq "message box shown" no "${RUN[box]:-}"
  expect_eq "exit status" 0 "${RUN[exit]:-}"
  ((${RUN[ms]:-99999} < 5000)) || fail "a silent run should end promptly, took ${RUN[ms]:-?} ms"
}

# Puts a stand-in screensaver at UNIX_PATH (made with its folders) with the
# read-only, hidden and system marks set.
place_screensaver() { # UNIX_PATH WINDOWS_PATH
  mkdir -p "$(dirname "$1")"
  printf 'stand-in screensaver\n' >"$1"
  set_attributes "$2" 7
  expect_eq "marks set on the stand-in" 7 "$(settable_bits "$2")"
}

# Back to a clean boot state: no screensaver, no other roots, no pending entry.
reset_state() {
  rm -rf "$WORK" && mkdir -p "$WORK"
  rm -rf "$TARGET_UNIX" "$WOW_UNIX" "$DRIVE_C/system32" "$DRIVE_C"/root-* "$DRIVE_C/Downloads"
  wine_to "$WORK/reset" reg delete "$SESSION_MANAGER" /v PendingFileRenameOperations /f
  expect_eq "pending deletions before the scenario" "" "$(pending_value)"
}

scheduled_run_on_marked_file() { # [-- ARGS...]: the checks shared by a plain run and one with arguments
  place_screensaver "$TARGET_UNIX" "$TARGET"
  local before
  before=$(drive_listing)
  run_uninstaller "$@"
  expect_box "$SCHEDULED_TEXT"
  expect_eq "calls on the target" "$(expected_calls "$TARGET")" "$CALLS"
  expect_eq "read-only, hidden and system after the run" 0 "$(settable_bits "$TARGET")"
  expect_eq "pending deletions" "$(deletion_entries '\??\'"$TARGET")" "$(pending_value)"
  [[ -f "$TARGET_UNIX" ]] || fail "the screensaver should stay in place until the restart"
  expect_eq "everything else on C:" "$before" "$(drive_listing)"
}

# A run with SystemRoot set to VALUE (from the launcher's environment block)
# that should find and schedule the stand-in at WINDOWS_PATH.
scheduled_run_with_root() { # VALUE UNIX_PATH WINDOWS_PATH NT_PATH
  place_screensaver "$2" "$3"
  run_uninstaller --root "$1"
  expect_box "$SCHEDULED_TEXT"
  expect_eq "calls on the target" "$(expected_calls "$1\\system32\\$NAME")" "$CALLS"
  expect_eq "pending deletions" "$(deletion_entries "$4")" "$(pending_value)"
}

# A copy of the program in a downloads folder where a DLL named like one that
# showing a box loads was left, beside a copy of the helper named CONTROL, and
# Wine told to prefer such a DLL where it finds one, as Windows does with any
# that is not a KnownDLL.
PLANTED_MARKER="$DRIVE_C/Downloads/planted-dll-ran.txt"
plant_beside_downloaded_copy() { # CONTROL
  mkdir -p "$DRIVE_C/Downloads"
  cp "$PROGRAM" "$DRIVE_C/Downloads/SorrelvaneUninstall.exe"
  cp "$TOOL" "$DRIVE_C/Downloads/$1"
  cp "$PLANTED_DLL" "$DRIVE_C/Downloads/uxtheme.dll"
  place_screensaver "$TARGET_UNIX" "$TARGET"
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;uxtheme=n,b"
}
expect_planted_dll_left_alone_by_the_uninstaller() {
  PROGRAM_PATH='C:\Downloads\SorrelvaneUninstall.exe' run_uninstaller
  expect_box "$SCHEDULED_TEXT"
  [[ ! -e "$PLANTED_MARKER" ]] || fail "the planted DLL ran inside the uninstaller: $(cat "$PLANTED_MARKER")"
}
expect_planted_dll_to_run_in() { # CONTROL COMMAND
  PROGRAM_PATH="C:\\Downloads\\$1" run_uninstaller -- "$2"
  expect_eq "the control's box shown" yes "${RUN[box]:-}"
  [[ -e "$PLANTED_MARKER" ]] || fail "the planted DLL should have run inside $1, the control"
}

scenario() {
  case "$STEP" in
    scheduled_clears_marks_and_records_deletion)
      scheduled_run_on_marked_file
      ;;
    restart_removes_file_and_next_run_is_silent)
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller
      expect_box "$SCHEDULED_TEXT"
      wine_to "$WORK/restart" wineboot -r
      [[ ! -e "$TARGET_UNIX" ]] || fail "the screensaver should be gone after the restart"
      expect_eq "pending deletions after the restart" "" "$(pending_value)"
      run_uninstaller
      expect_silent
      expect_eq "calls after the restart" "$(expected_probes "$TARGET" "$WOW_TARGET")" "$CALLS"
      ;;
    second_run_before_restart_requests_again)
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller
      expect_box "$SCHEDULED_TEXT"
      run_uninstaller
      expect_box "$SCHEDULED_TEXT"
      expect_eq "pending deletions" "$(deletion_entries '\??\'"$TARGET" '\??\'"$TARGET")" "$(pending_value)"
      [[ -f "$TARGET_UNIX" ]] || fail "the screensaver should stay in place until the restart"
      ;;
    missing_file_is_silent)
      local before
      before=$(drive_listing)
      run_uninstaller
      expect_silent
      expect_eq "probes of both folders" "$(expected_probes "$TARGET" "$WOW_TARGET")" "$CALLS"
      expect_eq "pending deletions" "" "$(pending_value)"
      expect_eq "everything on C:" "$before" "$(drive_listing)"
      [[ ! -e "$TARGET_UNIX" && ! -e "$WOW_UNIX" ]] || fail "no screensaver should have been made"
      ;;
    file_held_without_sharing_is_silent)
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller --hold "$TARGET"
      expect_silent
      expect_eq "read-only, hidden and system after the run" 7 "$(settable_bits "$TARGET")"
      expect_eq "pending deletions" "" "$(pending_value)"
      ;;
    directory_with_the_name_is_silent)
      mkdir -p "$TARGET_UNIX/inside"
      run_uninstaller
      expect_silent
      [[ -d "$TARGET_UNIX/inside" ]] || fail "the directory should be left as it was"
      expect_eq "pending deletions" "" "$(pending_value)"
      ;;
    command_line_arguments_change_nothing)
      scheduled_run_on_marked_file -- /s /c '"C:\Program Files\x.scr"' --force
      ;;
    root_with_trailing_backslash_keeps_both)
      scheduled_run_with_root 'C:\root-a\' "$DRIVE_C/root-a/system32/$NAME" \
        'C:\root-a\system32\'"$NAME" '\??\C:\root-a\system32\'"$NAME"
      ;;
    empty_root_uses_system32_at_drive_root)
      scheduled_run_with_root '' "$DRIVE_C/system32/$NAME" '\system32\'"$NAME" '\??\C:\system32\'"$NAME"
      ;;
    root_of_223_bytes_is_probed_whole)
      local folder="root-$(printf 'x%.0s' {1..215})"
      local value="C:\\$folder"
      expect_eq "length of the value" 223 "${#value}"
      scheduled_run_with_root "$value" "$DRIVE_C/$folder/system32/$NAME" \
        "$value\\system32\\$NAME" '\??\'"$value\\system32\\$NAME"
      ;;
    root_of_224_bytes_touches_nothing)
      local folder="root-$(printf 'x%.0s' {1..216})"
      local value="C:\\$folder"
      expect_eq "length of the value" 224 "${#value}"
      # The whole path and the one a cut at 259 bytes would give both exist.
      place_screensaver "$DRIVE_C/$folder/system32/$NAME" "$value\\system32\\$NAME"
      place_screensaver "$DRIVE_C/$folder/system32/${NAME%?}" "$value\\system32\\${NAME%?}"
      run_uninstaller --root "$value"
      expect_silent
      expect_eq "calls on any screensaver path" "" "$CALLS"
      expect_eq "marks on the whole path" 7 "$(settable_bits "$value\\system32\\$NAME")"
      expect_eq "marks on the cut path" 7 "$(settable_bits "$value\\system32\\${NAME%?}")"
      expect_eq "pending deletions" "" "$(pending_value)"
      ;;
    refused_request_reports_how_to_delete_by_hand)
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller --refuse
      expect_box "$(refused_text system32)"
      expect_eq "calls on the target" "$(expected_calls "$TARGET")" "$CALLS"
      expect_eq "read-only, hidden and system after the run" 0 "$(settable_bits "$TARGET")"
      expect_eq "pending deletions" "" "$(pending_value)"
      [[ -f "$TARGET_UNIX" ]] || fail "the screensaver should still be there"
      ;;
    syswow64_copy_alone_is_scheduled_and_removed_at_restart)
      place_screensaver "$WOW_UNIX" "$WOW_TARGET"
      run_uninstaller
      expect_box "$SCHEDULED_TEXT"
      expect_eq "calls" "$(expected_calls "$TARGET" "$WOW_TARGET")" "$CALLS"
      expect_eq "read-only, hidden and system after the run" 0 "$(settable_bits "$WOW_TARGET")"
      expect_eq "pending deletions" "$(deletion_entries '\??\'"$WOW_TARGET")" "$(pending_value)"
      [[ -f "$WOW_UNIX" ]] || fail "the screensaver should stay in place until the restart"
      wine_to "$WORK/restart" wineboot -r
      [[ ! -e "$WOW_UNIX" ]] || fail "the SysWOW64 screensaver should be gone after the restart"
      ;;
    copies_in_both_folders_schedule_only_system32)
      place_screensaver "$TARGET_UNIX" "$TARGET"
      place_screensaver "$WOW_UNIX" "$WOW_TARGET"
      run_uninstaller
      expect_box "$SCHEDULED_TEXT"
      expect_eq "calls" "$(expected_calls "$TARGET")" "$CALLS"
      expect_eq "marks on the system32 copy" 0 "$(settable_bits "$TARGET")"
      expect_eq "marks on the SysWOW64 copy" 7 "$(settable_bits "$WOW_TARGET")"
      expect_eq "pending deletions" "$(deletion_entries '\??\'"$TARGET")" "$(pending_value)"
      ;;
    syswow64_copy_refused_reports_how_to_delete_by_hand)
      place_screensaver "$WOW_UNIX" "$WOW_TARGET"
      run_uninstaller --refuse
      expect_box "$(refused_text SysWOW64)"
      expect_eq "calls" "$(expected_calls "$TARGET" "$WOW_TARGET")" "$CALLS"
      expect_eq "read-only, hidden and system after the run" 0 "$(settable_bits "$WOW_TARGET")"
      expect_eq "pending deletions" "" "$(pending_value)"
      [[ -f "$WOW_UNIX" ]] || fail "the screensaver should still be there"
      ;;
    planted_dll_does_not_run_in_the_uninstaller)
      plant_beside_downloaded_copy plain-box.exe
      expect_planted_dll_left_alone_by_the_uninstaller
      # The control: a plain program's box beside it loads the planted DLL, so
      # the scenario does plant one.
      expect_planted_dll_to_run_in plain-box.exe show-box
      ;;
    planted_manifest_is_ignored)
      # A manifest beside a program that has none of its own is read, and one
      # that lists the DLL as the program's own sends the loader to the folder
      # before any search order applies.
      plant_beside_downloaded_copy guarded-box.exe
      local name
      for name in SorrelvaneUninstall guarded-box; do
        printf '%s\n' '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>' \
          '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">' \
          '  <assemblyIdentity type="win32" name="Downloaded.App" version="1.0.0.0" processorArchitecture="amd64"/>' \
          '  <file name="uxtheme.dll"/>' '</assembly>' >"$DRIVE_C/Downloads/$name.exe.manifest"
      done
      expect_planted_dll_left_alone_by_the_uninstaller
      # The control: the same DLL-search guard without a manifest of its own
      # loads the planted DLL through the planted manifest.
      expect_planted_dll_to_run_in guarded-box.exe guarded-box
      ;;
    manifest_requests_administrator_rights)
      # As the system's own manifest reader sees it; Wine gives every process a
      # full administrator token, so the consent prompt itself never shows here.
      wine_to "$WORK/run-level" "$TOOL" run-level "$PROGRAM_PATH"
      expect_eq "run level and uiAccess read from the program" \
        $'run_level=3\nui_access=0' "$(tr -d '\r' <"$WORK/run-level")"
      ;;
    manifest_declares_dpi_awareness_and_no_dependent_assembly)
      # Each setting from the namespace Windows reads it in; the context holds
      # the program's own assembly alone, so no .exe.local folder is honoured.
      wine_to "$WORK/dpi-settings" "$TOOL" dpi-settings "$PROGRAM_PATH"
      expect_eq "DPI settings and assemblies read from the program" \
        $'dpi_aware=true\ndpi_awareness=PerMonitorV2, System\nassemblies=1' "$(tr -d '\r' <"$WORK/dpi-settings")"
      ;;
    hidden_window_station_ends_without_a_box)
      # As under a deployment tool running it as SYSTEM in session 0. The
      # controls: a program started there sees its station without WSF_VISIBLE
      # (1), and the helper does find a box shown there.
      PROGRAM_PATH=$(windows_path "$TOOL") run_uninstaller --hidden-station -- station-flags
      expect_eq "window station flags that a program started there sees" 0 "${RUN[exit]:-}"
      PROGRAM_PATH=$(windows_path "$TOOL") run_uninstaller --hidden-station -- show-box
      expect_eq "the control's box found there" yes "${RUN[box]:-}"
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller --hidden-station
      expect_silent
      expect_eq "calls on the target" "$(expected_calls "$TARGET")" "$CALLS"
      expect_eq "read-only, hidden and system after the run" 0 "$(settable_bits "$TARGET")"
      expect_eq "pending deletions" "$(deletion_entries '\??\'"$TARGET")" "$(pending_value)"
      ;;
    stack_walk_reaches_the_thread_start)
      # What a debugger, a crash dump or Windows Error Reporting reads of the
      # program while its box is up: a walk through its frames, by their
      # unwind data, to the thread's start.
      place_screensaver "$TARGET_UNIX" "$TARGET"
      run_uninstaller --walk-stack
      expect_box "$SCHEDULED_TEXT"
      tr -d '\r' <"$WORK/run" | sed -n 's/^frame=/  frame: /p'
      ((${RUN[program_frames]:-0} >= 1)) || fail "the walk should pass the program's frames, passed ${RUN[program_frames]:-none}"
      [[ ${RUN[thread_start]:-} == BaseThreadInitThunk || ${RUN[thread_start]:-} == RtlUserThreadStart ]] ||
        fail "the walk should reach the thread's start right after the program's frames, got ${RUN[thread_start]:-nothing}"
      ;;
    *)
      fail "unknown scenario '$STEP'"
      ;;
  esac
}

case "$STEP" in
  setup)
    end_session
    rm -rf "$E2E_STATE" && mkdir -p "$E2E_STATE"
    start_virtual_display && use_virtual_display && create_prefix && use_wine_desktop 800x600 || { end_session; exit 1; }
    # A 64-bit Windows has it; a prefix of a Wine without 32-bit support may not.
    mkdir -p "$(dirname "$WOW_UNIX")"
    echo "prefix ready at $WINEPREFIX on display $DISPLAY"
    ;;
  cleanup)
    end_session
    ;;
  *)
    use_virtual_display || exit 1
    reset_state
    scenario
    if ((failures > 0)); then
      echo "$STEP: $failures check(s) failed; files in $WORK"
      exit 1
    fi
    echo "ok: $STEP"
    ;;
esac

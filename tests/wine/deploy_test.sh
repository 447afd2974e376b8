#!/usr/bin/env bash
# The fleet wrappers under Wine: deploy/install.cmd (through cmd) copies the
# patch folder to %ProgramData%, runs qlpatch.exe there and ends with its
# exit code; deploy/detect.vbs (through cscript) writes one line and exits 0
# only once the patch is applied, and otherwise writes nothing and exits 0;
# deploy/uninstall.cmd undoes the patch there and ends with the tool's code.
# Also the guide's way of running the tool by hand.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"
source_dir=$(cd "$here/../.." && pwd)

PACKAGE="$WT_C/package"                # the package content, as a fleet tool unpacks it
TARGET="$WT_C/ProgramData/QlPatch03"   # where install.cmd puts it
INSTALL="$WT_C/Qorlink"
CMD='C:\windows\system32\cmd.exe'
CSCRIPT='C:\windows\system32\cscript.exe'
DETECTED_LINE=$'Qorlink patch QlPatch03 is applied\r'

# A product 4.20 build 0137 with two modules and both services running, and
# the package for patch 03: tool, description, new modules and the wrappers.
fresh_machine() {
  local module
  rm -rf "$PACKAGE" "$INSTALL" "$TARGET" "$TARGET.old"
  mkdir -p "$INSTALL"
  wt_set_install 4.20 0137 'C:\Qorlink'
  wt_write_description "$PACKAGE" 4.20 0137 03 core.dll profiles.dll
  for module in core.dll profiles.dll; do
    printf 'old %s' "$module" >"$INSTALL/$module"
    printf 'new %s' "$module" >"$PACKAGE/$module"
  done
  cp "$WT_BIN/qlpatch.exe" "$PACKAGE/qlpatch.exe"
  cp "$source_dir/deploy/install.cmd" "$source_dir/deploy/uninstall.cmd" "$source_dir/deploy/detect.vbs" "$PACKAGE/"
  wt_register_service QlSvc stop-now
  wt_register_service QlProfileSvc stop-now
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}

install() {  # the fleet tool's install command, from a folder of its own
  wt_run_program "$WT_C" "$CMD" /c 'C:\package\install.cmd'
}

uninstall() {  # its uninstall command
  wt_run_program "$WT_C" "$CMD" /c 'C:\package\uninstall.cmd'
}

# detect NAME [detected]: runs detect.vbs from the package (the fleet tool
# keeps it apart from the package content; it only needs to be somewhere)
# and checks exit 0 with exactly the detected line, or with no output.
detect() {
  wt_run_program "$WT_C" "$CSCRIPT" //nologo 'C:\package\detect.vbs'
  wt_check_exit "$1: detect.vbs" 0
  if [ "${2:-}" = detected ]; then
    wt_check "$1: detect.vbs writes the detected line" "$DETECTED_LINE" "$(cat "$WT_OUTPUT_FILE")"
  else
    wt_check_silent "$1: detect.vbs, not detected"
  fi
}

modules() { printf '%s|%s' "$(cat "$INSTALL/core.dll")" "$(cat "$INSTALL/profiles.dll")"; }
log_has() { tr -d '\r' <"$TARGET/install.log" | grep -qx "$1" && echo yes || echo no; }

echo "# before any install"
fresh_machine
detect "no folder in ProgramData"

echo "# installed product of another version"
wt_set_install 4.10 0137 'C:\Qorlink'
install
wt_check_exit "version mismatch: install.cmd passes qlpatch's code" 4
wt_check_silent "version mismatch: install.cmd"
wt_check "version mismatch: modules untouched" "old core.dll|old profiles.dll" "$(modules)"
wt_check "version mismatch: the tool's lines in install.log" yes "$(log_has 'QL version unmatch!')"
for file in qlpatch.exe patchql58302.dat core.dll profiles.dll; do
  wt_check_file "version mismatch: $file copied to ProgramData" "$TARGET/$file" "$PACKAGE/$file"
done
detect "folder there, product of another version (4)"
wt_set_install 4.20 0137 'C:\Qorlink'
detect "folder there, patch not applied yet (17)"

echo "# install"
printf 'left from an earlier install' >"$TARGET/stale.dll"
install
wt_check_exit "apply: install.cmd passes qlpatch's code" 0
wt_check "apply: modules replaced" "new core.dll|new profiles.dll" "$(modules)"
wt_check "apply: services running again" "$RUNNING $RUNNING" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"
wt_check "apply: the tool's lines in install.log" yes "$(log_has 'Update patch succeed!!')"
wt_check "apply: the earlier folder is replaced, not merged" absent \
  "$([ -e "$TARGET/stale.dll" ] || [ -e "$TARGET.old" ] && echo present || echo absent)"
detect "after the apply" detected

echo "# installed again"
install
wt_check_exit "already applied: install.cmd passes qlpatch's code" 19
wt_check "already applied: the tool's lines in install.log" yes "$(log_has 'Patch is latest!')"
detect "after installing again" detected

echo "# uninstall"
uninstall
wt_check_exit "undo: uninstall.cmd passes qlpatch's code" 0
wt_check_silent "undo: uninstall.cmd"
wt_check "undo: the originals back" "old core.dll|old profiles.dll" "$(modules)"
wt_check "undo: services running again" "$RUNNING $RUNNING" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"
detect "after the undo"
uninstall
wt_check_exit "undo again: not applied (16)" 16
install
wt_check_exit "install after the undo" 0
detect "installed after the undo" detected

echo "# the folder removed again"
rm -rf "$TARGET"
detect "folder removed after the apply"

uninstall
wt_check_exit "undo without the folder: uninstall.cmd fails on its own" 1603
wt_check "undo without the folder: modules untouched" "new core.dll|new profiles.dll" "$(modules)"

echo "# a package without its description file"
fresh_machine
rm "$PACKAGE/patchql58302.dat"
install
wt_check_exit "no description in the package: install.cmd fails on its own" 1603
wt_check "no description in the package: nothing copied" absent \
  "$([ -e "$TARGET" ] && echo present || echo absent)"
wt_check "no description in the package: modules untouched" "old core.dll|old profiles.dll" "$(modules)"

echo "# running it by hand, as the guide says"
fresh_machine
# The batch file the guide gives, taken from the guide itself.
sed -n '/<!-- tested: run-qlpatch.cmd -->/,/^```$/p' "$source_dir/docs/deploying.md" | sed '1,2d;$d' |
  sed 's/$/\r/' >"$PACKAGE/run-qlpatch.cmd"
grep -q 'qlpatch.exe' "$PACKAGE/run-qlpatch.cmd" || wt_fail "the guide's run-qlpatch.cmd block is missing"
wt_set_install 4.10 0137 'C:\Qorlink'
wt_run_program "$WT_C" "$CMD" /c 'C:\package\run-qlpatch.cmd'
wt_check_exit "by hand, batch file: exit code kept" 4
wt_check "by hand, batch file: the tool's lines and its exit code shown" \
  "QL version unmatch!|Press any key to exit.|qlpatch.exe exit code: 4" \
  "$(tr -d '\r' <"$WT_OUTPUT_FILE" | paste -sd '|')"
wt_run_program "$WT_C" "$CMD" /c 'C:\package\run-qlpatch.cmd' -c patch
wt_check_exit "by hand, batch file with -c patch" 4
# start /wait: waits for the tool and gives its exit code as the errorlevel.
wt_run_program "$PACKAGE" "$CMD" /c start /wait qlpatch.exe -c patch
wt_check_exit "by hand, start /wait" 4

wt_finish

#!/usr/bin/env bash
# The fleet wrappers under Wine: deploy/install.cmd (through cmd) copies the
# patch folder into the product's install folder, found through its install
# key, runs qlpatch.exe there and ends with its exit code; deploy/detect.vbs
# (through cscript) writes one line and exits 0 only once the patch is
# applied, and otherwise writes nothing and exits 0; deploy/uninstall.cmd
# undoes the patch there and ends with the tool's code. None of them runs a
# program a standard user planted where the kit once put the package, and
# without the product none runs anything. Also the guide's way of running
# the tool by hand.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"
wt_program_path squatter >/dev/null || wt_die "no squatter=PATH argument"
source_dir=$(cd "$here/../.." && pwd)

PACKAGE="$WT_C/package"                # the package content, as a fleet tool unpacks it
INSTALL_WIN='C:\Program Files (x86)\Qorlink'
INSTALL="$WT_C/Program Files (x86)/Qorlink"
BACKUP="$INSTALL/UpdateBackup"
TARGET="$BACKUP/QlPatch03"             # where install.cmd puts the package
INSTALL_LOG="$BACKUP/QlPatch03-install.log"
UNINSTALL_LOG="$BACKUP/QlPatch03-uninstall.log"
OLD_PLACE="$WT_C/ProgramData/QlPatch03"  # where the kit once put it: any user may create it
CMD='C:\windows\system32\cmd.exe'
CSCRIPT='C:\windows\system32\cscript.exe'
DETECTED_LINE=$'Qorlink patch QlPatch03 is applied\r'

# A product 4.20 build 0137 with two modules and both services running, and
# the package for patch 03: tool, description, new modules and the wrappers.
fresh_machine() {
  local module
  rm -rf "$PACKAGE" "$INSTALL"
  mkdir -p "$INSTALL"
  wt_set_install 4.20 0137 "$INSTALL_WIN"
  wt_write_description "$PACKAGE" 4.20 0137 03 core.dll profiles.dll
  for module in core.dll profiles.dll; do
    printf 'old %s' "$module" >"$INSTALL/$module"
    printf 'new %s' "$module" >"$PACKAGE/$module"
  done
  cp "$WT_BIN/qlpatch.exe" "$PACKAGE/qlpatch.exe"
  cp "$source_dir/deploy/install.cmd" "$source_dir/deploy/uninstall.cmd" "$source_dir/deploy/detect.vbs" "$PACKAGE/"
  # Wine's WMI has no Win32_LogicalFileSecuritySetting and its file system
  # object no Folder.Attributes (error 445), so the shipped script never
  # trusts a folder here: what cannot be read is not trusted (checked after
  # the apply). The rest of it runs from a copy whose look at the folders
  # answers yes.
  sed 's/^Function AdminsOnly(path, isFolder)\r\?$/&\r\n  AdminsOnly = True: Exit Function\r/' \
    "$source_dir/deploy/detect.vbs" >"$PACKAGE/detect-rights-taken-as-read.vbs"
  grep -q 'AdminsOnly = True: Exit' "$PACKAGE/detect-rights-taken-as-read.vbs" ||
    wt_die "the detection script's rights look was not found"
  # install.cmd and uninstall.cmd ask the package's detect.vbs about an
  # UpdateBackup that is there: the copy answers yes, the shipped one (kept
  # in C:\ for the cases that show its refusal) no.
  mv "$PACKAGE/detect.vbs" "$WT_C/detect.vbs"
  cp "$PACKAGE/detect-rights-taken-as-read.vbs" "$PACKAGE/detect.vbs"
  wt_register_service QlSvc stop-now
  wt_register_service QlProfileSvc stop-now
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}

# A standard user's program, with a description beside it, where the kit
# once put the package. Run, it marks qlpatch.exe.ran and answers 19.
plant_old_place() {
  rm -rf "$OLD_PLACE"
  wt_write_description "$OLD_PLACE" 4.20 0137 03 core.dll profiles.dll
  cp "$WT_BIN/squatter.exe" "$OLD_PLACE/qlpatch.exe"
}
check_planted_not_run() {  # NAME
  if [ -e "$OLD_PLACE/qlpatch.exe.ran" ]; then
    wt_fail "$1: the program planted in ProgramData was run: $(tr -d '\0\r' <"$OLD_PLACE/qlpatch.exe.ran" | paste -sd '|')"
    rm -f "$OLD_PLACE/qlpatch.exe.ran"
  else
    wt_pass "$1: the program planted in ProgramData was not run"
  fi
}

# Both from the 32-bit launcher, so through the 32-bit cmd, as a 32-bit
# fleet agent runs them.
install() {  # the fleet tool's install command, from a folder of its own
  wt_run_program "$WT_C" "$CMD" /c 'C:\package\install.cmd'
}

uninstall() {  # its uninstall command
  wt_run_program "$WT_C" "$CMD" /c 'C:\package\uninstall.cmd'
}

# detect NAME [detected]: runs detect.vbs from the package (the fleet tool
# keeps it apart from the package content; it only needs to be somewhere)
# under the 32-bit cscript (through the launcher) and the 64-bit one
# (started from here), and checks exit 0 with exactly the detected line, or
# with no output. The two read the product's install key in different ways.
detect() {
  wt_run_program "$WT_C" "$CSCRIPT" //nologo 'C:\package\detect-rights-taken-as-read.vbs'
  wt_check_exit "$1: detect.vbs" 0
  if [ "${2:-}" = detected ]; then
    wt_check "$1: detect.vbs writes the detected line" "$DETECTED_LINE" "$(cat "$WT_OUTPUT_FILE")"
  else
    wt_check_silent "$1: detect.vbs, not detected"
  fi
  local out="$WT_TMP/detect64.out" code
  (cd "$WT_C" && wt_wine_to "$out" "$WT_TMP/detect64.err" "$CSCRIPT" //nologo 'C:\package\detect-rights-taken-as-read.vbs')
  code=$?
  if [ "${2:-}" = detected ]; then
    wt_check "$1: detect.vbs, 64-bit host" "0 $DETECTED_LINE" "$code $(cat "$out")"
  else
    wt_check "$1: detect.vbs, 64-bit host, not detected" "0 0" "$code $(stat -c %s "$out")"
  fi
}

modules() { printf '%s|%s' "$(cat "$INSTALL/core.dll")" "$(cat "$INSTALL/profiles.dll")"; }
# check_install_exit NAME CODE: wt_check_exit, and on a failure what the
# wrapper wrote to its log and printed, and the tool's run log, which tell
# the step that failed.
check_install_exit() {
  wt_check_exit "$1" "$2"
  [ "$WT_EXIT" = "$2" ] && return
  wt_print_tail "$INSTALL_LOG" 20 "the install log ends"
  echo "# printed: $(head -c 600 "$WT_OUTPUT_FILE" | tr -d '\r' | paste -sd '|')"
  echo "# staged: $(ls -A "$TARGET" 2>&1 | paste -sd ' ')"
  wt_print_tail "$BACKUP/qlpatch.log" 30 "the run log ends"
  wt_print_service_errors
}
log_has() { tr -d '\r' <"$INSTALL_LOG" | grep -qx "$1" && echo yes || echo no; }
absent() { [ -e "$1" ] && echo present || echo absent; }

echo "# no product on the machine"
fresh_machine
plant_old_place
wt_clear_install
detect "no product"
install
wt_check_exit "no product: install.cmd runs nothing" 1603
uninstall
wt_check_exit "no product: uninstall.cmd runs nothing" 1603
wt_check "no product: nothing made in the install folder" absent "$(absent "$BACKUP")"
check_planted_not_run "no product"

echo "# before any install"
wt_set_install 4.20 0137 "$INSTALL_WIN"
detect "product there, nothing installed"
uninstall
wt_check_exit "nothing installed: uninstall.cmd runs nothing" 1603
check_planted_not_run "nothing installed"

echo "# installed product of another version"
wt_set_install 4.10 0137 "$INSTALL_WIN"
install
wt_check_exit "version mismatch: install.cmd passes qlpatch's code" 4
wt_check_silent "version mismatch: install.cmd"
wt_check "version mismatch: modules untouched" "old core.dll|old profiles.dll" "$(modules)"
wt_check "version mismatch: the tool's lines in the install log" yes "$(log_has 'QL version unmatch!')"
for file in qlpatch.exe patchql58302.dat core.dll profiles.dll; do
  wt_check_file "version mismatch: $file copied into the install folder" "$TARGET/$file" "$PACKAGE/$file"
done
detect "folder there, product of another version (4)"
wt_set_install 4.20 0137 "$INSTALL_WIN"
detect "folder there, patch not applied yet (17)"
check_planted_not_run "before the apply"

echo "# install"
printf 'left from an earlier install' >"$TARGET/stale.dll"
install
check_install_exit "apply: install.cmd passes qlpatch's code" 0
wt_check "apply: modules replaced" "new core.dll|new profiles.dll" "$(modules)"
wt_check "apply: services running again" "$RUNNING $RUNNING" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"
wt_check "apply: the tool's lines in the install log" yes "$(log_has 'Update patch succeed!!')"
wt_check "apply: the earlier folder is replaced, not merged" "absent absent" \
  "$(absent "$TARGET/stale.dll") $(absent "$TARGET.old")"
wt_check "apply: no lock file left" absent "$(absent "$BACKUP/qlpatch.lock")"
detect "after the apply" detected
check_planted_not_run "after the apply"
wt_run_program "$WT_C" "$CSCRIPT" //nologo 'C:\detect.vbs'
wt_check_exit "after the apply, rights not readable: detect.vbs" 0
wt_check_silent "after the apply, rights not readable: detect.vbs runs nothing"
# The same refusal of UpdateBackup ends install.cmd and uninstall.cmd before
# they write in it or run anything.
cp "$WT_C/detect.vbs" "$PACKAGE/detect.vbs"
backup_state() { find "$BACKUP" -printf '%P %s %T@\n' | sort; }
before=$(backup_state)
install
wt_check "rights not readable: install.cmd, nothing run or written" "1603 $before" "$WT_EXIT $(backup_state)"
uninstall
wt_check "rights not readable: uninstall.cmd, nothing run or written" "1603 $before new core.dll|new profiles.dll" \
  "$WT_EXIT $(backup_state) $(modules)"
cp "$PACKAGE/detect-rights-taken-as-read.vbs" "$PACKAGE/detect.vbs"

echo "# installed again"
install
wt_check_exit "already applied: install.cmd passes qlpatch's code" 19
wt_check "already applied: the tool's lines in the install log" yes "$(log_has 'Patch is latest!')"
# Appended, one dated start line and one end line per run: three runs.
wt_check "install log kept across runs" "yes 3 3" \
  "$(log_has 'QL version unmatch!') $(grep -c 'install.cmd: patch QlPatch03 from' "$INSTALL_LOG") \
$(grep -c 'install.cmd: qlpatch.exe ended with' "$INSTALL_LOG")"
detect "after installing again" detected

echo "# a staging folder named as the tool's own per-patch backup"
sed 's/^set "PATCH_FOLDER=QlPatch03"/set "PATCH_FOLDER=Patch03"/' "$PACKAGE/install.cmd" >"$PACKAGE/install-as-patch03.cmd"
grep -q 'PATCH_FOLDER=Patch03' "$PACKAGE/install-as-patch03.cmd" || wt_die "install.cmd's PATCH_FOLDER line was not found"
before=$(backup_state)
wt_run_program "$WT_C" "$CMD" /c 'C:\package\install-as-patch03.cmd'
wt_check "PATCH_FOLDER=Patch03: install.cmd refuses, the backup untouched" "1603 $before" "$WT_EXIT $(backup_state)"
rm "$PACKAGE/install-as-patch03.cmd"

echo "# the ACL of the folder the tool runs from"
# Wine run as root enforces no ACL; read it back where Wine's icacls shows one.
(cd "$WT_C" && wt_wine_to "$WT_TMP/icacls.out" "$WT_TMP/icacls.err" icacls "$INSTALL_WIN\\UpdateBackup\\QlPatch03")
if [ -s "$WT_TMP/icacls.out" ] && grep -q ':' "$WT_TMP/icacls.out"; then
  acl=$(tr -d '\r' <"$WT_TMP/icacls.out")
  wt_check "staging folder ACL: SYSTEM, Administrators full, Users read" "yes yes yes no" \
    "$(grep -Eq '(SYSTEM|S-1-5-18):\(OI\)\(CI\)\(F\)' <<<"$acl" && echo yes || echo no) \
$(grep -Eq '(Administrators|S-1-5-32-544):\(OI\)\(CI\)\(F\)' <<<"$acl" && echo yes || echo no) \
$(grep -Eq '(Users|S-1-5-32-545):\(OI\)\(CI\)\(RX\)' <<<"$acl" && echo yes || echo no) \
$(grep -q '(I)' <<<"$acl" && echo yes || echo no)"
else
  echo "# this Wine's icacls shows no ACL (it printed $(stat -c %s "$WT_TMP/icacls.out") bytes): not read back"
fi

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
wt_check "uninstall log kept across runs" "2 2" \
  "$(grep -c 'uninstall.cmd: undo of patch QlPatch03' "$UNINSTALL_LOG") \
$(grep -c 'uninstall.cmd: qlpatch.exe ended with' "$UNINSTALL_LOG")"
check_planted_not_run "uninstall"
wt_hold_file "$INSTALL_WIN\\UpdateBackup\\QlPatch03-install.log" 3600000 share-nothing
install
wt_let_go
wt_check_exit "install after the undo, its log held by another program: the tool runs all the same" 0
detect "installed after the undo" detected

echo "# the folder removed again"
rm -rf "$TARGET"
detect "folder removed after the apply"

uninstall
wt_check_exit "undo without the folder: uninstall.cmd fails on its own" 1603
wt_check "undo without the folder: modules untouched" "new core.dll|new profiles.dll" "$(modules)"
check_planted_not_run "folder removed"
wt_check "no log written in ProgramData or the temporary folders" "" \
  "$(find "$WT_C/ProgramData" "$WT_C/windows/temp" "$WT_C/users" -iname '*.log' 2>/dev/null | grep -i qlpatch)"

echo "# a package without its description file"
fresh_machine
rm "$PACKAGE/patchql58302.dat"
install
wt_check_exit "no description in the package: install.cmd fails on its own" 1603
wt_check "no description in the package: nothing copied" absent "$(absent "$TARGET")"
wt_check "no description in the package: modules untouched" "old core.dll|old profiles.dll" "$(modules)"

echo "# a hidden package file whose staged copy differs"
fresh_machine
# Hidden, as Wine shows dot files. Wine's fc.exe finds no difference ever,
# so the sizes tell: /proc/uptime reads as 0 bytes, its copy does not.
ln -s /proc/uptime "$PACKAGE/.uptime"
install
wt_check "hidden file differs: install.cmd runs nothing" "1603 old core.dll|old profiles.dll" "$WT_EXIT $(modules)"

echo "# a backup folder that is a link to a user's folder"
fresh_machine
install
wt_check_exit "link: installed" 0
mv "$BACKUP" "$INSTALL/real-backup"
ln -s "$INSTALL/real-backup" "$BACKUP"
install
wt_check_exit "the backup folder a link: install.cmd does nothing" 1603
wt_check "the backup folder a link: nothing staged through it" "absent absent" \
  "$(absent "$INSTALL/real-backup/QlPatch03.old") $(absent "$INSTALL/real-backup/QlPatch03-install.log.new")"
rm "$BACKUP"

odd_install_path() {  # WINDOWS-PATH
  INSTALL_WIN=$1
  INSTALL=$(wt_unix_path "$INSTALL_WIN")
  BACKUP="$INSTALL/UpdateBackup"
  TARGET="$BACKUP/QlPatch03"
  INSTALL_LOG="$BACKUP/QlPatch03-install.log"
  fresh_machine
}

echo "# an install path holding ^ and !"
odd_install_path 'C:\Qor ^ x !'
install
check_install_exit "odd path: install.cmd passes qlpatch's code" 0
wt_check "odd path: modules replaced" "new core.dll|new profiles.dll" "$(modules)"
wt_check "odd path: the tool's lines in the install log" yes "$(log_has 'Update patch succeed!!')"
detect "odd path, applied" detected
uninstall
wt_check_exit "odd path: uninstall.cmd passes qlpatch's code" 0
wt_check "odd path: the originals back" "old core.dll|old profiles.dll" "$(modules)"

# Windows' cmd reads these whole. Wine's cuts a for variable's value at &,
# expands % again in a value, and has no console whose code page could be
# set to UTF-8 for reg.exe's answer, so the install finds no such folder
# and ends with 1603. Either way nothing in the path is run.
for odd in 'C:\Qor & mkdir ran' 'C:\Qor %PATCH_FOLDER% 50% x' 'C:\Qor 雪é'; do
  echo "# an install path: $odd"
  odd_install_path "$odd"
  install
  wt_check "$odd: installed, or refused having done nothing" yes \
    "$( { [ "$WT_EXIT" = 0 ] && [ "$(modules)" = 'new core.dll|new profiles.dll' ]; } ||
        { [ "$WT_EXIT" = 1603 ] && [ "$(modules)" = 'old core.dll|old profiles.dll' ] &&
          [ "$(wt_service_state QlSvc)" = "$RUNNING" ]; } && echo yes)"
  uninstall
  wt_check "$odd: no command in the path was run" "absent absent" "$(absent "$WT_C/ran") $(absent "$PACKAGE/ran")"
  rm -rf "$INSTALL"
done
odd_install_path 'C:\Program Files (x86)\Qorlink'

echo "# detection over an install path holding %SystemRoot% (the script host expands it in a command line)"
install
moved=$(wt_unix_path 'C:\Qor %SystemRoot% x')
rm -rf "$moved" && mv "$INSTALL" "$moved" && wt_set_install 4.20 0137 'C:\Qor %SystemRoot% x'
detect "%SystemRoot% path, applied" detected
rm -rf "$moved"
odd_install_path 'C:\Program Files (x86)\Qorlink'

echo "# a package folder holding &"
rm -rf "$WT_C/pack & mkdir ran"
cp -r "$PACKAGE" "$WT_C/pack & mkdir ran"
rm -rf "$WT_C/ran"  # made by an unquoted command line of the test's own, if ever
wt_run_program "$WT_C/pack & mkdir ran" "$CMD" /c install.cmd  # from its own folder, as fleet tools run it
wt_check_exit "& in the package folder: install.cmd passes qlpatch's code" 0
wt_check "& in the package folder: the folder whole in the log, nothing run" "yes absent absent" \
  "$(grep -qF 'from "C:\pack & mkdir ran\"' "$INSTALL_LOG" && echo yes) $(absent "$WT_C/ran") \
$(absent "$WT_C/pack & mkdir ran/ran")"

echo "# running it by hand, as the guide says"
fresh_machine
# The batch file the guide gives, taken from the guide itself.
sed -n '/<!-- tested: run-qlpatch.cmd -->/,/^```$/p' "$source_dir/docs/deploying.md" | sed '1,2d;$d' |
  sed 's/$/\r/' >"$PACKAGE/run-qlpatch.cmd"
grep -q 'qlpatch.exe' "$PACKAGE/run-qlpatch.cmd" || wt_fail "the guide's run-qlpatch.cmd block is missing"
wt_set_install 4.10 0137 "$INSTALL_WIN"
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

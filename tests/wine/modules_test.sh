#!/usr/bin/env bash
# The apply mode of qlpatch.exe under Wine, run as a user would: with no
# arguments, from the patch folder. Checks the printed report, the backup
# layout, the replaced modules, the record file byte for byte, and module
# names outside ASCII. Then files as other programs and admins leave them:
# a module held open for a while, a record held open for the whole run,
# read-only new copies and backup copies; and a second service that never
# stops. Run as an ordinary Linux user, for whom Wine keeps read-only
# attributes as Windows does.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_run_unprivileged "${BASH_SOURCE[0]}" "$@"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

PATCH_DIR="$WT_C/patch"
INSTALL_DIR="$WT_C/Qorlink"
BACKUP_DIR="$INSTALL_DIR/UpdateBackup/Patch03"
RECORD="$INSTALL_DIR/UpdateBackup/QlPatch.xml"
LOG="$INSTALL_DIR/UpdateBackup/qlpatch.log"
PRODUCT_PROGRAMS=(SvcDeskAgent.exe QlWin7Agent.exe qltray.exe qlwlicon.exe lnkrtnmon.exe
                  Durirave.exe Save_Wlan_Settings.exe QlOpenWlanPanel.exe)

# fresh_install MODULE...: the install folder holds "old MODULE" in each
# module, the patch folder "new MODULE"; no record, services stopped.
fresh_install() {
  local module
  rm -rf "$PATCH_DIR" "$INSTALL_DIR"
  mkdir -p "$PATCH_DIR" "$INSTALL_DIR"
  for module in "$@"; do
    printf 'old %s\r\n' "$module" >"$INSTALL_DIR/$module"
    printf 'new %s\r\n' "$module" >"$PATCH_DIR/$module"
  done
  wt_write_description "$PATCH_DIR" 4.20 0137 03 "$@"
  for service in QlSvc QlProfileSvc; do
    [ "$(wt_service_state "$service")" = "$STOPPED" ] || wt_stop_service "$service"
  done
}

# expect_record FILE DATE [PATCH...]: the record the tool saves for version
# 4.20 holding the patches given (each applied on DATE), the last current.
expect_record() {
  local file=$1 date=$2 patch current
  shift 2
  for patch in "$@"; do current=$patch; done
  local lines=('<?xml version="1.0" encoding="UTF-8" ?>' "<UpdateQL>" "    <QL4.20>"
               "        <CurVersion>$current</CurVersion>")
  for patch in "$@"; do
    lines+=("        <Patch$patch>"
            "            <QlVersion>4.20</QlVersion>"
            "            <PatchVersion>$patch</PatchVersion>"
            "            <Date>$date</Date>"
            "        </Patch$patch>")
  done
  lines+=("    </QL4.20>" "</UpdateQL>")
  wt_write_crlf "$file" "${lines[@]}"
}

# The lines the tool printed, without their CRs.
printed() {
  tr -d '\r' <"$WT_OUTPUT_FILE"
}

check_content() {  # NAME FILE TEXT: the file holds TEXT and CR LF
  if [ -f "$2" ]; then
    wt_check "$1" "$3" "$(tr -d '\r' <"$2")"
  else
    wt_fail "$1: $2 does not exist"
  fi
}

wt_set_install 4.20 0137 'C:\Qorlink'
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc stop-now

echo "# full update with the services and the product's programs running"
fresh_install core.dll profiles.dll
wt_start_service QlSvc
wt_start_service QlProfileSvc
for name in "${PRODUCT_PROGRAMS[@]}"; do wt_start_program Qorlink "$name"; done
before=$(date +%F)
wt_run "$PATCH_DIR"
after=$(date +%F)
wt_check_exit "update" 0
wt_check "update: report" "Stopping QL service, it maybe take several seconds, please wait...
Updating QL...
Restarting Durirave, please wait...
Update patch succeed!!
Press any key to exit." "$(printed)"
check_content "update: core.dll backed up" "$BACKUP_DIR/core.dll" "old core.dll"
check_content "update: profiles.dll backed up" "$BACKUP_DIR/profiles.dll" "old profiles.dll"
check_content "update: core.dll replaced" "$INSTALL_DIR/core.dll" "new core.dll"
check_content "update: profiles.dll replaced" "$INSTALL_DIR/profiles.dll" "new profiles.dll"
wt_check "update: backup folder holds only the modules" "core.dll profiles.dll" \
  "$(cd "$BACKUP_DIR" && echo *)"
wt_check "update: UpdateBackup holds the patch folder, the record and the run log" "Patch03 QlPatch.xml qlpatch.log" \
  "$(cd "$INSTALL_DIR/UpdateBackup" && echo *)"
expect_record "$WT_TMP/expected.xml" "$before" 03
[ "$before" = "$after" ] || cmp -s "$RECORD" "$WT_TMP/expected.xml" ||
  expect_record "$WT_TMP/expected.xml" "$after" 03
wt_check_file "update: record bytes" "$RECORD" "$WT_TMP/expected.xml"
wt_check "update: QlSvc running again" "$RUNNING" "$(wt_service_state QlSvc)"
wt_check "update: QlProfileSvc running again" "$RUNNING" "$(wt_service_state QlProfileSvc)"
for name in "${PRODUCT_PROGRAMS[@]}"; do
  wt_check "update: $name ended" "exit=0" "$(wt_program_exit Qorlink "$name")"
done

echo "# the same patch again"
cp "$RECORD" "$WT_TMP/record-before.xml"
printf 'newer core.dll\r\n' >"$PATCH_DIR/core.dll"
wt_run "$PATCH_DIR"
wt_check_exit "second run" 19
wt_check "second run: report" "Patch is latest!
Press any key to exit." "$(printed)"
check_content "second run: core.dll untouched" "$INSTALL_DIR/core.dll" "new core.dll"
wt_check_file "second run: record untouched" "$RECORD" "$WT_TMP/record-before.xml"
wt_check "second run: QlSvc not stopped" "$RUNNING" "$(wt_service_state QlSvc)"

echo "# the same patch again without its record: the first backup stays"
rm "$RECORD"
wt_stop_service QlSvc
wt_stop_service QlProfileSvc
wt_run "$PATCH_DIR"
wt_check_exit "rerun" 0
check_content "rerun: earlier backup kept" "$BACKUP_DIR/core.dll" "old core.dll"
check_content "rerun: core.dll replaced again" "$INSTALL_DIR/core.dll" "newer core.dll"
wt_check "rerun: record written again" "present" "$([ -f "$RECORD" ] && echo present)"

echo "# a record of an earlier patch"
fresh_install core.dll
wt_write_record "$RECORD" 4.20 02 02
today=$(date +%F)
wt_run "$PATCH_DIR"
wt_check_exit "update over patch 02" 0
wt_write_crlf "$WT_TMP/expected.xml" '<?xml version="1.0" encoding="UTF-8" ?>' "<UpdateQL>" \
  "    <QL4.20>" "        <CurVersion>03</CurVersion>" \
  "        <Patch02>" "            <QlVersion>4.20</QlVersion>" \
  "            <PatchVersion>02</PatchVersion>" "            <Date>2020-03-15</Date>" \
  "        </Patch02>" \
  "        <Patch03>" "            <QlVersion>4.20</QlVersion>" \
  "            <PatchVersion>03</PatchVersion>" "            <Date>$today</Date>" \
  "        </Patch03>" "    </QL4.20>" "</UpdateQL>"
wt_check_file "update over patch 02: record bytes" "$RECORD" "$WT_TMP/expected.xml"

echo "# a new module copy missing from the patch folder"
fresh_install core.dll profiles.dll
rm "$PATCH_DIR/profiles.dll"
wt_run "$PATCH_DIR"
wt_check_exit "missing new copy" 14
# Every new copy is looked for before anything is stopped or moved.
wt_check "missing new copy: report" "copy file error!
Press any key to exit." "$(printed)"
check_content "missing new copy: core.dll untouched" "$INSTALL_DIR/core.dll" "old core.dll"
check_content "missing new copy: profiles.dll still in place" "$INSTALL_DIR/profiles.dll" "old profiles.dll"
wt_check "missing new copy: no record" "absent" "$([ -e "$RECORD" ] || echo absent)"
wt_check "missing new copy: services left as they were (stopped here)" "$STOPPED $STOPPED" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"
grep -q "module profiles.dll: the new copy beside the tool cannot be read: error 2 (" "$INSTALL_DIR/UpdateBackup/qlpatch.log" &&
  wt_pass "missing new copy: the log names the module and the Windows error" ||
  wt_fail "missing new copy: the log names the module and the Windows error" "$(cat "$INSTALL_DIR/UpdateBackup/qlpatch.log")"

echo "# module names outside ASCII"
# Written in Windows-1252: the byte E9 is é.
fresh_install 'modulé.dll'
wt_write_description "$PATCH_DIR" 4.20 0137 03 $'modul\xe9.dll'
wt_run "$PATCH_DIR"
wt_check_exit "Windows-1252 module name" 0
check_content "Windows-1252 name: modulé.dll backed up" "$BACKUP_DIR/modulé.dll" "old modulé.dll"
check_content "Windows-1252 name: modulé.dll replaced" "$INSTALL_DIR/modulé.dll" "new modulé.dll"

# Values are widened with code page 1252 whatever the document's encoding,
# so the UTF-8 bytes of é (C3 A9) name the module "modulÃ©.dll".
fresh_install 'modulÃ©.dll' 'modulé.dll'
wt_write_crlf "$PATCH_DIR/$WT_DATA_FILE" '<?xml version="1.0" encoding="UTF-8" ?>' "<UpdateQL>" \
  "    <Version>4.20</Version>" "    <BuildID>0137</BuildID>" "    <PatchVersion>03</PatchVersion>" \
  "    <WerNum>1</WerNum>" "    <WER1><UpdateModule>modulé.dll</UpdateModule></WER1>" "</UpdateQL>"
wt_run "$PATCH_DIR"
wt_check_exit "UTF-8 description" 0
check_content "UTF-8 description: modulÃ©.dll replaced" "$INSTALL_DIR/modulÃ©.dll" "new modulÃ©.dll"
check_content "UTF-8 description: modulé.dll untouched" "$INSTALL_DIR/modulé.dll" "old modulé.dll"

writable() { [ -w "$1" ] && echo writable || echo read-only; }
present() { [ -e "$1" ] && echo present || echo absent; }

echo "# a module held open by another program for a few seconds"
fresh_install core.dll profiles.dll
wt_hold_file 'C:\Qorlink\profiles.dll' 4000
wt_run "$PATCH_DIR"
wt_let_go
wt_check_exit "module held for a while" 0
check_content "module held for a while: profiles.dll replaced" "$INSTALL_DIR/profiles.dll" "new profiles.dll"
check_content "module held for a while: profiles.dll backed up" "$BACKUP_DIR/profiles.dll" "old profiles.dll"
# The original gets its second name (Wine lets a held file be linked) or is
# moved; either way the step that meets the hold is tried again.
wt_check_log "module held for a while: the held step was tried again" "$LOG" \
  'module profiles\.dll: (moved to .* \(([2-9]|[1-9][0-9]+) tries\)|new copy .* \(2 tries to copy, ([2-9]|[1-9][0-9]+) to move in place\))'

echo "# a record held open by another program for the whole run"
fresh_install core.dll
wt_start_service QlSvc
wt_start_service QlProfileSvc
wt_write_record "$RECORD" 4.20 02 02
cp "$RECORD" "$WT_TMP/record-held.xml"
wt_hold_file 'C:\Qorlink\UpdateBackup\QlPatch.xml'
wt_run "$PATCH_DIR"
wt_let_go
wt_check_exit "record held" 3010
wt_check "record held: report" "Stopping QL service, it maybe take several seconds, please wait...
Updating QL...
Restarting Durirave, please wait...
file in use, update will finish at restart!
Press any key to exit." "$(printed)"
check_content "record held: core.dll replaced" "$INSTALL_DIR/core.dll" "new core.dll"
wt_check "record held: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check_file "record held: record as it was" "$RECORD" "$WT_TMP/record-held.xml"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "record let go: query before the restart" 16
wt_run "$PATCH_DIR"
wt_check_exit "record let go: apply again before the restart" 3010
# The restart writes the record the run staged.
wt_wine wineboot -r
wt_check "record let go, restarted: Patch02 and Patch03 on record" "1 1" \
  "$(grep -c '<Patch02>' "$RECORD") $(grep -c '<Patch03>' "$RECORD")"
check_content "record let go: the first original still backed up" "$BACKUP_DIR/core.dll" "old core.dll"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "record let go: query after the restart" 19

echo "# a read-only new copy, and a read-only original put back by the undo"
fresh_install core.dll profiles.dll
wt_wine attrib +r 'C:\patch\core.dll'
wt_check "read-only new copy: read-only for Wine" read-only "$(writable "$PATCH_DIR/core.dll")"
wt_run "$PATCH_DIR"
wt_check_exit "read-only new copy" 0
check_content "read-only new copy: core.dll replaced" "$INSTALL_DIR/core.dll" "new core.dll"
wt_check "read-only new copy: the installed copy is not read-only" writable "$(writable "$INSTALL_DIR/core.dll")"
wt_wine attrib +r 'C:\Qorlink\UpdateBackup\Patch03\profiles.dll'
wt_check "read-only original: read-only for Wine" read-only "$(writable "$BACKUP_DIR/profiles.dll")"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo of a read-only original" 0
check_content "undo of a read-only original: profiles.dll back" "$INSTALL_DIR/profiles.dll" "old profiles.dll"
wt_check "undo of a read-only original: the restored module is not read-only" writable \
  "$(writable "$INSTALL_DIR/profiles.dll")"
wt_check "undo of a read-only original: backup copies removed" "absent absent" \
  "$(present "$BACKUP_DIR/profiles.dll") $(present "$BACKUP_DIR/core.dll")"
wt_check "undo of a read-only original: nothing left beside the modules" "" \
  "$(cd "$INSTALL_DIR" && ls -- *.qlundo 2>/dev/null)"

echo "# a second service that never stops: the first one runs again"
fresh_install core.dll
wt_register_service QlProfileSvc never-stop
wt_start_service QlSvc
wt_start_service QlProfileSvc
wt_run "$PATCH_DIR"
wt_check_exit "second service never stops" 9
wt_check "second service never stops: report" "Stopping QL service, it maybe take several seconds, please wait...
stop service error!
Press any key to exit." "$(printed)"
wt_check "second service never stops: QlSvc running again" "$RUNNING" "$(wt_service_state QlSvc)"
check_content "second service never stops: core.dll untouched" "$INSTALL_DIR/core.dll" "old core.dll"
wt_check "second service never stops: no per-patch backup" absent "$(present "$BACKUP_DIR")"
wt_register_service QlProfileSvc stop-now

wt_finish

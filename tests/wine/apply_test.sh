#!/usr/bin/env bash
# The apply mode of qlpatch.exe under Wine: run without arguments from its
# patch folder, against a product with real services and programs.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

PATCH_DIR="$WT_C/patch03"
INSTALL="$WT_C/Qorlink"
BACKUP="$INSTALL/UpdateBackup"
PRODUCT_PROGRAMS=(SvcDeskAgent.exe QlWin7Agent.exe qltray.exe qlwlicon.exe lnkrtnmon.exe
                  Durirave.exe Save_Wlan_Settings.exe QlOpenWlanPanel.exe)
# The text-mode C runtime writes each "\r\n" the tool prints as "\r\r\n".
STOP_LINE=$'Stopping QL service, it maybe take several seconds, please wait...\r\r\n'
UPDATE_LINE=$'Updating QL...\r\r\n'
RESTART_LINE=$'Restarting Durirave, please wait...\r\r\n'
EXIT_LINE=$'Press any key to exit.\r\r\n'

# A product 4.20 build 0137 with two modules, both services running, no
# backup folder, and patch 03 for both modules in the patch folder.
fresh_machine() {
  local first_mode=${1:-stop-now} module
  rm -rf "$PATCH_DIR" "$INSTALL"
  mkdir -p "$INSTALL"
  wt_set_install 4.20 0137 'C:\Qorlink'
  wt_write_description "$PATCH_DIR" 4.20 0137 03 core.dll profiles.dll
  for module in core.dll profiles.dll; do
    printf 'old %s' "$module" >"$INSTALL/$module"
    printf 'new %s' "$module" >"$PATCH_DIR/$module"
  done
  wt_register_service QlSvc "$first_mode"
  wt_register_service QlProfileSvc stop-now
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}

apply() {
  wt_run "$PATCH_DIR"
}

check_output() {  # NAME EXPECTED
  wt_check "$1 (output)" "$(printf '%s' "$2" | od -An -c)" "$(od -An -c <"$WT_OUTPUT_FILE")"
}

check_untouched() {  # NAME
  wt_check "$1: core.dll untouched" "old core.dll" "$(cat "$INSTALL/core.dll")"
  wt_check "$1: nothing backed up (the run log only)" nothing "$(wt_beside_log "$BACKUP")"
  wt_check "$1: QlSvc still running" "$RUNNING" "$(wt_service_state QlSvc)"
  wt_check "$1: QlProfileSvc still running" "$RUNNING" "$(wt_service_state QlProfileSvc)"
}

echo "# full success on a machine without a backup folder"
fresh_machine
for name in "${PRODUCT_PROGRAMS[@]}"; do wt_start_program Qorlink "$name"; done
wt_start_program Qorlink notepad.exe
apply
wt_check_exit "full success" 0
check_output "full success" "$STOP_LINE$UPDATE_LINE$RESTART_LINE"$'Update patch succeed!!\r\r\n'"$EXIT_LINE"
for module in core.dll profiles.dll; do
  wt_check "full success: $module replaced" "new $module" "$(cat "$INSTALL/$module")"
  wt_check "full success: $module backed up" "old $module" "$(cat "$BACKUP/Patch03/$module" 2>&1)"
done
wt_check "full success: QlSvc running again" "$RUNNING" "$(wt_service_state QlSvc)"
wt_check "full success: QlProfileSvc running again" "$RUNNING" "$(wt_service_state QlProfileSvc)"
for name in "${PRODUCT_PROGRAMS[@]}"; do
  wt_check "full success: $name ended" "exit=0" "$(wt_program_exit Qorlink "$name")"
done
wt_check "full success: other programs left alone" running "$(wt_program_exit Qorlink notepad.exe)"
wt_write_crlf "$WT_TMP/expected-record" '<?xml version="1.0" encoding="UTF-8" ?>' '<UpdateQL>' \
  '    <QL4.20>' '        <CurVersion>03</CurVersion>' '        <Patch03>' \
  '            <QlVersion>4.20</QlVersion>' '            <PatchVersion>03</PatchVersion>' \
  "            <Date>$(date +%F)</Date>" '        </Patch03>' '    </QL4.20>' '</UpdateQL>'
wt_check_file "full success: record with CR LF line ends" "$BACKUP/QlPatch.xml" "$WT_TMP/expected-record"
wt_check "full success: nothing written in the patch folder" \
  "core.dll patchql58302.dat profiles.dll" "$(ls "$PATCH_DIR" | tr '\n' ' ' | sed 's/ $//')"

echo "# asked again"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "query after success" 19
apply
wt_check_exit "apply after success" 19
check_output "apply after success" $'Patch is latest!\r\r\n'"$EXIT_LINE"
wt_check "apply after success: services untouched" "$RUNNING $RUNNING" \
  "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"

echo "# installed version differs"
fresh_machine
wt_set_install 4.10 0137 'C:\Qorlink'
apply
wt_check_exit "version mismatch" 4
check_output "version mismatch" $'QL version unmatch!\r\r\n'"$EXIT_LINE"
check_untouched "version mismatch"
wt_check "version mismatch: nothing written, not even the log" no "$([ -e "$BACKUP" ] && echo yes || echo no)"

echo "# a new module missing from the patch folder"
fresh_machine
rm "$PATCH_DIR/profiles.dll"
apply
wt_check_exit "missing new copy" 14
# Every new copy is looked for before the product is stopped.
check_output "missing new copy" $'copy file error!\r\r\n'"$EXIT_LINE"
check_untouched "missing new copy"
wt_check "missing new copy: profiles.dll kept in place" "old profiles.dll" "$(cat "$INSTALL/profiles.dll")"
wt_check "missing new copy: QlProfileSvc never stopped" "$RUNNING" "$(wt_service_state QlProfileSvc)"

echo "# the first service never stops (eight polls of 10 s)"
fresh_machine never-stop
wt_start_program Qorlink qltray.exe
apply
wt_check_exit "first service never stops" 9
check_output "first service never stops" "$STOP_LINE"$'stop service error!\r\r\n'"$EXIT_LINE"
wt_check "first service never stops: no program ended" running "$(wt_program_exit Qorlink qltray.exe)"
wt_check "first service never stops: core.dll untouched" "old core.dll" "$(cat "$INSTALL/core.dll")"
# Its put-back cannot start a service that is still stopping: the journal
# stays, and the next run starts it once it has stopped.
wt_check "first service never stops: nothing backed up (the run log and the journal only)" "qlpatch.journal " \
  "$(wt_beside_log "$BACKUP")"
wt_check "first service never stops: QlProfileSvc untouched" "$RUNNING" "$(wt_service_state QlProfileSvc)"
wt_remove_service QlSvc

wt_finish

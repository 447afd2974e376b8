#!/usr/bin/env bash
# qlpatch.exe -c undo under Wine: an applied patch taken back and applied
# again; the refusals that touch nothing (not applied, a later patch over
# it, an original missing from the backup); an undo killed in the middle and
# run again. And all or nothing: an apply or an undo that fails after it
# stopped the product puts back what it changed and starts the product
# again (a module missing, a module held open, a service that will not
# start on what was put in place), its log says why, and an apply cut off
# half way is taken back by the undo.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

PATCH_DIR="$WT_C/patch03"
INSTALL="$WT_C/Qorlink"
ORIGINALS="$WT_TMP/originals"
BACKUP="$INSTALL/UpdateBackup"
RECORD="$BACKUP/QlPatch.xml"
MODULES=()

LOG="$BACKUP/qlpatch.log"
# QlSvc will not start on a module1.dll that begins with this marker.
REFUSED_MARKER=QLREFUSE
REFUSING_QLSVC="refuse-marked C:\\Qorlink\\module1.dll"

# fresh_machine [MODULES] [MEGABYTES] [QLSVC MODE]: product 4.20 build 0137
# with MODULES modules (2) padded to MEGABYTES (0), patch 03 for all of
# them, both services running (QlSvc in the mode given, stop-now), no
# backup folder.
fresh_machine() {
  wt_lay_out_patch "$INSTALL" "$PATCH_DIR" "${1:-2}" "${2:-0}"
  MODULES=("${WT_MODULES[@]}")
  rm -rf "$ORIGINALS"
  cp -r "$INSTALL" "$ORIGINALS"
  # shellcheck disable=SC2086  # the mode carries its file
  wt_register_service QlSvc ${3:-stop-now}
  wt_register_service QlProfileSvc stop-now
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}



present() { [ -e "$1" ] && echo present || echo absent; }

# The record and the per-patch backup, byte for byte, for "as they were".
record_and_backup() {
  { od -An -c "$RECORD" 2>/dev/null; (cd "$BACKUP/Patch03" 2>/dev/null && ls && cat -- *); } | md5sum
}

printed() { tr -d '\r' <"$WT_OUTPUT_FILE"; }

# An undo refused with CODE: no module, backup or record changed, the
# services never stopped.
check_refused() {  # NAME CODE
  local record_before
  record_before=$(cat "$RECORD" 2>/dev/null | od -An -c)
  local new_before old_before
  new_before=$(wt_modules_in_state new)
  old_before=$(wt_modules_in_state old)
  wt_run "$PATCH_DIR" -c undo
  wt_check_exit "$1: undo" "$2"
  wt_check_silent "$1: undo"
  wt_check "$1: modules untouched" "$new_before $old_before" "$(wt_modules_in_state new) $(wt_modules_in_state old)"
  wt_check "$1: record untouched" "$record_before" "$(cat "$RECORD" 2>/dev/null | od -An -c)"
  wt_check "$1: services never stopped" "$RUNNING $RUNNING" "$(wt_product_services)"
}

echo "# apply, undo, query, apply again"
fresh_machine
wt_run "$PATCH_DIR"
wt_check_exit "apply" 0
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo" 0
wt_check_silent "undo"
wt_check "undo: every original back byte for byte" "${#MODULES[@]}" "$(wt_modules_in_state old)"
wt_check "undo: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "undo: Patch03 off the record" 0 "$(grep -c 'Patch03' "$RECORD")"
wt_check "undo: the per-patch backup removed" absent "$([ -e "$BACKUP/Patch03" ] && echo present || echo absent)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "query after the undo" 16
wt_run "$PATCH_DIR"
wt_check_exit "apply again" 0
wt_check "apply again: every module new" "${#MODULES[@]}" "$(wt_modules_in_state new)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "query after applying again" 19

echo "# refusals"
sed -i 's|<CurVersion>03</CurVersion>|<CurVersion>04</CurVersion>|' "$RECORD"
check_refused "a later patch over it" 23
sed -i 's|<CurVersion>04</CurVersion>|<CurVersion>03</CurVersion>|' "$RECORD"
mv "$BACKUP/Patch03/module2.dll" "$WT_TMP/module2.backup"
check_refused "an original missing from the backup" 13
mv "$WT_TMP/module2.backup" "$BACKUP/Patch03/module2.dll"
fresh_machine
check_refused "not applied, no record" 17
mkdir -p "$BACKUP"
wt_write_record "$RECORD" 4.20 02 02
check_refused "not applied, an earlier patch on record" 16

echo "# an apply whose second installed module is missing: refused before anything is stopped"
fresh_machine
rm "$INSTALL/module2.dll" "$ORIGINALS/module2.dll"
wt_run "$PATCH_DIR"
wt_check_exit "module missing" 13
wt_check "module missing: report" "move file error!
Press any key to exit." "$(printed)"
wt_check "module missing: module1.dll the original, untouched" 1 "$(wt_modules_in_state old)"
wt_check "module missing: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "module missing: no per-patch backup, no record" "absent absent" \
  "$(present "$BACKUP/Patch03") $(present "$RECORD")"
wt_check "module missing: nothing left beside the modules" "" "$(cd "$INSTALL" && ls -- *.qlundo 2>/dev/null)"
wt_check_log "module missing: the log names the module" "$LOG" \
  'module module2\.dll: not installed, and the backup holds no original of it'
wt_check_log "module missing: the log ends with the outcome" "$LOG" '^[-0-9 :.]+ outcome: 13 \(move file error!\)$'

echo "# an apply whose new module1.dll keeps QlSvc from starting: the originals go back"
fresh_machine 2 0 "$REFUSING_QLSVC"
printf '%s new module1.dll' "$REFUSED_MARKER" >"$PATCH_DIR/module1.dll"
wt_run "$PATCH_DIR"
case "$WT_EXIT" in 10 | 11) wt_pass "refused module: exit code 10 or 11 ($WT_EXIT)" ;;
  *) wt_fail "refused module: exit code 10 or 11, got $WT_EXIT" ;; esac
wt_check "refused module: every original back" "${#MODULES[@]}" "$(wt_modules_in_state old)"
wt_check "refused module: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "refused module: no per-patch backup, no record" "absent absent" \
  "$(present "$BACKUP/Patch03") $(present "$RECORD")"
wt_check_log "refused module: the log shows the put-back" "$LOG" 'put back: replace module1\.dll'

echo "# an undo whose start phase fails: the new copies go back, the record and backup stay"
fresh_machine 2 0 "$REFUSING_QLSVC"
wt_run "$PATCH_DIR"
wt_check_exit "apply before a refused undo" 0
printf '%s old module1.dll' "$REFUSED_MARKER" >"$BACKUP/Patch03/module1.dll"
kept=$(record_and_backup)
wt_run "$PATCH_DIR" -c undo
case "$WT_EXIT" in 10 | 11) wt_pass "undo, refused original: exit code 10 or 11 ($WT_EXIT)" ;;
  *) wt_fail "undo, refused original: exit code 10 or 11, got $WT_EXIT" ;; esac
wt_check "undo, refused original: every module new again" "${#MODULES[@]}" "$(wt_modules_in_state new)"
wt_check "undo, refused original: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "undo, refused original: record and backup as they were" "$kept" "$(record_and_backup)"
cp "$ORIGINALS/module1.dll" "$BACKUP/Patch03/module1.dll"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo, refused original, run again with the original mended" 0
wt_check "undo run again: every original back" "${#MODULES[@]}" "$(wt_modules_in_state old)"
wt_check "undo run again: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "undo run again: off the record, backup removed" "0 absent" \
  "$(grep -c '<Patch03>' "$RECORD") $(present "$BACKUP/Patch03")"

echo "# an undo whose second module is held open: all new again, the record and backup stay"
fresh_machine
wt_run "$PATCH_DIR"
wt_check_exit "apply before a held undo" 0
kept=$(record_and_backup)
wt_hold_file 'C:\Qorlink\module2.dll'
wt_run "$PATCH_DIR" -c undo
wt_let_go
wt_check_exit "undo, module held" 13
wt_check "undo, module held: every module new again" "${#MODULES[@]}" "$(wt_modules_in_state new)"
wt_check "undo, module held: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "undo, module held: record and backup as they were" "$kept" "$(record_and_backup)"
wt_check "undo, module held: nothing left beside the modules" "" "$(cd "$INSTALL" && ls -- *.qlundo 2>/dev/null)"
wt_check_log "undo, module held: the log names the module and the Windows error" "$LOG" \
  'module module2\.dll: the installed copy cannot be replaced by the original .*: error (5|32|33) \([^)]+\)'
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo, module let go, run again" 0
wt_check "undo, module let go: every original back" "${#MODULES[@]}" "$(wt_modules_in_state old)"

echo "# an apply cut off in the module phase (8 modules of 32 MB), taken back by the undo"
fresh_machine 8 32
wt_start_tool "$PATCH_DIR"
wt_wait_until 120 test -e "$BACKUP/Patch03/module3.dll" || wt_fail "the apply never moved module3.dll"
wt_kill_tool
echo "# killed with $(wt_modules_in_state new) of 8 modules new"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo of a cut-off apply" 0
wt_check "undo of a cut-off apply: every original back" 8 "$(wt_modules_in_state old)"
wt_check "undo of a cut-off apply: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "undo of a cut-off apply: backup removed, no record" "absent absent" \
  "$(present "$BACKUP/Patch03") $(present "$RECORD")"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo of a cut-off apply, again: nothing to undo" 17

echo "# an undo killed while it puts the originals back (8 modules of 32 MB), then run again"
wt_run "$PATCH_DIR"
wt_check_exit "large apply" 0
# module5.dll held open keeps the undo retrying there, past module4.dll.
wt_hold_file 'C:\Qorlink\module5.dll'
wt_start_tool "$PATCH_DIR" -c undo
wt_wait_until 120 test -e "$INSTALL/module4.dll.qlnew" || wt_fail "the undo never reached module4.dll"
wt_kill_tool
echo "# killed with $(wt_modules_in_state old) of 8 originals back, $(wt_modules_in_state new) still new"
wt_check "killed undo: every module whole, the original or the new copy" 8 \
  "$(($(wt_modules_in_state old) + $(wt_modules_in_state new)))"
wt_check "killed undo: still on record" 1 "$(grep -c '<Patch03>' "$RECORD")"
# Still held: the undo cannot finish, and the product goes whole the only
# way it can, on the new copies the record lists, and runs.
wt_run "$PATCH_DIR" -c undo
wt_check_exit "killed undo, run again while module5.dll is held" 13
wt_check "killed undo, run again while held: every module new" 8 "$(wt_modules_in_state new)"
wt_check "killed undo, run again while held: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_let_go
wt_run "$PATCH_DIR" -c undo
wt_check_exit "killed undo, run again" 0
wt_check "killed undo, run again: every original back" 8 "$(wt_modules_in_state old)"
wt_check "killed undo, run again: nothing left beside the modules" "" \
  "$(cd "$INSTALL" && ls -- *.qlundo *.qlnew 2>/dev/null)"
wt_check "killed undo, run again: services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "killed undo, run again: query" 16

wt_finish

#!/usr/bin/env bash
# qlpatch.exe -c undo under Wine: an applied patch taken back and applied
# again; the refusals that touch nothing (not applied, a later patch over
# it, an original missing from the backup). And all or nothing: an apply or
# an undo that fails after it stopped the product puts back what it changed
# and starts the product again (a module missing, a module held open, a
# service that will not start on what was put in place), and its log says
# why. Runs cut off half way are in undo_killed_test.sh.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
# shellcheck source=undo_machine.sh
source "$here/undo_machine.sh"

LOG="$BACKUP/qlpatch.log"
# QlSvc will not start on a module1.dll that begins with this marker.
REFUSED_MARKER=QLREFUSE
REFUSING_QLSVC="refuse-marked C:\\Qorlink\\module1.dll"

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

wt_finish

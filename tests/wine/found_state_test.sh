#!/usr/bin/env bash
# The apply against what it can find on a machine before it changes a file:
# a second service that takes 100 s to stop, longer than the stop phase
# waits; every module already new from an earlier run that could not record
# the patch, with profiles.dll held open by another program all along; and
# a running service its admin has disabled. Each case reports its own
# checks and outcome; the script fails at the end when any check failed.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"
wt_program_path hold_file >/dev/null || wt_die "no hold_file=PATH argument"

INSTALL="$WT_C/Qorlink"
BACKUP="$INSTALL/UpdateBackup"
RECORD="$BACKUP/QlPatch.xml"
LOG="$BACKUP/qlpatch.log"
PATCH_DIR="$WT_C/QlPatch03"
ORIGINALS="$WT_TMP/originals"
MODULES=(qlcore.dll profiles.dll qlnet.dll)
ALL=${#MODULES[@]}

# fresh_machine MODE...: product 4.20 build 0137 with the modules ("old
# NAME"), patch 03 for them in PATCH_DIR ("new NAME"), no backup folder;
# QlSvc (stop-now) and QlProfileSvc (MODE...) running.
fresh_machine() {
  local module
  rm -rf "$INSTALL" "$PATCH_DIR" "$ORIGINALS"
  mkdir -p "$INSTALL" "$ORIGINALS"
  wt_set_install 4.20 0137 'C:\Qorlink'
  wt_write_description "$PATCH_DIR" 4.20 0137 03 "${MODULES[@]}"
  for module in "${MODULES[@]}"; do
    printf 'old %s' "$module" | tee "$ORIGINALS/$module" >"$INSTALL/$module"
    printf 'new %s' "$module" >"$PATCH_DIR/$module"
  done
  wt_register_service QlSvc stop-now
  wt_register_service QlProfileSvc "$@"
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}

# count_equal DIR REFERENCE_DIR: how many modules in DIR equal those in
# REFERENCE_DIR byte for byte.
count_equal() {
  local module n=0
  for module in "${MODULES[@]}"; do
    cmp -s "$1/$module" "$2/$module" && n=$((n + 1))
  done
  echo "$n"
}


on_record() {
  if grep -q '<Patch03>' "$RECORD" 2>/dev/null; then echo "Patch03 on record"; else echo "not on record"; fi
}


echo "# case 1: QlProfileSvc takes 100 s to stop"
fresh_machine stop-delay 100000
wt_start_tool "$PATCH_DIR"
# While the run waits for the stop, the backup folder it holds cannot be
# renamed (and so not swapped for a link) by anyone.
moved="no lock seen"
if wt_wait_for_file "$BACKUP/qlpatch.lock" 60; then
  wt_wine cmd /c ren 'C:\Qorlink\UpdateBackup' Moved
  moved=kept
  if [ -d "$INSTALL/Moved" ]; then moved=renamed; mv "$INSTALL/Moved" "$BACKUP"; fi
fi
wt_wait_tool
after=$(wt_product_services)
wt_check "slow stop: the backup folder held by the run, not renamed" kept "$moved"
wt_check_exit "slow stop: apply" 9
wt_check "slow stop: both services running when the tool has ended" "$RUNNING $RUNNING" "$after"
wt_check "slow stop: every module the original" "$ALL" "$(count_equal "$INSTALL" "$ORIGINALS")"
wt_check "slow stop: the record" "not on record" "$(on_record)"
if [ "$after" != "$RUNNING $RUNNING" ]; then
  wt_wait_service_state_not QlProfileSvc "$STOP_PENDING" 60
  echo "# slow stop: the services once QlProfileSvc's 100 s were over: $(wt_product_services)"
fi
wt_case_done "case 1 (slow stop)" "$LOG"

echo "# case 2: every module already new, not on record, profiles.dll held open"
fresh_machine stop-now
mkdir -p "$BACKUP/Patch03"
for module in "${MODULES[@]}"; do
  cp "$ORIGINALS/$module" "$BACKUP/Patch03/$module"
  cp "$PATCH_DIR/$module" "$INSTALL/$module"
done
wt_hold_file 'C:\Qorlink\profiles.dll' 3600000
wt_run "$PATCH_DIR"
wt_let_go
new=$(count_equal "$INSTALL" "$PATCH_DIR")
old=$(count_equal "$INSTALL" "$ORIGINALS")
case "$new $old" in
  "$ALL 0" | "0 $ALL") wt_pass "found new: no mix ($new of $ALL new, $old original)" ;;
  *) wt_fail "found new: no mix: $new of $ALL new, $old original, $((ALL - new - old)) neither" ;;
esac
wt_check "found new: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check_exit "found new: apply" 0
wt_check "found new: every module new" "$ALL" "$new"
wt_check "found new: the record" "Patch03 on record" "$(on_record)"
wt_check "found new: every original kept in the per-patch backup" "$ALL" \
  "$(count_equal "$BACKUP/Patch03" "$ORIGINALS")"
wt_case_done "case 2 (found new)" "$LOG"

echo "# case 3: QlProfileSvc runs, but is disabled"
fresh_machine stop-now
wt_disable_service QlProfileSvc
before=$(wt_service_processes)
wt_run "$PATCH_DIR"
wt_check_exit "disabled: apply" 9
wt_check "disabled: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "disabled: neither service stopped (the same processes)" "$before" "$(wt_service_processes)"
wt_check "disabled: QlProfileSvc still disabled" "$SERVICE_DISABLED" "$(wt_start_type QlProfileSvc)"
wt_check "disabled: every module the original" "$ALL" "$(count_equal "$INSTALL" "$ORIGINALS")"
wt_check "disabled: no record, no backup (nothing in UpdateBackup but the run log)" nothing "$(wt_beside_log "$BACKUP")"
said=$(tr -d '\r' <"$LOG" 2>/dev/null | grep -i QlProfileSvc | grep -i disabled | head -n 1)
if [ -n "$said" ]; then
  wt_pass "disabled: the run log says QlProfileSvc is disabled"
  echo "#   $said"
else
  wt_fail "disabled: no line of the run log names QlProfileSvc as disabled"
fi
wt_case_done "case 3 (disabled)" "$LOG"

wt_finish

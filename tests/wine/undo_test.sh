#!/usr/bin/env bash
# qlpatch.exe -c undo under Wine: an applied patch taken back and applied
# again; the refusals that touch nothing (not applied, a later patch over
# it, an original missing from the backup); an undo killed in the middle and
# run again.
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

# fresh_machine [MODULES] [MEGABYTES]: product 4.20 build 0137 with MODULES
# modules (2) padded to MEGABYTES (0), patch 03 for all of them, both
# services running, no backup folder.
fresh_machine() {
  wt_lay_out_patch "$INSTALL" "$PATCH_DIR" "${1:-2}" "${2:-0}"
  MODULES=("${WT_MODULES[@]}")
  rm -rf "$ORIGINALS"
  cp -r "$INSTALL" "$ORIGINALS"
  wt_register_service QlSvc stop-now
  wt_register_service QlProfileSvc stop-now
  wt_start_service QlSvc
  wt_start_service QlProfileSvc
}

# How many installed modules are the originals, byte for byte ("old"), or
# the new copies ("new").
modules_in_state() {  # old|new
  local module n=0 reference
  for module in "${MODULES[@]}"; do
    reference="$ORIGINALS/$module"
    [ "$1" = new ] && reference="$PATCH_DIR/$module"
    cmp -s "$INSTALL/$module" "$reference" && n=$((n + 1))
  done
  echo "$n"
}

services() { echo "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"; }

# An undo refused with CODE: no module, backup or record changed, the
# services never stopped.
check_refused() {  # NAME CODE
  local record_before
  record_before=$(cat "$RECORD" 2>/dev/null | od -An -c)
  local new_before old_before
  new_before=$(modules_in_state new)
  old_before=$(modules_in_state old)
  wt_run "$PATCH_DIR" -c undo
  wt_check_exit "$1: undo" "$2"
  wt_check_silent "$1: undo"
  wt_check "$1: modules untouched" "$new_before $old_before" "$(modules_in_state new) $(modules_in_state old)"
  wt_check "$1: record untouched" "$record_before" "$(cat "$RECORD" 2>/dev/null | od -An -c)"
  wt_check "$1: services never stopped" "$RUNNING $RUNNING" "$(services)"
}

echo "# apply, undo, query, apply again"
fresh_machine
wt_run "$PATCH_DIR"
wt_check_exit "apply" 0
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo" 0
wt_check_silent "undo"
wt_check "undo: every original back byte for byte" "${#MODULES[@]}" "$(modules_in_state old)"
wt_check "undo: services running" "$RUNNING $RUNNING" "$(services)"
wt_check "undo: Patch03 off the record" 0 "$(grep -c 'Patch03' "$RECORD")"
wt_check "undo: the per-patch backup removed" absent "$([ -e "$BACKUP/Patch03" ] && echo present || echo absent)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "query after the undo" 16
wt_run "$PATCH_DIR"
wt_check_exit "apply again" 0
wt_check "apply again: every module new" "${#MODULES[@]}" "$(modules_in_state new)"
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

echo "# an undo killed while it puts the originals back (8 modules of 32 MB), then run again"
fresh_machine 8 32
wt_run "$PATCH_DIR"
wt_check_exit "large apply" 0
wt_start_tool "$PATCH_DIR" -c undo
wt_wait_until 120 test -e "$INSTALL/module3.dll.qlundo" || wt_fail "the undo never reached module3.dll"
wt_kill_tool
echo "# killed with $(modules_in_state old) of 8 originals back, $(modules_in_state new) still new"
wt_check "killed undo: every module whole, the original or the new copy" 8 \
  "$(($(modules_in_state old) + $(modules_in_state new)))"
wt_check "killed undo: still on record" 1 "$(grep -c '<Patch03>' "$RECORD")"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "killed undo, run again" 0
wt_check "killed undo, run again: every original back" 8 "$(modules_in_state old)"
wt_check "killed undo, run again: nothing left beside the modules" "" \
  "$(cd "$INSTALL" && ls -- *.qlundo 2>/dev/null)"
wt_check "killed undo, run again: services running" "$RUNNING $RUNNING" "$(services)"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "killed undo, run again: query" 16

wt_finish

#!/usr/bin/env bash
# qlpatch.exe under Wine with a module another program holds open for good
# (reading, sharing reading only): the apply puts the product back whole
# and running and leaves the whole patch for the next restart (3010); a
# second apply stops nothing; an undo before the restart takes the swap
# back and leaves another program's waiting rename as it was; and a
# restart (wineboot -r carries out PendingFileRenameOperations) puts the
# patch in place. A record another program then keeps shut stops the next
# run before it touches anything.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

INSTALL="$WT_C/Qorlink"
PATCH_DIR="$WT_C/patch03"
BACKUP="$INSTALL/UpdateBackup"
MODULES=(core.dll profiles.dll)
SESSION_MANAGER='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'

# Given with a closing "\", as installers often write it: Windows writes the
# renames without it, and the tool still knows them for its own.
wt_set_install 4.20 0137 'C:\Qorlink\'
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc stop-now
wt_start_service QlSvc
wt_start_service QlProfileSvc
mkdir -p "$INSTALL" "$PATCH_DIR"
wt_write_description "$PATCH_DIR" 4.20 0137 03 "${MODULES[@]}"
for module in "${MODULES[@]}"; do
  printf 'old %s' "$module" >"$INSTALL/$module"
  printf 'new %s' "$module" >"$PATCH_DIR/$module"
done

modules() {  # what each installed module holds, in order
  local module out=""
  for module in "${MODULES[@]}"; do out+="$(cat "$INSTALL/$module") "; done
  echo "${out% }"
}
pending() {  # PendingFileRenameOperations as reg.exe lists it
  wine reg query "$SESSION_MANAGER" /v PendingFileRenameOperations 2>/dev/null </dev/null | tr -d '\r' |
    sed -n 's/.*REG_MULTI_SZ[[:space:]]*//p'
}

# Another program's rename waits for the restart already.
OTHER='\??\C:\other\a.tmp\0\??\C:\other\b.tmp'
wine reg add "$SESSION_MANAGER" /v PendingFileRenameOperations /t REG_MULTI_SZ /f /d "$OTHER" \
  >>"$WT_TMP/wine.log" 2>&1 </dev/null || wt_die "cannot add another program's rename"

echo "# held for good: the apply leaves the patch for the restart"
wt_hold_file 'C:\Qorlink\profiles.dll'
wt_run "$PATCH_DIR"
wt_check_exit "held: the apply" 3010
wt_check "held: both modules the originals" "old core.dll old profiles.dll" "$(modules)"
wt_check "held: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check_log "held: the log says who held it, or that it cannot tell" "$BACKUP/qlpatch.log" \
  'profiles.dll: (held open by process|who holds it open cannot be told|Restart Manager names no process)'
case "$(pending)" in
  *'UpdateBackup\Patch03\profiles.dll.qlswap'*) wt_pass "held: the swap waits for the restart" ;;
  *) wt_fail "held: no swap waits for the restart: [$(pending)]" ;;
esac
wt_run "$PATCH_DIR" -c patch
wt_check_exit "held: the query before the restart" 17

echo "# a second apply before the restart stops nothing"
wt_driver process QlSvc
before=$(tr -d '\r' <"$WT_OUTPUT_FILE")
wt_run "$PATCH_DIR"
wt_check_exit "again: the apply" 3010
wt_driver process QlSvc
wt_check "again: QlSvc not stopped (the same process)" "$before" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"

echo "# an undo before the restart takes the swap back, and only it"
wt_run "$PATCH_DIR" -c undo
wt_check_exit "undo: taken back" 0
wt_check "undo: another program's rename kept, the tool's gone" "$OTHER" "$(pending)"
wt_check "undo: no staged copy left" "" "$(find "$BACKUP" -name '*.qlswap')"
wt_check "undo: both modules the originals" "old core.dll old profiles.dll" "$(modules)"

echo "# applied again, the holder ends, the machine restarts"
wt_run "$PATCH_DIR"
wt_check_exit "restart: the apply" 3010
wt_let_go
wt_wine wineboot -r
wt_check "restart: both modules new" "new core.dll new profiles.dll" "$(modules)"
wt_check "restart: the originals in Patch03" "old core.dll old profiles.dll" \
  "$(cat "$BACKUP/Patch03/core.dll") $(cat "$BACKUP/Patch03/profiles.dll")"
wt_run "$PATCH_DIR" -c patch
wt_check_exit "restart: the query after the restart" 19

echo "# a record another program keeps shut is not taken for a missing one"
wt_driver process QlSvc
before=$(tr -d '\r' <"$WT_OUTPUT_FILE")
wt_hold_file 'C:\Qorlink\UpdateBackup\QlPatch.xml' 3600000 share-nothing
wt_run "$PATCH_DIR" -c patch
wt_check_exit "record shut: the query" 2
wt_run "$PATCH_DIR"
wt_check_exit "record shut: the apply" 2
wt_driver process QlSvc
wt_check "record shut: QlSvc not stopped (the same process)" "$before" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
wt_finish

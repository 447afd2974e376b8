#!/usr/bin/env bash
# qlpatch.exe under Wine, cut off half way on a large product (8 modules of
# 32 MB): an apply killed in the module phase is taken back by the undo,
# and an undo killed while it puts the originals back is finished by the
# next undo, once a module it could not replace is let go.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
# shellcheck source=undo_machine.sh
source "$here/undo_machine.sh"

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

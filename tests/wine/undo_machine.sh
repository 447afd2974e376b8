# The machine the undo tests share: the paths of the product, its patch
# and its backup, and fresh_machine to lay them out. Sourced after
# wt_setup.
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

PATCH_DIR="$WT_C/patch03"
INSTALL="$WT_C/Qorlink"
ORIGINALS="$WT_TMP/originals"
BACKUP="$INSTALL/UpdateBackup"
RECORD="$BACKUP/QlPatch.xml"
MODULES=()

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

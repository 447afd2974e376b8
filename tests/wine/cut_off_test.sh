#!/usr/bin/env bash
# qlpatch.exe under Wine, where a run is cut off or cannot finish: an undo
# killed while it stops QlSvc, then one fleet cycle (the query, and the
# install when the query does not answer 19), which must leave the patch
# applied and the product running; an apply on a disk with room for less
# than one new module, which must stop nothing and change nothing, then
# with room; and an apply whose backup folder is a symbolic link, which
# must write nothing through it. (Dotted module names, applied and undone,
# are cases of the differential test.) The cases share one prefix.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

PATCH_DIR="$WT_C/patch03"
ORIGINALS="$WT_TMP/originals"
MODULES=(module1.dll module2.dll)
ALL=${#MODULES[@]}
INSTALL="" BACKUP="" RECORD="" JOURNAL="" LOG=""

# The small disk: a tmpfs mounted here, and drive E: in the prefix. It is
# unmounted on the way out, before the prefix's folder is removed.
DISK="$WT_TMP/disk"
DISK_MOUNTED=0
end_disk() {
  local status=$?
  if [ "$DISK_MOUNTED" = 1 ]; then
    umount "$DISK" 2>/dev/null || umount -l "$DISK"
  fi
  (exit "$status")
  wt_cleanup
}
trap end_disk EXIT

# fresh_machine WINDOWS_FOLDER LINUX_FOLDER MEGABYTES [SERVICE...]: product
# 4.20 build 0137 in the folder with the modules ("old NAME" and MEGABYTES
# of zeros), patch 03 for them in PATCH_DIR ("new NAME" and the same
# zeros), no backup folder; the services named running, the others stopped.
# The tool waits 10 s on each service it stops, and starts the product's
# services at its end whether it found them running or not: a run that
# needs no running service starts with both stopped.
INSTALL_SET=""
fresh_machine() {
  local windows=$1 module name
  INSTALL=$2
  BACKUP="$INSTALL/UpdateBackup"
  RECORD="$BACKUP/QlPatch.xml"
  JOURNAL="$BACKUP/qlpatch.journal"
  LOG="$BACKUP/qlpatch.log"
  rm -rf "$PATCH_DIR" "$INSTALL" "$ORIGINALS"
  mkdir -p "$INSTALL" "$ORIGINALS"
  [ "$INSTALL_SET" = "$windows" ] || wt_set_install 4.20 0137 "$windows"
  INSTALL_SET=$windows
  wt_write_description "$PATCH_DIR" 4.20 0137 03 "${MODULES[@]}"
  for module in "${MODULES[@]}"; do
    { printf 'old %s' "$module"; head -c "${3}M" /dev/zero; } >"$INSTALL/$module"
    { printf 'new %s' "$module"; head -c "${3}M" /dev/zero; } >"$PATCH_DIR/$module"
    cp "$INSTALL/$module" "$ORIGINALS/$module"
  done
  shift 3
  for name in QlSvc QlProfileSvc; do
    if [[ " $* " == *" $name "* ]]; then
      service_is "$name" "$RUNNING" || wt_start_service "$name"
    else
      service_is "$name" "$STOPPED" || wt_stop_service "$name"
    fi
  done
}

service_is() { [ "$(wt_service_state "$1")" = "$2" ]; }



present() { [ -e "$1" ] && echo present || echo absent; }

# What the install folder holds besides the modules and the backup folder
# (a copy left beside a module), "nothing" when nothing.
beside_modules() {
  local name others=""
  while IFS= read -r name; do
    case " UpdateBackup ${MODULES[*]} " in
      *" $name "*) ;;
      *) others+="$name " ;;
    esac
  done < <(find "$INSTALL" -mindepth 1 -maxdepth 1 -printf '%f\n')
  echo "${others:-nothing}"
}

on_record() { grep -c '<Patch03>' "$RECORD" 2>/dev/null || true; }


# Both services stop at once when asked (stop-now).
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc stop-now

echo "# an undo killed while it stops QlSvc, then one fleet cycle"
# Applied with both services stopped; the apply starts them.
fresh_machine 'C:\Qorlink' "$WT_C/Qorlink" 0
wt_run "$PATCH_DIR"
wt_check_exit "killed undo: the apply before it" 0
wt_check "killed undo: both services running before the undo" "$RUNNING $RUNNING" "$(wt_product_services)"
# The undo asks QlSvc to stop, which it does at once, and then waits 10 s
# before it looks again and goes on to QlProfileSvc: killed in that wait.
# (A QlSvc slow to stop would add another 10 s wait to each run here.)
wt_start_tool "$PATCH_DIR" -c undo
wt_wait_service_state QlSvc "$STOPPED" 60 || wt_fail "killed undo: the undo never stopped QlSvc"
wt_kill_tool
wt_check "killed undo: killed in the stop, QlSvc stopped and QlProfileSvc not yet" "$STOPPED $RUNNING" "$(wt_product_services)"
wt_check "killed undo: killed before any module changed" "$ALL" "$(wt_modules_in_state new)"
# The fleet tool's cycle: the detection query, and the install (an apply)
# unless the query finds the patch applied (19).
wt_run "$PATCH_DIR" -c patch
wt_check_exit "fleet cycle: the query over the killed undo" 16
install="not run, the query answered $WT_EXIT"
if [ "$WT_EXIT" != 19 ]; then
  wt_run "$PATCH_DIR"
  install=$WT_EXIT
fi
wt_check "fleet cycle: the install (exit code)" 0 "$install"
wt_check "fleet cycle: every module new" "$ALL" "$(wt_modules_in_state new)"
wt_check "fleet cycle: nothing left beside the modules" nothing "$(beside_modules)"
wt_check "fleet cycle: the record lists the patch once" 1 "$(on_record)"
wt_check "fleet cycle: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
wt_check "fleet cycle: no journal left" absent "$(present "$JOURNAL")"
wt_case_done "an undo killed while it stops QlSvc" "$LOG"

echo "# a disk with room for less than one new module, then with room"
mkdir -p "$DISK"
if [ "$(id -u)" -ne 0 ] || ! mount -t tmpfs -o size=5m qlpatch-test "$DISK" 2>"$WT_TMP/mount.err"; then
  echo "# the small disk left out: a tmpfs cannot be mounted here ($(head -c 200 "$WT_TMP/mount.err" 2>/dev/null)); it needs root"
else
  DISK_MOUNTED=1
  [ -e "$WINEPREFIX/dosdevices/e:" ] && wt_die "the prefix has a drive E: already"
  ln -s "$DISK" "$WINEPREFIX/dosdevices/e:"
  # Two modules of 2 MB on a 5 MB disk: about 1 MB free.
  fresh_machine 'E:\Qorlink' "$DISK/Qorlink" 2 QlSvc QlProfileSvc
  free=$(df -B1 --output=avail "$DISK" | tail -n 1 | tr -d ' ')
  size=$(stat -c %s "$PATCH_DIR/module1.dll")
  [ "$free" -lt "$size" ] || wt_die "the small disk has $free bytes free, room for a module of $size"
  echo "# $free bytes free for new modules of $size bytes"
  before=$(wt_service_processes)
  wt_run "$PATCH_DIR"
  wt_check_exit "small disk: apply" 14
  wt_check "small disk: every module the original, byte for byte" "$ALL" "$(wt_modules_in_state old)"
  wt_check "small disk: nothing left beside the modules" nothing "$(beside_modules)"
  wt_check "small disk: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
  wt_check "small disk: neither service stopped (the same processes)" "$before" "$(wt_service_processes)"
  wt_check "small disk: no backup, record or journal (the run log only)" nothing "$(wt_beside_log "$BACKUP")"
  mount -o remount,size=64m "$DISK" || wt_die "cannot make the small disk bigger"
  wt_run "$PATCH_DIR"
  wt_check_exit "small disk given room: apply" 0
  wt_check "small disk given room: every module new" "$ALL" "$(wt_modules_in_state new)"
  wt_check "small disk given room: the record lists the patch once" 1 "$(on_record)"
  wt_check "small disk given room: both services running" "$RUNNING $RUNNING" "$(wt_product_services)"
  wt_check "small disk given room: no journal left" absent "$(present "$JOURNAL")"
  wt_case_done "a disk with room for less than one module" "$LOG"
fi

echo "# a backup folder that is a link: refused, nothing written through it"
fresh_machine 'C:\Qorlink' "$WT_C/Qorlink" 0 QlSvc QlProfileSvc
mkdir -p "$WT_TMP/elsewhere"
ln -s "$WT_TMP/elsewhere" "$BACKUP"
before=$(wt_service_processes)
wt_run "$PATCH_DIR"
wt_check_exit "linked backup folder: apply" 24
wt_check "linked backup folder: nothing written through it" "" "$(ls -A "$WT_TMP/elsewhere")"
wt_check "linked backup folder: neither service stopped" "$before" "$(wt_service_processes)"
wt_check "linked backup folder: every module the original" "$ALL" "$(wt_modules_in_state old)"
rm "$BACKUP"
wt_case_done "a backup folder that is a link" "$LOG"

echo "# a per-patch folder, or the lock, that is a link: nothing written or deleted through it"
mkdir -p "$BACKUP"
ln -s "$WT_TMP/elsewhere" "$BACKUP/Patch03"
wt_run "$PATCH_DIR"
wt_check_exit "linked per-patch folder: apply" 24
wt_check "linked per-patch folder: nothing written through it" "" "$(ls -A "$WT_TMP/elsewhere")"
wt_check "linked per-patch folder: neither service stopped" "$before" "$(wt_service_processes)"
rm "$BACKUP/Patch03"
printf 'keep' >"$WT_TMP/elsewhere/keep.txt"
ln -s "$WT_TMP/elsewhere/keep.txt" "$BACKUP/qlpatch.lock"
wt_run "$PATCH_DIR"
wt_check_exit "linked lock: apply" 1618
wt_check "linked lock: the file it points to kept" keep "$(cat "$WT_TMP/elsewhere/keep.txt" 2>&1)"
rm -f "$BACKUP/qlpatch.lock"
wt_case_done "a per-patch folder or a lock that is a link" "$LOG"

wt_finish

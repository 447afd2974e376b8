#!/usr/bin/env bash
# The tool's service workers and process termination under Wine, run through
# service_driver.exe against real services (test_service.exe registered as
# "QlSvc" and "QlProfileSvc") and real processes (dummy.exe copied under the
# product's program names); then the apply against services found stopping,
# service processes that outlive their STOPPED, and a disabled service.
# (Wine does not list dependent services nor refuse a stop for them: the
# unit tests show those.)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

check_state() {  # NAME SERVICE STATE
  wt_check "$1" "$3" "$(wt_service_state "$2")"
}

echo "# stop and start both services"
wt_register_service QlSvc stop-delay 5000      # still stopping at the first poll
wt_register_service QlProfileSvc stop-now
wt_start_service QlSvc
wt_start_service QlProfileSvc
wt_driver stop
wt_check_exit "stop worker with two running services" 0
wt_check "stop worker: status and one release" "status=0 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "stop worker: QlSvc stopped" QlSvc "$STOPPED"
check_state "stop worker: QlProfileSvc stopped" QlProfileSvc "$STOPPED"

wt_driver start
wt_check_exit "start worker with two stopped services" 0
wt_check "start worker: status and one release" "status=0 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "start worker: QlSvc running" QlSvc "$RUNNING"
check_state "start worker: QlProfileSvc running" QlProfileSvc "$RUNNING"

wt_stop_service QlSvc
wt_driver start
wt_check_exit "start worker with only QlSvc stopped" 0
check_state "start worker: QlSvc running again" QlSvc "$RUNNING"
check_state "start worker: QlProfileSvc still running" QlProfileSvc "$RUNNING"

echo "# a first service that never stops (eight polls of 10 s)"
wt_register_service QlSvc never-stop
wt_start_service QlSvc
wt_driver stop
wt_check_exit "stop worker with QlSvc never stopping" 9
wt_check "stop worker: failure status and one release" "status=9 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "stop worker: QlSvc left stopping" QlSvc "$STOP_PENDING"
check_state "stop worker: QlProfileSvc untouched" QlProfileSvc "$RUNNING"

echo "# a first service that cannot start"
wt_register_service QlSvc cannot-start
wt_stop_service QlProfileSvc
wt_driver start
wt_check_exit "start worker with QlSvc failing to start" 10
check_state "start worker: QlProfileSvc untouched" QlProfileSvc "$STOPPED"

echo "# no first service"
wt_remove_service QlSvc
wt_start_service QlProfileSvc
wt_driver stop
wt_check_exit "stop worker without QlSvc" 7
check_state "stop worker without QlSvc: QlProfileSvc untouched" QlProfileSvc "$RUNNING"
wt_stop_service QlProfileSvc
wt_driver start
wt_check_exit "start worker without QlSvc" 7
check_state "start worker without QlSvc: QlProfileSvc untouched" QlProfileSvc "$STOPPED"

echo "# the product's programs"
PRODUCT_PROGRAMS=(SvcDeskAgent.exe QlWin7Agent.exe qltray.exe qlwlicon.exe lnkrtnmon.exe
                  Durirave.exe Save_Wlan_Settings.exe QlOpenWlanPanel.exe)
for name in "${PRODUCT_PROGRAMS[@]}"; do wt_start_program Qorlink "$name"; done
wt_start_program second qltray.exe      # a second instance of one of them
wt_start_program second notqltray.exe   # a name that only ends like one

wt_driver terminate-product
expected=$(for name in "${PRODUCT_PROGRAMS[@]}"; do printf '%s=1\n' "$name"; done)
wt_check "each program found once" "$expected" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
for name in "${PRODUCT_PROGRAMS[@]}"; do
  wt_check "$name ended with exit code 0" "exit=0" "$(wt_program_exit Qorlink "$name")"
  wt_driver count "$name"
  wt_check "$name no longer listed (both qltray.exe)" 0 "$WT_EXIT"
done
wt_driver count notqltray.exe
wt_check "notqltray.exe left running" 1 "$WT_EXIT"

wt_start_program second qltray.exe
wt_driver terminate QLTRAY.EXE
wt_check_exit "QLTRAY.EXE ends a qltray.exe" 1
wt_driver count qltray.exe
wt_check "no qltray.exe left" 0 "$WT_EXIT"
wt_driver terminate qltray.exe
wt_check_exit "qltray.exe when none runs" 0
wt_driver count notqltray.exe
wt_check "notqltray.exe still running" 1 "$WT_EXIT"

echo "# the apply against services as Windows can leave them"
# Each service holds a module open (no sharing but reading), as a loaded
# module is held; the second service is stopped before the run, so only
# the first service's waits stand between the stop and the module moves.
INSTALL="$WT_C/Qorlink"
PATCH_DIR="$WT_C/patch03"
HOLD_MODULE1='hold=C:\Qorlink\module1.dll'

module_is_new() {  # NAME MODULE
  wt_check "$1: $2 replaced" "new $2" "$(head -c $((4 + ${#2})) "$INSTALL/$2")"
}

# Found STOP_PENDING, and holding its module until it is stopped (40 s
# after the stop request, longer than a file step waits for a held file):
# the stop phase waits it through.
wt_lay_out_patch "$INSTALL" "$PATCH_DIR" 2 0
wt_register_service QlSvc stop-delay 40000 "$HOLD_MODULE1"
wt_register_service QlProfileSvc stop-now
wt_start_service QlSvc
wt_wine sc stop QlSvc
wt_wait_service_state QlSvc "$STOP_PENDING" || wt_fail "found stopping: QlSvc not stopping before the run"
wt_run "$PATCH_DIR"
wt_check_exit "found stopping: apply" 0
module_is_new "found stopping" module1.dll
check_state "found stopping: QlSvc running after the run" QlSvc "$RUNNING"

# Reports STOPPED at once, but its process holds the module 40 s longer:
# the stop phase waits (30 s) for the process, and the move waits out the
# rest; a file step alone would give up after 30 s.
wt_lay_out_patch "$INSTALL" "$PATCH_DIR" 2 0
wt_register_service QlSvc stop-now "$HOLD_MODULE1" linger=40000
wt_register_service QlProfileSvc stop-now
wt_start_service QlSvc
wt_driver process QlSvc
wt_check "lingering process: QlSvc runs in a process of its own" "shared=0" \
  "$(tr -d '\r' <"$WT_OUTPUT_FILE" | sed -n 's/^pid=[1-9][0-9]* //p')"
wt_run "$PATCH_DIR"
wt_check_exit "lingering process: apply" 0
module_is_new "lingering process" module1.dll

# QlProfileSvc stopped and disabled by the admin before the run: left so,
# and no failure.
wt_lay_out_patch "$INSTALL" "$PATCH_DIR" 2 0
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc stop-now
wt_start_service QlSvc
wt_driver disable QlProfileSvc
wt_check_exit "disabling QlProfileSvc" 0
wt_run "$PATCH_DIR"
wt_check_exit "second service disabled: apply" 0
module_is_new "second service disabled" module2.dll
check_state "second service disabled: QlSvc running" QlSvc "$RUNNING"
check_state "second service disabled: QlProfileSvc left stopped" QlProfileSvc "$STOPPED"

# QlSvc's first start after the stop hangs before it reaches the manager,
# which gives up on it (1053) and ends it, as on a loaded machine: the
# start is asked again.
wt_lay_out_patch "$INSTALL" "$PATCH_DIR" 2 0
touch "$WT_C/slow-once"
wt_register_service QlSvc slow-once 'C:\slow-once'
wt_start_service QlSvc
rm "$WT_C/slow-once"
wt_run "$PATCH_DIR"
wt_check_exit "start timed out once: apply" 0
module_is_new "start timed out once" module1.dll
check_state "start timed out once: QlSvc running" QlSvc "$RUNNING"
wt_check "start timed out once: asked again" 1 \
  "$(tr -d '\r' <"$INSTALL/UpdateBackup/qlpatch.log" | grep -c 'QlSvc: start 1 of 3 timed out; asking again')"

# QlProfileSvc's stop handler cleans up for 40 s before it returns, past
# the manager's wait for it (1053): the stop was taken, and the run waits
# for the service through the polls.
wt_lay_out_patch "$INSTALL" "$PATCH_DIR" 2 0
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc slow-handler 40000
wt_start_service QlSvc
wt_start_service QlProfileSvc
wt_run "$PATCH_DIR"
wt_check_exit "stop answered late: apply" 0
module_is_new "stop answered late" module2.dll
check_state "stop answered late: QlProfileSvc running" QlProfileSvc "$RUNNING"
wt_check "stop answered late: waited on" 1 "$(tr -d '\r' <"$INSTALL/UpdateBackup/qlpatch.log" |
  grep -c 'QlProfileSvc: the stop was not answered in time; waiting on')"

wt_finish

#!/usr/bin/env bash
# The tool's service workers and process termination under Wine, run through
# service_driver.exe against real services (test_service.exe registered as
# "QlSvc" and "QlProfileSvc") and real processes (dummy.exe copied under the
# product's program names).
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

readonly STOPPED=1 STOP_PENDING=3 RUNNING=4

driver() {
  wt_run_program "$WT_BIN" 'C:\qltest\service_driver.exe' "$@"
}

# The state of a service (see service_driver state), -1 when it does not exist.
state_of() {
  driver state "$1"
  printf '%s\n' "$WT_EXIT"
}

# wait_state NAME STATE: until the service is in that state; false after a minute.
wait_state() {
  local tries=300
  while [ "$(state_of "$1")" != "$2" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

# service NAME MODE [ms]: (re)registers NAME as a test service, stopped.
service() {
  local name=$1
  remove_service "$name"
  wt_wine sc create "$name" binPath= "C:\\qltest\\test_service.exe $*" ||
    wt_die "cannot register $name"
}

remove_service() {
  local state
  state=$(state_of "$1")
  [ "$state" = -1 ] && return 0
  if [ "$state" != "$STOPPED" ]; then
    # Stuck services get no further controls: they end through their event.
    wt_wine 'C:\qltest\test_service.exe' --release "$1"
    wait_state "$1" "$STOPPED" || wt_die "$1 does not stop"
  fi
  wt_wine sc delete "$1"
  wait_state "$1" -1 || wt_die "$1 is not removed"
}

start_service() {
  wt_wine sc start "$1" && wait_state "$1" "$RUNNING" || wt_die "cannot start $1"
}

stop_service() {
  wt_wine sc stop "$1" && wait_state "$1" "$STOPPED" || wt_die "cannot stop $1"
}

check_state() {  # NAME SERVICE STATE
  wt_check "$1" "$3" "$(state_of "$2")"
}

echo "# stop and start both services"
service QlSvc stop-delay 5000      # still stopping at the first poll
service QlProfileSvc stop-now
start_service QlSvc
start_service QlProfileSvc
driver stop
wt_check_exit "stop worker with two running services" 0
wt_check "stop worker: status and one release" "status=0 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "stop worker: QlSvc stopped" QlSvc "$STOPPED"
check_state "stop worker: QlProfileSvc stopped" QlProfileSvc "$STOPPED"

driver start
wt_check_exit "start worker with two stopped services" 0
wt_check "start worker: status and one release" "status=0 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "start worker: QlSvc running" QlSvc "$RUNNING"
check_state "start worker: QlProfileSvc running" QlProfileSvc "$RUNNING"

stop_service QlSvc
driver start
wt_check_exit "start worker with only QlSvc stopped" 0
check_state "start worker: QlSvc running again" QlSvc "$RUNNING"
check_state "start worker: QlProfileSvc still running" QlProfileSvc "$RUNNING"

echo "# a first service that never stops (eight polls of 10 s)"
service QlSvc never-stop
start_service QlSvc
driver stop
wt_check_exit "stop worker with QlSvc never stopping" 9
wt_check "stop worker: failure status and one release" "status=9 released=1" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
check_state "stop worker: QlSvc left stopping" QlSvc "$STOP_PENDING"
check_state "stop worker: QlProfileSvc untouched" QlProfileSvc "$RUNNING"

echo "# a first service that cannot start"
service QlSvc cannot-start
stop_service QlProfileSvc
driver start
wt_check_exit "start worker with QlSvc failing to start" 10
check_state "start worker: QlProfileSvc untouched" QlProfileSvc "$STOPPED"

echo "# no first service"
remove_service QlSvc
start_service QlProfileSvc
driver stop
wt_check_exit "stop worker without QlSvc" 7
check_state "stop worker without QlSvc: QlProfileSvc untouched" QlProfileSvc "$RUNNING"
stop_service QlProfileSvc
driver start
wt_check_exit "start worker without QlSvc" 7
check_state "start worker without QlSvc: QlProfileSvc untouched" QlProfileSvc "$STOPPED"

echo "# the product's programs"
PRODUCT_PROGRAMS=(SvcDeskAgent.exe QlWin7Agent.exe qltray.exe qlwlicon.exe lnkrtnmon.exe
                  Durirave.exe Save_Wlan_Settings.exe QlOpenWlanPanel.exe)
# run_program FOLDER NAME: starts dummy.exe as C:\FOLDER\NAME through the
# launcher, whose line in $WT_TMP/FOLDER-NAME.exit tells how it ended.
run_program() {
  local folder=$1 name=$2
  mkdir -p "$WT_C/$folder"
  cp "$WT_BIN/dummy.exe" "$WT_C/$folder/$name"
  (cd "$WT_C/$folder" && exec wine 'C:\qltest\launch.exe' "C:\\$folder\\$name" "C:\\$folder\\$name.ready" \
     >"$WT_TMP/$folder-$name.exit" 2>/dev/null </dev/null) &
  wt_wait_for_file "$WT_C/$folder/$name.ready" 60 || wt_die "$name did not start"
}
for name in "${PRODUCT_PROGRAMS[@]}"; do run_program Qorlink "$name"; done
run_program second qltray.exe      # a second instance of one of them
run_program second notqltray.exe   # a name that only ends like one

driver terminate-product
expected=$(for name in "${PRODUCT_PROGRAMS[@]}"; do printf '%s=1\n' "$name"; done)
wt_check "each program found once" "$expected" "$(tr -d '\r' <"$WT_OUTPUT_FILE")"
for i in "${!PRODUCT_PROGRAMS[@]}"; do
  name=${PRODUCT_PROGRAMS[$i]}
  if [ "$name" = qltray.exe ]; then
    driver count "$name"
    wt_check "one of two qltray.exe left running" 1 "$WT_EXIT"
  else
    # Its launcher writes its line once the program has ended.
    tries=100
    while ! grep -q '^exit=' "$WT_TMP/Qorlink-$name.exit" && [ $((tries -= 1)) -gt 0 ]; do sleep 0.2; done
    wt_check "$name ended with exit code 0" "exit=0" "$(tr -d '\r' <"$WT_TMP/Qorlink-$name.exit")"
    driver count "$name"
    wt_check "$name no longer listed" 0 "$WT_EXIT"
  fi
done
driver count notqltray.exe
wt_check "notqltray.exe left running" 1 "$WT_EXIT"

driver terminate QLTRAY.EXE
wt_check_exit "QLTRAY.EXE ends the other qltray.exe" 1
driver count qltray.exe
wt_check "no qltray.exe left" 0 "$WT_EXIT"
driver terminate qltray.exe
wt_check_exit "qltray.exe when none runs" 0
driver count notqltray.exe
wt_check "notqltray.exe still running" 1 "$WT_EXIT"

wt_finish

# Shared part of the Wine end-to-end tests of qlpatch.exe. Source it from a
# test script, then call wt_setup "$@" with the arguments CTest passes:
#   qlpatch=PATH launch=PATH test_service=PATH dummy=PATH hold_file=PATH [service_driver=PATH]
#
# wt_setup makes a fresh 64-bit Wine prefix in a temporary folder, copies the
# programs to C:\qltest in it and starts the keep-alive; an EXIT trap ends
# that prefix's Wine server and removes the folder again. Wine programs are
# always run with their output sent to files: a Wine process hands its
# standard handles on to the Wine server and the services it starts, so a
# pipe would stay open for as long as they live.

set -u

export LANG=C.UTF-8 LC_ALL=C.UTF-8  # ANSI code page 1252, OEM code page 437
export WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers in a test prefix
unset DISPLAY

WT_PASSED=0
WT_FAILED=0
WT_TMP=""
WT_C=""            # the prefix's drive_c
WT_BIN=""          # drive_c/qltest: the programs, as C:\qltest
WT_KEEPALIVE_PID=""
WT_EXIT=""         # exit code of the last wt_run, or "none"
WT_OUTPUT_FILE=""  # a file with its standard output, less the launcher's line
WT_PROGRAM_ARGS=() # the programs given on the command line, name=path
WT_MODULES=()      # the module names wt_lay_out_patch made

readonly WT_INSTALL_KEY='HKLM\Software\Tarvex\Durirave\Install'
readonly WT_DATA_FILE=patchql58302.dat

wt_die() {
  echo "error: $*" >&2
  if [ -n "${WT_TMP:-}" ]; then
    wt_print_tail "$WT_TMP/wine.log" 15 "the last lines Wine's own commands printed"
    wt_print_service_errors
  fi >&2
  exit 2
}

# wt_print_tail FILE LINES TITLE: the last LINES lines of FILE under TITLE,
# as comments; nothing when FILE is empty or not there.
wt_print_tail() {
  [ -s "$1" ] || return 0
  echo "# $3:"
  tail -n "$2" "$1" | tr -d '\r' | sed 's/^/#   /'
}

# The service manager's last errors, if it logged any.
wt_print_service_errors() {
  wt_print_tail "$WT_TMP/services.log" 10 "the service manager's last errors"
}

wt_program_path() {  # NAME: the path given as NAME=PATH
  local entry
  for entry in "${WT_PROGRAM_ARGS[@]}"; do
    if [ "${entry%%=*}" = "$1" ]; then
      printf '%s\n' "${entry#*=}"
      return 0
    fi
  done
  return 1
}

wt_cleanup() {
  local status=$?
  trap - EXIT
  if [ -n "$WT_TMP" ] && [ -d "$WT_TMP/prefix" ]; then
    WINEPREFIX="$WT_TMP/prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$WT_TMP/prefix" wineserver -w >/dev/null 2>&1
  fi
  if [ -n "$WT_KEEPALIVE_PID" ]; then
    wait "$WT_KEEPALIVE_PID" 2>/dev/null
  fi
  if [ -n "$WT_TMP" ]; then
    rm -rf "$WT_TMP"
  fi
  exit "$status"
}

# Runs a Wine program from the current folder with no input, its standard
# output to $1 and standard error to $2. Returns wine's (8-bit) status.
wt_wine_to() {
  local out=$1 err=$2
  shift 2
  wine "$@" >"$out" 2>"$err" </dev/null
}

# wine with both outputs appended to the prefix's log.
wt_wine() {
  wine "$@" >>"$WT_TMP/wine.log" 2>&1 </dev/null
}

# Waits until the file $1 exists; false after about $2 seconds.
wt_wait_for_file() {
  local tries=$(( $2 * 10 ))
  while [ ! -e "$1" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Whether this machine's kernel runs 32-bit programs (Wine's 32-bit side
# needs it to run a 32-bit Windows program, even in a 64-bit prefix).
wt_machine_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Picks the build whose programs this machine runs. The 32-bit product's
# tests are skipped (77) where the kernel cannot run 32-bit programs; the
# 64-bit test build of the same source (QLPATCH_WINE_ARCH=x64) runs them
# there instead, and is skipped where the 32-bit one runs. For the 64-bit
# build, wine is Wine's 64-bit loader, and the install values go into both
# registry views (the tool reads the 64-bit one, the kit's scripts the
# 32-bit one, where the product keeps them).
WT_X64=0
wt_pick_build() {
  case "${QLPATCH_WINE_ARCH:-x86}" in
    x86)
      if ! wt_machine_runs_32bit; then
        echo "# skipped: this machine cannot run 32-bit programs; the windows-x64-wine test build runs these tests"
        exit 77
      fi
      ;;
    x64)
      if wt_machine_runs_32bit; then
        echo "# skipped: this machine runs the 32-bit product, whose build runs these tests"
        exit 77
      fi
      WT_X64=1
      ;;
    *) wt_die "unknown QLPATCH_WINE_ARCH: $QLPATCH_WINE_ARCH" ;;
  esac
}

# For the 64-bit build: wine, wine-stable (which Wine's own wineboot,
# winepath ... start) and wineboot run Wine's 64-bit loader directly.
wt_use_wine64() {
  local bin="$WT_TMP/wine64-bin" name
  mkdir -p "$bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$bin/$name"
    chmod +x "$bin/$name"
  done
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 wineboot "$@"\n' >"$bin/wineboot"
  chmod +x "$bin/wineboot"
  export PATH="$bin:$PATH" WINELOADER=/usr/lib/wine/wine64
}

# wt_run_unprivileged SCRIPT ARGS...: when run as root, runs the whole
# script again as the unprivileged user qlwine (made when missing) and ends
# with its status; otherwise returns. Wine run as root ignores read-only
# attributes (root may write any file); as an ordinary user it keeps them,
# as Windows does. The prefix is then made, and owned, by that user.
readonly WT_USER=qlwine
wt_run_unprivileged() {
  [ "$(id -u)" -eq 0 ] || return 0
  command -v runuser >/dev/null || wt_die "runuser is not installed"
  if ! id -u "$WT_USER" >/dev/null 2>&1; then
    useradd -M -r -s /usr/sbin/nologin "$WT_USER" 2>/dev/null
    id -u "$WT_USER" >/dev/null 2>&1 || wt_die "cannot make the user $WT_USER"
  fi
  local home status script=$1 arg args=()
  shift
  home=$(mktemp -d "${TMPDIR:-/tmp}/qlpatch-wine-home.XXXXXX") || wt_die "no temporary folder"
  # The user may not reach the source or build folders (a clone in a
  # folder only root may enter): the scripts and programs go with it.
  mkdir -p "$home/scripts" "$home/programs" &&
    cp -r "$(dirname "$script")/." "$home/scripts/" || wt_die "cannot copy the scripts to $home"
  for arg in "$@"; do
    case "$arg" in
      *=*)
        cp "${arg#*=}" "$home/programs/${arg%%=*}.exe" || wt_die "cannot copy ${arg#*=}"
        args+=("${arg%%=*}=$home/programs/${arg%%=*}.exe")
        ;;
      *) args+=("$arg") ;;
    esac
  done
  chown -R "$WT_USER" "$home" || wt_die "cannot hand $home to $WT_USER"
  runuser -u "$WT_USER" -- env HOME="$home" TMPDIR="$home" \
    bash "$home/scripts/$(basename "$script")" "${args[@]}"
  status=$?
  rm -rf "$home"
  exit "$status"
}

wt_setup() {
  local arg name path
  wt_pick_build
  for arg in "$@"; do
    case "$arg" in
      *=*) WT_PROGRAM_ARGS+=("$arg") ;;
      *) wt_die "unexpected argument: $arg" ;;
    esac
  done
  for name in qlpatch launch test_service dummy; do
    path=$(wt_program_path "$name") || wt_die "no $name=PATH argument"
    [ -f "$path" ] || wt_die "$name not built: $path"
  done
  command -v wine >/dev/null || wt_die "wine is not installed"

  WT_TMP=$(mktemp -d "${TMPDIR:-/tmp}/qlpatch-wine.XXXXXX") || wt_die "no temporary folder"
  trap wt_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  export WINEPREFIX="$WT_TMP/prefix"
  [ "$WT_X64" = 1 ] && wt_use_wine64

  echo "# making a Wine prefix in $WINEPREFIX"
  if ! wineboot -i >"$WT_TMP/wineboot.log" 2>&1 </dev/null; then
    # Seen once, for no reason its log kept: shown, and tried once more
    # from a new prefix, after ending this prefix's server alone.
    echo "# wineboot failed; the end of its log:"
    tail -n 20 "$WT_TMP/wineboot.log" | sed 's/^/#   /'
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    wineboot -i >"$WT_TMP/wineboot.log" 2>&1 </dev/null ||
      { tail -n 20 "$WT_TMP/wineboot.log" | sed 's/^/#   /'; wt_die "wineboot failed again"; }
  fi
  # Wine's service manager gives a service 10 s to reach its dispatcher
  # before StartServiceW fails with ERROR_SERVICE_REQUEST_TIMEOUT; Windows
  # gives it 30 s. On a machine running several Wine tests at once a test
  # service can take longer than 10 s, so the prefix gets Windows' figure
  # (Wine reads it as a string, Windows as a DWORD; read when the service
  # manager starts, which is again below).
  wt_wine_retry reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 30000 /f ||
    wt_die "cannot set the service start time-out"
  # Creating a prefix can leave two service managers behind; let it shut down
  # and start afresh with the keep-alive alone.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1

  WT_C="$WINEPREFIX/drive_c"
  WT_BIN="$WT_C/qltest"
  mkdir -p "$WT_BIN"
  for arg in "${WT_PROGRAM_ARGS[@]}"; do
    cp "${arg#*=}" "$WT_BIN/${arg%%=*}.exe"
  done
  cp "$WT_BIN/dummy.exe" "$WT_BIN/keepalive.exe"

  # Services live only while an ordinary process is left in the prefix. The
  # service manager starts with the keep-alive and keeps its standard error:
  # its own errors (a service that failed to start, and why) go to
  # services.log, which wt_die prints.
  (cd "$WT_BIN" && WINEDEBUG=-all,err+service exec wine 'C:\qltest\keepalive.exe' 'C:\qltest\keepalive.ready' \
     >/dev/null 2>"$WT_TMP/services.log" </dev/null) &
  WT_KEEPALIVE_PID=$!
  wt_wait_for_file "$WT_BIN/keepalive.ready" 120 || wt_die "the keep-alive did not start"
}

# wt_wine_retry COMMAND...: wine COMMAND, tried up to three times. For the
# tests' own set-up steps that may safely be repeated: on a loaded machine a
# Wine command has been seen to fail once for no reason of its own, and a
# set-up step that fails must not pass for a fault of the tool.
wt_wine_retry() {
  local try
  for try in 1 2 3; do
    wt_wine "$@" && return 0
    wt_print_tail "$WT_TMP/wine.log" 5 "wine $1 failed (try $try of 3); the last lines Wine's commands printed"
    sleep 1
  done
  return 1
}

# ---- the product's install values --------------------------------------------

# Removes the install key from both registry views.
wt_clear_install() {
  wt_wine reg delete "$WT_INSTALL_KEY" /f /reg:32
  wt_wine reg delete "$WT_INSTALL_KEY" /f /reg:64
  return 0
}

# wt_set_install VERSION BUILD PATH [VIEW]: sets the three values afresh in
# the 32-bit view (or VIEW, 32 or 64), where the 32-bit tool reads them.
wt_set_install() {
  local view=${4:-32} views
  wt_clear_install
  views=$view
  # The 64-bit test build reads the 64-bit view: "32" (the tool's own view)
  # means both there, and "64" (the view the tool must not read) the 32-bit
  # one alone.
  if [ "$WT_X64" = 1 ]; then
    if [ "$view" = 32 ]; then views="32 64"; else views=32; fi
  fi
  for view in $views; do
    wt_wine_retry reg add "$WT_INSTALL_KEY" /v Version /t REG_SZ /d "$1" /f "/reg:$view" &&
      wt_wine_retry reg add "$WT_INSTALL_KEY" /v BuildID /t REG_SZ /d "$2" /f "/reg:$view" &&
      wt_wine_retry reg add "$WT_INSTALL_KEY" /v Path /t REG_SZ /d "$3" /f "/reg:$view" ||
      wt_die "cannot set the install values"
  done
}

# The Linux path of a Windows path on drive C:, e.g. C:\Qorlink -> .../drive_c/Qorlink.
wt_unix_path() {
  local rest=${1#[Cc]:}
  printf '%s\n' "$WT_C${rest//\\//}"
}

# ---- files ----------------------------------------------------------------------

# wt_make_read_only PATH: gives the file at PATH (a Linux path inside drive_c)
# the read-only attribute the way Wine keeps it, as the file's Unix write
# bits. Done here rather than through Wine's attrib, which once left the
# file writable on a loaded machine with nothing in its output to say so.
wt_make_read_only() {
  chmod a-w "$1" || wt_die "cannot make $1 read-only"
}

# wt_add_attribute LETTER WINPATH: gives the file at WINPATH the attribute
# LETTER (h or s) with Wine's attrib, one attribute a call as Wine's attrib
# takes them, and reads it back from attrib's listing; dies when it does
# not take after three tries.
wt_add_attribute() {
  local letter=${1^^} try
  for try in 1 2 3; do
    wt_wine attrib "+$1" "$2"
    wt_wine_to "$WT_TMP/attrib.txt" /dev/null attrib "$2"
    tr -d '\r' <"$WT_TMP/attrib.txt" | cut -c 1-8 | grep -q "$letter" && return 0
  done
  wt_die "attrib +$1 did not take on $2"
}

# Writes the lines given (each a separate argument) with CR LF line ends.
wt_write_crlf() {
  local file=$1 line
  shift
  : >"$file"
  for line in "$@"; do
    printf '%s\r\n' "$line" >>"$file"
  done
}

# wt_write_description DIR VERSION BUILD PATCHVERSION [MODULE...]
wt_write_description() {
  local dir=$1 version=$2 build=$3 patch=$4 i=0 module
  shift 4
  local lines=("<UpdateQL>"
               "    <Version>$version</Version>"
               "    <BuildID>$build</BuildID>"
               "    <PatchVersion>$patch</PatchVersion>"
               "    <WerNum>$#</WerNum>")
  for module in "$@"; do
    i=$((i + 1))
    lines+=("    <WER$i><UpdateModule>$module</UpdateModule></WER$i>")
  done
  lines+=("</UpdateQL>")
  mkdir -p "$dir"
  wt_write_crlf "$dir/$WT_DATA_FILE" "${lines[@]}"
}

# wt_lay_out_patch INSTALL_DIR PATCH_DIR COUNT MEGABYTES: product 4.20 build
# 0137 installed in INSTALL_DIR (C:\Qorlink, made afresh, no backup folder)
# with COUNT modules module1.dll ... ("old NAME" and MEGABYTES of zeros), and
# patch 03 for all of them in PATCH_DIR ("new NAME" and the same zeros).
# WT_MODULES lists the module names.
wt_lay_out_patch() {
  local install=$1 patch_dir=$2 count=$3 megabytes=$4 i module
  rm -rf "$patch_dir" "$install"
  mkdir -p "$install"
  WT_MODULES=()
  for ((i = 1; i <= count; i++)); do WT_MODULES+=("module$i.dll"); done
  wt_set_install 4.20 0137 'C:\Qorlink'
  wt_write_description "$patch_dir" 4.20 0137 03 "${WT_MODULES[@]}"
  for module in "${WT_MODULES[@]}"; do
    { printf 'old %s' "$module"; head -c "${megabytes}M" /dev/zero; } >"$install/$module"
    { printf 'new %s' "$module"; head -c "${megabytes}M" /dev/zero; } >"$patch_dir/$module"
  done
}

# wt_write_record FILE VERSION CURVERSION [PATCH...]: a record as the tool
# saves it, for one product version, with one element per patch given.
wt_write_record() {
  local file=$1 version=$2 current=$3 patch
  shift 3
  local lines=('<?xml version="1.0" encoding="UTF-8" ?>'
               "<UpdateQL>"
               "    <QL$version>")
  if [ -n "$current" ]; then
    lines+=("        <CurVersion>$current</CurVersion>")
  else
    lines+=("        <CurVersion />")
  fi
  for patch in "$@"; do
    lines+=("        <Patch$patch>"
            "            <QlVersion>$version</QlVersion>"
            "            <PatchVersion>$patch</PatchVersion>"
            "            <Date>2020-03-15</Date>"
            "        </Patch$patch>")
  done
  lines+=("    </QL$version>" "</UpdateQL>")
  mkdir -p "$(dirname "$file")"
  wt_write_crlf "$file" "${lines[@]}"
}

# ---- running the tool -----------------------------------------------------------

# wt_run DIR [ARGS...]: runs C:\qltest\qlpatch.exe through the launcher with DIR
# (a Linux path inside drive_c) as its current folder. Sets WT_EXIT to the
# full exit code ("none" when the launcher gave none) and WT_OUTPUT_FILE to
# a file holding what the tool printed, byte for byte.
wt_run() {
  local dir=$1
  shift
  wt_run_program "$dir" 'C:\qltest\qlpatch.exe' "$@"
}

# wt_run_program DIR PROGRAM [ARGS...]: the same for any program.
#
# On a loaded machine Wine has been seen, once in many runs, to end the
# launcher with nothing at all written, not even its own error line. Such a
# run is shown and tried once more. A program that did run the first time
# leaves its mark (a changed product, a refusal, a different exit code),
# which the test's checks of the second try's code and of the product see.
wt_run_program() {
  local dir=$1 out="$WT_TMP/run.out" err="$WT_TMP/run.err" status
  shift
  (cd "$dir" && wt_wine_to "$out" "$err" 'C:\qltest\launch.exe' "$@")
  status=$?
  if [ ! -s "$out" ] && [ ! -s "$err" ]; then
    echo "# wine ended the launcher with status $status and no word at all; tried once more" >&2
    (cd "$dir" && wt_wine_to "$out" "$err" 'C:\qltest\launch.exe' "$@")
    status=$?
  fi
  # The launcher's line comes last; the tool's output may end without a line
  # end, so the line can start with the tool's last words.
  local last code size before
  last=$(tail -n 1 "$out")
  if [[ "$last" =~ exit=(-?[0-9]+)$'\r'?$ ]]; then
    code=${BASH_REMATCH[1]}
    WT_EXIT=$code
    size=$(stat -c %s "$out")
    before=$(printf '%s' "${last%exit=*}" | LC_ALL=C wc -c)
    WT_OUTPUT_FILE="$WT_TMP/run.output"
    head -c $((size - $(printf '%s\n' "$last" | LC_ALL=C wc -c) + before)) "$out" >"$WT_OUTPUT_FILE"
  else
    WT_EXIT=none
    WT_OUTPUT_FILE="$out"
    echo "# the launcher gave no exit line (wine's status $status); its output: $(tail -c 300 "$out")"
    echo "# its errors: $(head -c 500 "$err")"
  fi
}

# wt_start_tool DIR [ARGS...]: starts C:\qltest\qlpatch.exe from DIR (a Linux
# path inside drive_c) and does not wait. WT_TOOL_PID is the tool's own
# process (wine runs it in the process it was started as); its output goes
# to $WT_TMP/tool.out.
wt_start_tool() {
  local dir=$1
  shift
  (cd "$dir" && exec wine 'C:\qltest\qlpatch.exe' "$@" >"$WT_TMP/tool.out" 2>&1 </dev/null) &
  WT_TOOL_PID=$!
}

# wt_wait_tool: waits for the tool started with wt_start_tool; WT_EXIT is
# its exit code's low 8 bits, as wine hands them on.
wt_wait_tool() {
  wait "$WT_TOOL_PID"
  WT_EXIT=$?
}

# wt_kill_own PID: ends the process PID at once, but only while it is still
# a child of this script. Process ids come round again while Wine tests run
# (the kernel here hands out 32768 and every Wine thread takes one: about
# every 20 minutes with four tests at a time), so the id of a program that
# has already ended may by then belong to a program of another test.
wt_kill_own() {
  local stat ppid
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  # The fields after the command name (in parentheses): state, parent, ...
  read -r _ ppid _ <<<"${stat##*) }"
  if [ "$ppid" = "$BASHPID" ] || [ "$ppid" = "$$" ]; then
    kill -KILL "$1" 2>/dev/null
  fi
  return 0
}

# wt_kill_tool: ends that tool at once, with no chance to tidy up, as a
# fleet tool's time-out or a power button does.
wt_kill_tool() {
  wt_kill_own "$WT_TOOL_PID"
  wait "$WT_TOOL_PID" 2>/dev/null
  return 0
}

# wt_wait_until SECONDS COMMAND...: polls COMMAND every 20 ms until it
# succeeds; false after SECONDS.
wt_wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.02
  done
}

# wt_start_program FOLDER NAME: starts dummy.exe copied as C:\FOLDER\NAME,
# through the launcher, and waits until it runs. The launcher's line in
# $WT_TMP/FOLDER-NAME.exit tells how the program ended.
wt_start_program() {
  local folder=$1 name=$2
  mkdir -p "$WT_C/$folder"
  cp "$WT_BIN/dummy.exe" "$WT_C/$folder/$name"
  rm -f "$WT_C/$folder/$name.ready" "$WT_TMP/$folder-$name.exit"
  (cd "$WT_C/$folder" && exec wine 'C:\qltest\launch.exe' "C:\\$folder\\$name" "C:\\$folder\\$name.ready" \
     >"$WT_TMP/$folder-$name.exit" 2>/dev/null </dev/null) &
  wt_wait_for_file "$WT_C/$folder/$name.ready" 60 || wt_die "$name did not start"
}

# wt_program_exit FOLDER NAME: the launcher's line for a program started with
# wt_start_program once it has ended ("exit=N"), or "running" after ~20 s.
wt_program_exit() {
  local file="$WT_TMP/$1-$2.exit" tries=100
  while ! grep -q '^exit=' "$file"; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then
      echo running
      return
    fi
    sleep 0.2
  done
  tr -d '\r' <"$file"
}

# wt_hold_file WINDOWS_PATH [ms [share-nothing]]: another program holds the
# file open (reading, sharing reading only: it cannot be written, moved,
# replaced or deleted; with share-nothing not even read) for ms
# milliseconds, or until wt_let_go. Returns once it holds it.
wt_hold_file() {
  [ -f "$WT_BIN/hold_file.exe" ] || wt_die "no hold_file=PATH argument"
  rm -f "$WT_BIN/held.ready"
  (cd "$WT_BIN" && exec wine 'C:\qltest\hold_file.exe' "$1" 'C:\qltest\held.ready' ${2:+"$2"} ${3:+"$3"} \
     >>"$WT_TMP/wine.log" 2>&1 </dev/null) &
  WT_HOLD_PID=$!
  wt_wait_for_file "$WT_BIN/held.ready" 60 || wt_die "cannot hold $1"
}

# wt_let_go: the file held by wt_hold_file is let go (at once, if still held).
wt_let_go() {
  wt_kill_own "$WT_HOLD_PID"
  wait "$WT_HOLD_PID" 2>/dev/null
  return 0
}

# ---- services, through service_driver.exe ----------------------------------------

readonly STOPPED=1 START_PENDING=2 STOP_PENDING=3 RUNNING=4
readonly SERVICE_DEMAND_START=3 SERVICE_DISABLED=4  # start types

# Runs service_driver.exe (see there) through the launcher, like wt_run.
wt_driver() {
  wt_run_program "$WT_BIN" 'C:\qltest\service_driver.exe' "$@"
}

# The state of a service (see service_driver state), -1 when it does not exist.
wt_service_state() {
  wt_driver state "$1"
  printf '%s\n' "$WT_EXIT"
}

# wt_wait_service_state NAME STATE [SECONDS]: until the service is in that
# state (-1: it is gone); false after SECONDS, two minutes unless given.
# service_driver polls it every 20 ms in one process: each Wine program
# started costs a fifth of a second of a core. WT_EXIT is left as it was.
wt_wait_service_state() {
  (wt_driver wait "$1" "$2" "${3:-120}"; [ "$WT_EXIT" = 0 ])
}

# wt_wait_service_state_not NAME STATE SECONDS: until it is in another state.
wt_wait_service_state_not() {
  (wt_driver wait-not "$1" "$2" "$3"; [ "$WT_EXIT" = 0 ])
}

# wt_register_service NAME MODE [ARGS...]: (re)registers NAME as a test
# service with that command line, stopped. One this test registered with the
# same command line, and still to be started on demand, is only stopped:
# Wine removes a deleted service once the last handle to it is closed, which
# on a loaded machine has taken minutes.
declare -A WT_REGISTERED=()
wt_register_service() {
  local name=$1 command="C:\\qltest\\test_service.exe $*"
  if [ "${WT_REGISTERED[$name]:-}" = "$command" ] && [ "$(wt_start_type "$name")" = "$SERVICE_DEMAND_START" ]; then
    wt_stop_for_good "$name"
    return
  fi
  wt_remove_service "$name"
  wt_wine sc create "$name" binPath= "$command" || wt_die "cannot register $name"
  WT_REGISTERED[$name]=$command
}

# wt_stop_for_good NAME: the service stopped, however its mode answers a stop.
wt_stop_for_good() {
  [ "$(wt_service_state "$1")" = "$STOPPED" ] && return 0
  # Stuck services get no further controls: they end through their event.
  wt_wine 'C:\qltest\test_service.exe' --release "$1"
  wt_wait_service_state "$1" "$STOPPED" || wt_die "$1 does not stop"
}

wt_remove_service() {
  unset "WT_REGISTERED[$1]"
  [ "$(wt_service_state "$1")" = -1 ] && return 0
  wt_stop_for_good "$1"
  wt_wine sc delete "$1"
  if ! wt_wait_service_state "$1" -1 180; then
    echo "# Wine's processes:" >&2
    ps -eo pid,etimes,args | grep -iE '\.exe' | grep -v grep | sed 's/^/#   /' >&2
    wt_die "$1 is not removed"
  fi
}

# A loaded machine can outlast Wine's 10 s for a service's process to reach
# the manager, which then ends it: such a start is asked again.
wt_start_service() {
  local try
  for try in 1 2 3; do
    wt_wine sc start "$1" && wt_wait_service_state "$1" "$RUNNING" && return 0
    echo "# sc start $1 failed (try $try)"
    sleep 2  # the process of its last start may still be ending
  done
  wt_die "cannot start $1"
}

# The start type of a service (see service_driver start-type), -1 when it
# cannot be read.
wt_start_type() {
  wt_driver start-type "$1"
  printf '%s\n' "$WT_EXIT"
}

# wt_disable_service NAME: sets the service's start type to disabled and
# reads it back from the service manager. (Wine's sc has neither config
# nor qc: both give "command not supported".)
wt_disable_service() {
  local type
  wt_driver disable "$1"
  type=$(wt_start_type "$1")
  [ "$type" = "$SERVICE_DISABLED" ] || wt_die "cannot disable $1: its start type reads $type"
}

wt_stop_service() {
  wt_wine sc stop "$1" && wt_wait_service_state "$1" "$STOPPED" || wt_die "cannot stop $1"
}

# ---- checks ---------------------------------------------------------------------
# How many installed modules are the originals, byte for byte ("old"), or
# the new copies ("new"): the caller's MODULES in INSTALL, against the
# copies in ORIGINALS and PATCH_DIR.
wt_modules_in_state() {  # old|new
  local module n=0 reference
  for module in "${MODULES[@]}"; do
    reference="$ORIGINALS/$module"
    [ "$1" = new ] && reference="$PATCH_DIR/$module"
    cmp -s "$INSTALL/$module" "$reference" && n=$((n + 1))
  done
  echo "$n"
}

# Ends a case of a test of many: says whether its checks passed, and when
# not shows the end of the run log.
WT_CASE_FAILED=0
wt_case_done() {  # NAME LOG
  if [ "$WT_FAILED" -eq "$WT_CASE_FAILED" ]; then
    echo "# $1: passed"
  else
    echo "# $1: FAILED ($((WT_FAILED - WT_CASE_FAILED)) checks)"
    wt_print_tail "$2" 12 "the end of the run log"
  fi
  WT_CASE_FAILED=$WT_FAILED
}


wt_pass() {
  WT_PASSED=$((WT_PASSED + 1))
  echo "ok   - $1"
}

wt_fail() {
  WT_FAILED=$((WT_FAILED + 1))
  echo "FAIL - $1"
}

# The states of QlSvc and QlProfileSvc, in that order.
wt_product_services() { echo "$(wt_service_state QlSvc) $(wt_service_state QlProfileSvc)"; }

# The process ids QlSvc and QlProfileSvc run in: the same ids after a run
# mean it stopped neither of them.
wt_service_processes() {
  local name
  for name in QlSvc QlProfileSvc; do
    wt_driver process "$name"
    printf '%s=%s ' "$name" "$(tr -d '\r' <"$WT_OUTPUT_FILE" | sed -n 's/^pid=\([0-9]*\) .*/\1/p')"
  done
}

# wt_check NAME EXPECTED ACTUAL
wt_check() {
  if [ "$2" = "$3" ]; then
    wt_pass "$1"
  else
    wt_fail "$1: expected [$2], got [$3]"
  fi
}

# wt_check_exit NAME EXPECTED: the last run's exit code.
wt_check_exit() {
  wt_check "$1 (exit code)" "$2" "$WT_EXIT"
}

# wt_check_silent NAME: the last run printed nothing besides the launcher's line.
wt_check_silent() {
  local bytes
  bytes=$(stat -c %s "$WT_OUTPUT_FILE")
  if [ "$WT_EXIT" != none ] && [ "$bytes" -eq 0 ]; then
    wt_pass "$1 (prints nothing)"
  else
    wt_fail "$1 (prints nothing): got $bytes bytes: $(head -c 300 "$WT_OUTPUT_FILE" | od -An -c | tr -s ' \n' ' ')"
  fi
}

# wt_check_file NAME FILE EXPECTED_FILE: byte-for-byte equal.
wt_check_file() {
  if [ ! -f "$2" ]; then
    wt_fail "$1: $2 does not exist"
  elif cmp -s "$2" "$3"; then
    wt_pass "$1"
  else
    wt_fail "$1: content differs"
    diff <(od -An -c "$3") <(od -An -c "$2") | head -n 20 | sed 's/^/#   /'
  fi
}

# wt_beside_log DIR: what the folder DIR (UpdateBackup) holds besides the
# run log, "nothing" when it holds nothing else or is not there. A run that
# is refused or fails may add the log and nothing else.
wt_beside_log() {
  local others
  others=$(ls -A "$1" 2>/dev/null | grep -vx 'qlpatch\.log' | tr '\n' ' ')
  echo "${others:-nothing}"
}

# wt_check_log NAME LOG PATTERN: the run log is UTF-8, every line starts
# with the local date and time, and a line matches the extended regular
# expression PATTERN.
wt_check_log() {
  local name=$1 log=$2 pattern=$3
  if [ ! -f "$log" ]; then
    wt_fail "$name: no run log $log"
    return
  fi
  if ! iconv -f UTF-8 -t UTF-8 "$log" >/dev/null 2>&1; then
    wt_fail "$name: the run log is not UTF-8"
  elif grep -qvE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}' "$log"; then
    wt_fail "$name: an undated line: $(grep -vE '^[0-9]{4}-' "$log" | head -n 1)"
  elif tr -d '\r' <"$log" | grep -qE "$pattern"; then
    wt_pass "$name"
  else
    wt_fail "$name: no line matches [$pattern]; the log ends:"
    tail -n 15 "$log" | sed 's/^/#   /'
  fi
}

wt_finish() {
  echo "$WT_PASSED passed, $WT_FAILED failed"
  [ "$WT_FAILED" -eq 0 ]
}

#!/usr/bin/env bash
# The tool's main job, shown on a throwaway Wine prefix: a demo Qorlink 4.20
# (build 0137) is installed with its two services running and its eight
# programs open; patch 03 is laid out in a folder beside qlpatch.exe, which
# is run there without arguments, as an admin would. Its output is shown,
# then this run's lines of the run log, then the machine as the tool left
# it, and `qlpatch.exe -c patch` is asked again.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/setup.sh >/dev/null || { echo "setup failed" >&2; exit 1; }
# shellcheck source=../tests/wine/lib.sh
source "$here/tests/wine/lib.sh"
# The 32-bit product; on a machine whose kernel cannot run 32-bit programs,
# the 64-bit build of the same source.
preset=windows-x86
if ! wt_machine_runs_32bit; then
  preset=windows-x64-wine
  export QLPATCH_WINE_ARCH=x64
  echo "(this machine cannot run 32-bit programs: the demo runs the 64-bit build of the same source)"
fi
cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 >/dev/null ||
  { echo "build failed" >&2; exit 1; }

bin="$here/build/$preset"
wt_setup qlpatch="$bin/qlpatch.exe" launch="$bin/tests/wine/launch.exe" \
  test_service="$bin/tests/wine/test_service.exe" dummy="$bin/tests/wine/dummy.exe"

programs=(SvcDeskAgent.exe QlWin7Agent.exe qltray.exe qlwlicon.exe lnkrtnmon.exe
          Durirave.exe Save_Wlan_Settings.exe QlOpenWlanPanel.exe)
install="$WT_C/Qorlink"
patch="$WT_C/QlPatch03"

echo
echo "== Installing the demo product in C:\\Qorlink"
mkdir -p "$install"
for module in core.dll profiles.dll; do
  printf 'Qorlink 4.20 build 0137: %s, original\r\n' "$module" >"$install/$module"
done
wt_set_install 4.20 0137 'C:\Qorlink'
for service in QlSvc QlProfileSvc; do
  wt_wine sc create "$service" binPath= "C:\\qltest\\test_service.exe $service stop-now"
  wt_wine sc start "$service"
done
declare -A pids
for program in "${programs[@]}" notepad.exe; do
  cp "$WT_BIN/dummy.exe" "$install/$program"
  rm -f "$install/$program.ready"
  (cd "$install" && exec wine "C:\\Qorlink\\$program" "C:\\Qorlink\\$program.ready" \
     >/dev/null 2>&1 </dev/null) &
  pids[$program]=$!
  wt_wait_for_file "$install/$program.ready" 60 || echo "($program did not start)"
  rm -f "$install/$program.ready"
done
echo "registry (32-bit view): Version 4.20, BuildID 0137, Path C:\\Qorlink"
echo "services QlSvc and QlProfileSvc running; the eight product programs and notepad.exe open"

echo
echo "== Laying out patch 03 in C:\\QlPatch03"
wt_write_description "$patch" 4.20 0137 03 core.dll profiles.dll
for module in core.dll profiles.dll; do
  printf 'Qorlink 4.20 build 0137: %s, patch 03\r\n' "$module" >"$patch/$module"
done
cp "$WT_BIN/qlpatch.exe" "$patch/qlpatch.exe"
(cd "$patch" && ls -1)
echo "--- patchql58302.dat"
tr -d '\r' <"$patch/patchql58302.dat"

echo
echo "== Running qlpatch.exe in C:\\QlPatch03 (stopping each service takes 10 s)"
wt_run_program "$patch" 'C:\QlPatch03\qlpatch.exe'
apply_exit=$WT_EXIT
echo "--- its output"
tr -d '\r' <"$WT_OUTPUT_FILE"
echo "--- exit code: $apply_exit"

echo
echo "== The run log (what an admin reads): C:\\Qorlink\\UpdateBackup\\qlpatch.log"
# The log may hold earlier runs. A run's lines start with "qlpatch
# <version>, apply" (or undo), or, for a run refused before it began, just
# after the run before it ended ("outcome: ..."); the last run's are shown.
log="$install/UpdateBackup/qlpatch.log"
if [ -f "$log" ]; then
  tr -d '\r' <"$log" | awk 'ended || / qlpatch [^ ]+, (apply|undo)$/ { n = 0 }
                            { lines[++n] = $0; ended = / outcome: / }
                            END { for (i = 1; i <= n; i++) print lines[i] }'
else
  echo "(no run log)"
fi

echo
echo "== The machine afterwards"
echo "--- C:\\Qorlink\\UpdateBackup\\QlPatch.xml"
tr -d '\r' <"$install/UpdateBackup/QlPatch.xml" 2>/dev/null || echo "(no record)"
echo "--- backup folder C:\\Qorlink\\UpdateBackup\\Patch03"
for module in core.dll profiles.dll; do
  printf '%-13s installed: %s' "$module" "$(tr -d '\r\n' <"$install/$module")"
  printf '\n%-13s backup:    %s\n' "" "$(tr -d '\r\n' <"$install/UpdateBackup/Patch03/$module" 2>/dev/null || echo missing)"
done
echo "--- services"
for service in QlSvc QlProfileSvc; do
  wine sc query "$service" </dev/null 2>/dev/null | tr -d '\r' | grep -E 'STATE' |
    sed "s/^ */$service: /"
done
echo "--- programs"
for program in "${programs[@]}" notepad.exe; do
  if kill -0 "${pids[$program]}" 2>/dev/null; then state="still running"; else state="ended"; fi
  printf '%-24s %s\n' "$program" "$state"
done

echo
echo "== Asking again: qlpatch.exe -c patch"
wt_run_program "$patch" 'C:\QlPatch03\qlpatch.exe' -c patch
case "$WT_EXIT" in
  19) meaning="the patch is in place: nothing to do" ;;
  16|17) meaning="the patch is still to be applied" ;;
  *) meaning="a failure; see the README's exit-code table" ;;
esac
echo "exit code: $WT_EXIT ($meaning)"

echo
echo "== Removing the demo prefix"
[ "$apply_exit" = 0 ] && [ "$WT_EXIT" = 19 ]

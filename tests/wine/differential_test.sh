#!/usr/bin/env bash
# qlpatch-check.exe against qlpatch.exe: a bounded set of patch folders
# (edges written by hand, and simple mutations of a good description:
# elements missing, repeated and moved, odd WerNum forms, odd module names,
# other encodings), each checked by qlpatch-check.exe and then applied by
# qlpatch.exe on a healthy product whose services are already stopped.
# Where the apply ends with 0 for a module name case, `-c undo` must then
# end with 0 too, with the originals back: the apply, the undo and the
# checker read every name alike.
#
# The two agree when the checker passes the folder and the apply ends with
# 0, or when the first code a finding names is the apply's code. A folder
# the checker flags only with findings that name no code (a warning, see
# the findings table in docs/patch-authors.md) while the apply ends with 0
# is a documented disagreement. Anything else is a fault: the test prints
# the count of each kind and fails on the first kind.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
wt_setup "$@"
wt_program_path qlpatch_check >/dev/null || wt_die "no qlpatch_check=PATH argument"
wt_program_path service_driver >/dev/null || wt_die "no service_driver=PATH argument"

INSTALL="$WT_C/Qorlink"
CASES="$WT_C/diff"
GOOD_MODULES=(core.dll profiles.dll ui.dll)
AGREED=0
WARNINGS=0
FAULTS=0
DIR=""           # the case's patch folder
INSTALLED=()     # the modules the case's product has installed
CASE=""
BACKUP_ROOT=0    # the case's product has its UpdateBackup folder already
UNDO_TOO=0       # an apply that ends with 0 is undone, which must end with 0

wt_set_install 4.20 0137 'C:\Qorlink'
wt_register_service QlSvc stop-now
wt_register_service QlProfileSvc stop-now

# good_lines [MODULE...]: the lines of a good description for the modules.
good_lines() {
  local i=0 module
  LINES=("<UpdateQL>" "    <Version>4.20</Version>" "    <BuildID>0137</BuildID>"
         "    <PatchVersion>03</PatchVersion>" "    <WerNum>$#</WerNum>")
  for module in "$@"; do
    i=$((i + 1))
    LINES+=("    <WER$i><UpdateModule>$module</UpdateModule></WER$i>")
  done
  LINES+=("</UpdateQL>")
}

# new_copy NAME: the new copy of a module in the case's folder, its name
# taken as the tool takes it (Windows path, '\' a separator).
new_copy() {
  [ -n "$1" ] || return 0
  local path="$DIR/${1//\\//}"
  mkdir -p "$(dirname "$path")"
  printf 'new %s\r\n' "$1" >"$path"
}

# begin NAME [MODULE...]: a case folder with a good description for the
# modules (the good three when none are given), a new copy of each, and the
# same modules installed.
begin() {
  CASE=$1
  shift
  local modules=("$@") module
  [ "$#" -gt 0 ] || modules=("${GOOD_MODULES[@]}")
  # The case's folder: its name without what a path would read as a step.
  DIR="$CASES/$(printf '%s' "$CASE" | tr '\\/:' '___')"
  rm -rf "$DIR"
  mkdir -p "$DIR"
  good_lines "${modules[@]}"
  write_lines
  for module in "${modules[@]}"; do new_copy "$module"; done
  # The product has the modules a folder can name: a name the tool refuses
  # names no installed module.
  INSTALLED=()
  for module in "${modules[@]}"; do
    case "$module" in
      '' | *..* | [A-Za-z]:* | [\\/]* | *:* | NUL | Com1 | 'aux .dll' | 'bin\prn.dll' | UpdateBackup | CurVersion.qlprev) ;;
      *) INSTALLED+=("$module") ;;
    esac
  done
}

write_lines() { wt_write_crlf "$DIR/$WT_DATA_FILE" "${LINES[@]}"; }

# The product as installed for the case: its modules, no backup folder, no record.
install_product() {
  local module path
  rm -rf "$INSTALL"
  mkdir -p "$INSTALL"
  [ "$BACKUP_ROOT" = 1 ] && mkdir -p "$INSTALL/UpdateBackup"
  for module in "${INSTALLED[@]}"; do
    path="$INSTALL/${module//\\//}"
    mkdir -p "$(dirname "$path")"
    printf 'old %s\r\n' "$module" >"$path"
  done
}

# short_name FOLDER NAME: Wine's 8.3 alias of NAME in FOLDER (a Windows
# path), as `dir /x` lists it.
short_name() {
  wine cmd /c "dir /x $1" 2>/dev/null </dev/null | tr -d '\r' | awk -v name="$2" '$NF == name { print $(NF - 1) }'
}

# judge: installs the case's product, checks the case's folder against it,
# applies it and compares.
judge() {
  local checked stated applied findings undone=-
  install_product
  wt_run_program "$DIR" 'C:\qltest\qlpatch_check.exe'
  # The check only reads: a launch that Wine lost on a loaded machine (no
  # exit line at all) is made again, once.
  [ "$WT_EXIT" = none ] && wt_run_program "$DIR" 'C:\qltest\qlpatch_check.exe'
  checked=$WT_EXIT
  tr -d '\r' <"$WT_OUTPUT_FILE" >"$WT_TMP/findings.txt"
  # The findings are the lines before the summary.
  findings=$(sed -n '/^Summary$/q;/^Checking /d;p' "$WT_TMP/findings.txt")
  stated=$(printf '%s\n' "$findings" | grep -o -m1 -E 'with -?[0-9]+ \(' | head -n1 | grep -o -E -- '-?[0-9]+')
  local log="$INSTALL/UpdateBackup/qlpatch.log" logged
  logged=$(stat -c %s "$log" 2>/dev/null || echo 0)
  wt_run "$DIR"
  # So is an apply's launch that Wine lost before the tool logged anything.
  if [ "$WT_EXIT" = none ] && [ "$(stat -c %s "$log" 2>/dev/null || echo 0)" = "$logged" ]; then
    wt_run "$DIR"
  fi
  applied=$WT_EXIT
  if [ "$UNDO_TOO" = 1 ] && [ "$applied" = 0 ]; then
    wt_run "$DIR" -c undo
    undone=$WT_EXIT
    local module
    for module in "${INSTALLED[@]}"; do
      [ "$(tr -d '\r' <"$INSTALL/${module//\\//}")" = "old $module" ] || undone="$undone, $module not put back"
    done
  fi
  # The next case finds the services stopped again: a run that ends with
  # 0 started them, one that fails after the modules may have.
  case "$applied" in
    0 | 2 | 10 | 11)
      wt_wine cmd /c 'sc stop QlSvc & sc stop QlProfileSvc'
      if ! wt_wait_service_state QlSvc "$STOPPED" || ! wt_wait_service_state QlProfileSvc "$STOPPED"; then
        wt_die "the services do not stop"
      fi
      ;;
  esac
  local verdict
  if [ "$undone" != - ] && [ "$undone" != 0 ]; then
    verdict=fault
  elif [ "$checked" = 0 ] && [ "$applied" = 0 ]; then
    verdict=agreed
  elif [ "$checked" = 1 ] && [ -n "$stated" ] && [ "$stated" = "$applied" ]; then
    verdict=agreed
  elif [ "$checked" = 1 ] && [ -z "$stated" ] && [ "$applied" = 0 ]; then
    verdict=warning
  else
    verdict=fault
  fi
  case "$verdict" in
    agreed) AGREED=$((AGREED + 1)) ;;
    warning) WARNINGS=$((WARNINGS + 1)) ;;
    fault) FAULTS=$((FAULTS + 1)) ;;
  esac
  local first
  first=$(printf '%s\n' "$findings" | head -n1)
  printf '%-8s %-28s check %s (states %s), apply %s, undo %s: %s\n' "$verdict" "$CASE" "$checked" \
    "${stated:--}" "$applied" "$undone" "${first:-no findings}"
  if [ "$verdict" = fault ]; then
    sed 's/^/#   /' "$WT_TMP/findings.txt"
    wt_print_tail "$INSTALL/UpdateBackup/qlpatch.log" 15 "the apply's run log ends"
    wt_print_service_errors
  fi
}

# mutate NAME SED-SCRIPT: the good folder with its description changed by sed.
mutate() {
  begin "$1"
  sed -i -e "$2" "$DIR/$WT_DATA_FILE"
  judge
}

echo "# the good folder"
begin good
judge

echo "# each element missing, repeated and moved to the end"
for element in Version BuildID PatchVersion WerNum WER1 WER2 WER3; do
  mutate "no-$element" "/<$element>/d"
done
for element in Version WerNum WER2; do
  mutate "twice-$element" "/<$element>/p"
done
for element in PatchVersion WER1; do
  mutate "last-$element" "/<$element>/{h;d};/<\/UpdateQL>/{x;G}"
done
mutate "no-UpdateModule-2" 's#<WER2><UpdateModule>profiles.dll</UpdateModule></WER2>#<WER2></WER2>#'
mutate "no-UpdateModule-3" 's#<WER3><UpdateModule>ui.dll</UpdateModule></WER3>#<WER3/>#'
mutate "comment-before-WER1" 's#^\( *\)<WER1>#\1<!-- modules -->\n\1<WER1>#'
mutate "text-in-WER1" 's#<WER1><UpdateModule>#<WER1>core<UpdateModule>#'
mutate "WER01" 's#WER1>#WER01>#g'
mutate "WER4-beyond" 's#^</UpdateQL>#<WER4><UpdateModule>x.dll</UpdateModule></WER4>\n</UpdateQL>#'

echo "# WerNum forms"
for form in ' 3' '+3' '03' '0x3' '-1' '0' '4' '' 'three' $'\xEF\xBC\x93'; do
  mutate "WerNum[$form]" "s#<WerNum>3<#<WerNum>$form<#"
done

echo "# values"
mutate "Version-empty" 's#<Version>4.20<#<Version><#'
mutate "BuildID-empty" 's#<BuildID>0137<#<BuildID><#'
mutate "PatchVersion-word" 's#<PatchVersion>03<#<PatchVersion>3 hotfix<#'
mutate "PatchVersion-fullwidth" $'s#<PatchVersion>03<#<PatchVersion>\xEF\xBC\x90\xEF\xBC\x93<#'

echo "# module names"
UNDO_TOO=1
name_case() {  # NAME MODULE [installed-too]
  begin "$1" core.dll "$2"
  judge
}
for name in NUL 'Com1' 'aux .dll' 'bin\prn.dll' UpdateBackup \
            './m1.dll' '.\m2.dll' 'bin\m3.dll' '..\m4.dll' 'C:\m5.dll' 'M7.DLL' 'm9.dll:x' CurVersion.qlprev \
            "$(printf 'm%060d.dll' 9)" "$(printf 'm%058d.dll' 9)"; do
  name_case "name[$name]" "$name"
done
# Windows drops a name's trailing dots and spaces: the files carry the name without them.
begin "name[m8.dll. ]" core.dll 'm8.dll. '
mv "$DIR/m8.dll. " "$DIR/m8.dll"
INSTALLED=(core.dll m8.dll)
judge
begin "name-empty" core.dll ''
judge
begin "same-module-twice" core.dll CORE.DLL
judge
begin "same-module-dotted" core.dll '.\core.dll'
judge
# 8.3 aliases, as Wine makes them for the installed files: one of another
# listed module, and one of the backup folder.
begin "alias-of-a-listed-module" core.dll longmodulename.dll
install_product
alias=$(short_name 'C:\Qorlink' longmodulename.dll)
[ -n "$alias" ] && [ "$alias" != longmodulename.dll ] || wt_die "no 8.3 alias of longmodulename.dll: '$alias'"
good_lines core.dll longmodulename.dll "$alias"
write_lines
judge
BACKUP_ROOT=1
begin "alias-of-the-backup-folder" core.dll
install_product
alias=$(short_name 'C:\Qorlink' UpdateBackup)
[ -n "$alias" ] && [ "$alias" != UpdateBackup ] || wt_die "no 8.3 alias of UpdateBackup: '$alias'"
good_lines core.dll "$alias\\x.dll"
write_lines
judge
BACKUP_ROOT=0
# A name outside ASCII: the tool widens its bytes with the ANSI code page,
# so its files carry the name that makes (what Linux shows of it is UTF-8).
begin "name-outside-ascii" core.dll $'\xE6\x97\xA5\xE6\x9C\xAC.dll'
widened=$(printf '\xE6\x97\xA5\xE6\x9C\xAC.dll' | iconv -f CP1252 -t UTF-8)
mv "$DIR/"$'\xE6\x97\xA5\xE6\x9C\xAC.dll' "$DIR/$widened"
INSTALLED=(core.dll "$widened")
judge

UNDO_TOO=0

echo "# new copies"
begin "new-copy-missing"
rm "$DIR/ui.dll"
judge
begin "new-copy-a-folder"
rm "$DIR/ui.dll" && mkdir "$DIR/ui.dll"
judge
begin "new-copy-read-only"
wt_make_read_only "$DIR/ui.dll"
judge
begin "new-copy-hidden-system"
wt_add_attribute h "C:\\diff\\$CASE\\ui.dll"
wt_add_attribute s "C:\\diff\\$CASE\\ui.dll"
judge

echo "# encodings and whole files"
begin "utf8-bom"
{ printf '\xEF\xBB\xBF'; cat "$DIR/$WT_DATA_FILE"; } >"$WT_TMP/d" && mv "$WT_TMP/d" "$DIR/$WT_DATA_FILE"
judge
begin "utf16"
iconv -f UTF-8 -t UTF-16 "$DIR/$WT_DATA_FILE" >"$WT_TMP/d" && mv "$WT_TMP/d" "$DIR/$WT_DATA_FILE"
judge
begin "lf-only"
sed -i 's/\r$//' "$DIR/$WT_DATA_FILE"
judge
begin "declaration-latin1"
good_lines core.dll $'caf\xE9.dll'
LINES=('<?xml version="1.0" encoding="ISO-8859-1" ?>' "${LINES[@]}")
write_lines
new_copy core.dll
cafe=$(printf 'caf\xE9.dll' | iconv -f CP1252 -t UTF-8)
printf 'new\r\n' >"$DIR/$cafe"
INSTALLED=(core.dll "$cafe")
judge
begin "zero-byte-inside"
sed -i 's#<WER2>#\x00<WER2>#' "$DIR/$WT_DATA_FILE"
judge
begin "parse-error-before-WER3"
sed -i 's#<WER3>#<WER3 <#' "$DIR/$WT_DATA_FILE"
judge
begin "root-renamed"
sed -i 's#UpdateQL>#UpdateQl>#g' "$DIR/$WT_DATA_FILE"
judge
begin "blank"
printf '\xEF\xBB\xBF \r\n' >"$DIR/$WT_DATA_FILE"
judge
begin "no-description"
rm "$DIR/$WT_DATA_FILE"
judge
begin "deeper-than-allowed"
deep=""
for ((i = 0; i < 12001; i++)); do deep+="<a>"; done
sed -i "s#^</UpdateQL>#$deep</UpdateQL>#" "$DIR/$WT_DATA_FILE"
judge

echo "# agreed $AGREED, documented warnings $WARNINGS, undocumented disagreements $FAULTS"
wt_check "undocumented disagreements between qlpatch-check.exe and qlpatch.exe" 0 "$FAULTS"
wt_finish

#!/usr/bin/env bash
# Prints deb-src entries (deb822 format) for every binary package source
# this machine's apt uses, so `apt-get source` fetches from the same
# archives, mirror and keys as `apt-get install` does.
#
#   scripts/deb_src.sh [APT_DIR]     (default /etc/apt)
#
# Reads APT_DIR/sources.list and APT_DIR/sources.list.d/*.list (one-line
# format) and APT_DIR/sources.list.d/*.sources (deb822 format); a "deb"
# entry gives a "deb-src" entry with the same URIs, suites, components and
# signing key. Disabled entries are left out, and so is the file that
# scripts/setup.sh writes the result to. Fails when there is no deb entry.
set -euo pipefail
apt_dir=${1:-/etc/apt}
own_file=qlpatch-deb-src.sources

one_line=()
deb822=()
[ -f "$apt_dir/sources.list" ] && one_line+=("$apt_dir/sources.list")
for file in "$apt_dir"/sources.list.d/*.list; do
  [ -f "$file" ] && one_line+=("$file")
done
for file in "$apt_dir"/sources.list.d/*.sources; do
  [ -f "$file" ] && [ "$(basename "$file")" != "$own_file" ] && deb822+=("$file")
done

out=$(mktemp)
trap 'rm -f "$out"' EXIT
{
  if [ ${#one_line[@]} -gt 0 ]; then
    # deb [option=value ...] URI SUITE [COMPONENT ...]   # comment
    awk '
      { sub(/#.*/, "") }
      $1 != "deb" { next }
      {
        line = $0
        sub(/^[ \t]*deb[ \t]+/, "", line)
        signed = ""; trusted = ""
        if (line ~ /^\[/) {
          end = index(line, "]")
          if (end == 0) next
          n = split(substr(line, 2, end - 2), opts, /[ \t]+/)
          for (i = 1; i <= n; i++) {
            if (opts[i] ~ /^signed-by=/) signed = substr(opts[i], 11)
            else if (opts[i] ~ /^trusted=/) trusted = substr(opts[i], 9)
          }
          line = substr(line, end + 1)
        }
        n = split(line, words, /[ \t]+/)
        k = 0
        for (i = 1; i <= n; i++) if (words[i] != "") parts[++k] = words[i]
        if (k < 2) next
        components = ""
        for (i = 3; i <= k; i++) components = components (i > 3 ? " " : "") parts[i]
        printf "Types: deb-src\nURIs: %s\nSuites: %s\n", parts[1], parts[2]
        if (components != "") printf "Components: %s\n", components
        if (signed != "") printf "Signed-By: %s\n", signed
        if (trusted != "") printf "Trusted: %s\n", trusted
        printf "\n"
      }' "${one_line[@]}"
  fi
  if [ ${#deb822[@]} -gt 0 ]; then
    # Stanzas of "Field: value" lines, continued by lines that start with
    # white space, between blank lines; "#" lines are comments.
    awk '
      function flush(   i) {
        if (count > 0 && is_deb && enabled) {
          printf "Types: deb-src\n"
          for (i = 1; i <= count; i++) printf "%s\n", field[i]
          printf "\n"
        }
        count = 0; is_deb = 0; enabled = 1; keep = 0
      }
      BEGIN { count = 0; is_deb = 0; enabled = 1; keep = 0 }
      FNR == 1 { flush() }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { if (keep) field[count] = field[count] "\n" $0; next }
      {
        name = tolower($0); sub(/:.*/, "", name)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value)
        keep = 0
        if (name == "types") {
          n = split(value, types, /[ \t]+/)
          for (i = 1; i <= n; i++) if (types[i] == "deb") is_deb = 1
          for (i = 1; i <= n; i++) if (types[i] == "deb-src") is_deb = 0
        } else if (name == "enabled") {
          if (tolower(value) == "no") enabled = 0
        } else if (name != "architectures") {
          field[++count] = $0
          keep = 1
        }
      }
      END { flush() }' "${deb822[@]}"
  fi
} >"$out"
if ! grep -q '^URIs: ' "$out"; then
  echo "deb_src: no deb entry found in $apt_dir" >&2
  exit 1
fi
# No blank line after the last entry.
sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$out"

#!/usr/bin/env bash
# The README's exit-code table against the code: every code in
# shared/result_codes.h has one row, with the message the tool gives for it
# (from shared/result_codes.cpp; a code without an entry there is printed
# as "unknow error N!"), and the table lists no code the tool lacks.
#   readme_exit_codes_test.sh README RESULT_CODES_H RESULT_CODES_CPP
set -uo pipefail
readme=$1 header=$2 source=$3

# The rows of the table under "## Exit codes": "CODE<TAB>MESSAGE".
rows=$(awk '/^## / { inside = ($0 == "## Exit codes") } inside' "$readme" |
  sed -n 's/^| *\(-\{0,1\}[0-9][0-9]*\) *| *\([^|]*[^ |]\) *|.*/\1\t\2/p')
[ -n "$rows" ] || { echo "no exit-code table under \"## Exit codes\" in $readme"; exit 1; }

failed=0
declare -A listed
while IFS=$'\t' read -r code message; do
  [ -z "${listed[$code]+x}" ] || { echo "code $code: listed twice"; failed=1; }
  listed[$code]=$message
done <<<"$rows"

declare -A known
while read -r name code; do
  known[$code]=1
  message=$(sed -n "s/^ *{$name, L\"\\(.*\\)\"},.*/\\1/p" "$source")
  [ -n "$message" ] || message="unknow error $code!"
  if [ -z "${listed[$code]+x}" ]; then
    echo "code $code ($name, \"$message\"): missing from the README's table"
    failed=1
  elif [ "${listed[$code]}" != "$message" ]; then
    echo "code $code ($name): the README says \"${listed[$code]}\", the tool \"$message\""
    failed=1
  fi
done < <(sed -n 's/^constexpr ResultCode \(RC_[A-Z0-9_]*\) = \(-\{0,1\}[0-9][0-9]*\);.*/\1 \2/p' "$header")

for code in "${!listed[@]}"; do
  [ -n "${known[$code]+x}" ] || { echo "code $code: in the README's table, but not a code of the tool"; failed=1; }
done

[ "$failed" -eq 0 ] && echo "the README's exit-code table matches the code's ${#known[@]} codes"
exit "$failed"

#!/usr/bin/env bash
# The board table's three readers (CMake for the C++ header, Python, bash) read the same rows and refuse the same malformed tables.
# Usage: board_table_readers_test.sh CMAKE
set -uo pipefail
readonly CMAKE=${1:?usage: board_table_readers_test.sh CMAKE}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly TABLE=$here/board_table.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# read_with READER TABLE: the rows READER reads from TABLE, one a line; false when it refuses TABLE.
read_with() {
  case "$1" in
    cmake) "$CMAKE" -DTABLE="$2" -DROWS="$work/rows" -P "$here/board_table.cmake" >/dev/null 2>&1 && cat "$work/rows" ;;
    python) python3 "$here/../../tests/tools/board_table.py" "$2" 2>/dev/null ;;
    bash) (BOARD_TABLE_FILE=$2 && . "$here/board_table.sh" && board_table_rows) 2>/dev/null ;;
  esac
}

readonly READERS=(cmake python bash)

# expect_rows NAME TABLE: every reader takes TABLE, and all read the same rows.
expect_rows() {
  local reader rows first='' first_reader=''
  for reader in "${READERS[@]}"; do
    rm -f "$work/rows"
    if ! rows=$(read_with "$reader" "$2"); then
      fail "$1: $reader refuses it"
      continue
    fi
    [ -n "$rows" ] || fail "$1: $reader reads no rows"
    if [ -z "$first_reader" ]; then
      first=$rows first_reader=$reader
    elif [ "$rows" != "$first" ]; then
      fail "$1: $reader reads"$'\n'"$rows"$'\n'"where $first_reader reads"$'\n'"$first"
    fi
  done
  LAST_ROWS=$first
}

# expect_refused NAME TEXT: every reader refuses a table of TEXT.
expect_refused() {
  local reader file="$work/$1.txt"
  printf '%b' "$2" >"$file"
  for reader in "${READERS[@]}"; do
    rm -f "$work/rows"
    if read_with "$reader" "$file" >/dev/null; then fail "$1: $reader takes it"; fi
  done
}

# The table itself: all three agree, on one row a variant in order.
expect_rows "board_table.txt" "$TABLE"
variants=$(cut -d ' ' -f 1 <<<"$LAST_ROWS" | tr '\n' ' ')
[ "$variants" = "$(seq -s ' ' 1 "$(wc -l <<<"$LAST_ROWS")") " ] || fail "board_table.txt: variants $variants"

# Layout the readers must see through: tabs, CR LF, blank lines, indented
# comments holding ";" and brackets.
row1='1 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0120 0x40 single'
row2='2 EF56GH78 0x0A0B 0x40 0x0120 0x10 0x0121 0x10 two-reads'
printf '# a; [comment\r\n\r\n  # [indented]\r\n1\tAB12CD34  0x0A0B\t0x40 0x0120 0x10 0x0120 0x40  single \r\n\r\n%s\r\n' "$row2" \
  >"$work/layout.txt"
expect_rows "tabs, CR LF and comments" "$work/layout.txt"
[ "$LAST_ROWS" = "$row1"$'\n'"$row2" ] || fail "tabs, CR LF and comments: read as"$'\n'"$LAST_ROWS"

# One fault each.
bad=(
  "no rows|# only a comment\n"
  "variant out of order|$row2\n$row1\n"
  "variant missing|$row1\n3 EF56GH78 0x0A0B 0x40 0x0120 0x10 0x0121 0x10 two-reads\n"
  "part number twice|$row1\n2 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0121 0x10 two-reads\n"
  "part of seven|1 AB12CD3 0x0A0B 0x40 0x0120 0x10 0x0120 0x40 single\n"
  "part of nine|1 AB12CD345 0x0A0B 0x40 0x0120 0x10 0x0120 0x40 single\n"
  "column missing|1 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0120 single\n"
  "column more|$row1 x\n"
  "port of three digits|1 AB12CD34 0x0A0B 0x40 0x120 0x10 0x0120 0x40 single\n"
  "port without 0x|1 AB12CD34 0A0B 0x40 0x0120 0x10 0x0120 0x40 single\n"
  "lower-case hex|1 AB12CD34 0x0a0b 0x40 0x0120 0x10 0x0120 0x40 single\n"
  "mask of 0x00|1 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0120 0x00 single\n"
  "step bit of 0x00|1 AB12CD34 0x0A0B 0x00 0x0120 0x10 0x0120 0x40 single\n"
  "unknown rule|1 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0120 0x40 double\n"
  "variant 0|0 AB12CD34 0x0A0B 0x40 0x0120 0x10 0x0120 0x40 single\n"
  "semicolon in a row|1 AB12CD34;0x0A0B 0x40 0x0120 0x10 0x0120 0x40 single\n"
)
for case in "${bad[@]}"; do
  expect_refused "${case%%|*}" "${case#*|}"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "the three readers agree on board_table.txt and on the layout case, and refuse all ${#bad[@]} faulty tables"

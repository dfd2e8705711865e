# The board variants' test-side table (board_table.txt beside this file) for bash scripts: source it.
# BOARD_TABLE_FILE names another table (for the readers' test).

BOARD_TABLE_FILE=${BOARD_TABLE_FILE:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/board_table.txt}

# board_table_rows: the table's rows, one a line with single spaces:
#   variant part step_port step_bit down_port down_mask up_port up_mask rule
# Nothing, and false, with the reason on stderr, when any line is malformed.
board_table_rows() {
  local LC_ALL=C  # letters and digits of ASCII only
  local port='0x[0-9A-F]{4}' byte='0x[0-9A-F]{2}' space='[[:space:]]+'
  local re="^([1-9][0-9]*)$space([A-Za-z0-9]{8})$space($port)$space($byte)$space($port)$space($byte)"
  re+="$space($port)$space($byte)$space(single|two-reads|filtered-reapply)\$"
  local line number=0 rows='' count=0 parts=' '
  if [ ! -r "$BOARD_TABLE_FILE" ]; then
    echo "board table: cannot read $BOARD_TABLE_FILE" >&2
    return 1
  fi
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=${line%$'\r'}
    line=${line#"${line%%[![:space:]]*}"}
    line=${line%"${line##*[![:space:]]}"}
    [ -z "$line" ] || [ "${line:0:1}" = '#' ] && continue
    if ! [[ $line =~ $re ]]; then
      echo "board table: $BOARD_TABLE_FILE:$number: not a board row: $line" >&2
      return 1
    fi
    local f=("${BASH_REMATCH[@]:1}")
    if [ "${f[0]}" != $((count + 1)) ]; then
      echo "board table: $BOARD_TABLE_FILE:$number: variant ${f[0]} where variant $((count + 1)) is due" >&2
      return 1
    fi
    if [ "${f[3]}" = 0x00 ] || [ "${f[5]}" = 0x00 ] || [ "${f[7]}" = 0x00 ]; then
      echo "board table: $BOARD_TABLE_FILE:$number: a step bit or latch mask of 0x00" >&2
      return 1
    fi
    if [[ $parts == *" ${f[1]} "* ]]; then
      echo "board table: $BOARD_TABLE_FILE:$number: part number ${f[1]} is in the table twice" >&2
      return 1
    fi
    parts+="${f[1]} "
    count=$((count + 1))
    rows+="${f[*]}"$'\n'
  done <"$BOARD_TABLE_FILE"
  if [ "$count" -eq 0 ]; then
    echo "board table: $BOARD_TABLE_FILE has no rows" >&2
    return 1
  fi
  printf '%s' "$rows"
}

# board_variants: the table's variants, one a line.
board_variants() {
  local rows
  rows=$(board_table_rows) || return 1
  cut -d ' ' -f 1 <<<"$rows"
}

# board_row VARIANT: sets BOARD_PART, BOARD_STEP_PORT, BOARD_STEP_BIT, BOARD_DOWN_PORT,
# BOARD_DOWN_MASK, BOARD_UP_PORT, BOARD_UP_MASK and BOARD_RULE to the variant's row.
# False, saying why, for a variant the table lacks or a malformed table.
board_row() {
  local rows line variant
  rows=$(board_table_rows) || return 1
  while read -r variant line; do
    if [ "$variant" = "$1" ]; then
      read -r BOARD_PART BOARD_STEP_PORT BOARD_STEP_BIT BOARD_DOWN_PORT BOARD_DOWN_MASK \
        BOARD_UP_PORT BOARD_UP_MASK BOARD_RULE <<<"$line"
      return 0
    fi
  done <<<"$rows"
  echo "board table: no variant '$1' in $BOARD_TABLE_FILE" >&2
  return 1
}

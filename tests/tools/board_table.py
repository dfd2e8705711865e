"""The board variants' test-side table (sim/board/board_table.txt) for the Python test tools; run it to print the rows."""
import collections
import os
import re
import sys

TABLE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "board", "board_table.txt")

SINGLE, TWO_READS, FILTERED_REAPPLY = "single", "two-reads", "filtered-reapply"

Latch = collections.namedtuple("Latch", "port mask")
Board = collections.namedtuple("Board", "variant part step_port step_bit down up rule")

_PORT = r"(0x[0-9A-F]{4})"
_BYTE = r"(0x[0-9A-F]{2})"
_ROW = re.compile(r"^([1-9][0-9]*)\s+([A-Za-z0-9]{8})\s+%s\s+%s\s+%s\s+%s\s+%s\s+%s\s+(%s|%s|%s)$" % (
    _PORT, _BYTE, _PORT, _BYTE, _PORT, _BYTE, SINGLE, TWO_READS, FILTERED_REAPPLY), re.ASCII)


def read_board_table(path=TABLE_PATH):
    """The rows as {variant: Board}, in variant order. ValueError, naming the line, on anything malformed."""
    boards = collections.OrderedDict()
    with open(path, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            m = _ROW.match(line)
            if not m:
                raise ValueError("%s:%d: not a board row: %s" % (path, number, line))
            f = m.groups()
            variant = int(f[0])
            if variant != len(boards) + 1:
                raise ValueError("%s:%d: variant %d where variant %d is due" % (path, number, variant, len(boards) + 1))
            if "0x00" in (f[3], f[5], f[7]):
                raise ValueError("%s:%d: a step bit or latch mask of 0x00" % (path, number))
            if any(b.part == f[1] for b in boards.values()):
                raise ValueError("%s:%d: part number %s is in the table twice" % (path, number, f[1]))
            boards[variant] = Board(variant, f[1], int(f[2], 16), int(f[3], 16),
                                    Latch(int(f[4], 16), int(f[5], 16)), Latch(int(f[6], 16), int(f[7], 16)), f[8])
    if not boards:
        raise ValueError("%s has no rows" % path)
    return boards


def main(argv):
    """Prints the rows as board_table.sh's board_table_rows does."""
    try:
        boards = read_board_table(argv[1] if len(argv) > 1 else TABLE_PATH)
    except (OSError, ValueError) as error:
        sys.stderr.write("board table: %s\n" % error)
        return 1
    for b in boards.values():
        print("%d %s 0x%04X 0x%02X 0x%04X 0x%02X 0x%04X 0x%02X %s" % (
            b.variant, b.part, b.step_port, b.step_bit, b.down.port, b.down.mask, b.up.port, b.up.mask, b.rule))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

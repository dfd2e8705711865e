// Board identification: the part number at offset 32 of the 48-byte board data record selects the variant.
#include "hardware/board_id.h"

#include <cstring>

#include "hardware/port_library.h"

namespace {

const DWORD kBoardRecordLength = 48;
const size_t kPartNumberOffset = 32;
const size_t kPartNumberLength = 8;

struct KnownBoard {
  const char* partNumber;
  BoardVariant variant;
};

// Compared in this order; the first match wins.
const KnownBoard kKnownBoards[] = {
    {"TQ50MR11", 3},
    {"TQ37MR04", 1},
    {"TQ37MR0K", 2},
    {"TQ39MR0K", 4},
    {"TQ39MR0W", 5},
};

bool VariantOfPartNumber(const char* partNumber, BoardVariant& variant) {
  for (const KnownBoard& board : kKnownBoards) {
    if (strncmp(partNumber, board.partNumber, kPartNumberLength) == 0) {
      variant = board.variant;
      return true;
    }
  }
  return false;
}

}  // namespace

bool IdentifyBoard(BoardVariant& variant) {
  if (SearchBDR == nullptr || MapMemEx == nullptr || UnMapMemEx == nullptr) return false;

  const DWORD address = SearchBDR();
  if (address == 0) return false;

  const ULONGLONG mapping = MapMemEx(address, 0, kBoardRecordLength);
  const DWORD recordAddress = static_cast<DWORD>(mapping & 0xFFFFFFFFu);
  if (recordAddress == 0) return false;

  const char* record = reinterpret_cast<const char*>(static_cast<uintptr_t>(recordAddress));
  const bool known = VariantOfPartNumber(record + kPartNumberOffset, variant);
  UnMapMemEx(mapping);
  return known;
}

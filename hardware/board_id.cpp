// Board identification: the part number at offset 32 of the 48-byte board data record selects the variant.
#include "hardware/board_id.h"

#include <cstddef>
#include <cstring>

#include "hardware/port_library.h"

namespace {

// The board data record as it lies in physical memory.
struct BoardDataRecord {
  char unread[32];
  char partNumber[8];  // ASCII, not terminated
  char unreadTail[8];
};
static_assert(sizeof(BoardDataRecord) == 48, "the board data record is 48 bytes");
static_assert(offsetof(BoardDataRecord, partNumber) == 32, "the part number lies at offsets 32 to 39");

const DWORD kBoardRecordLength = sizeof(BoardDataRecord);
const size_t kPartNumberLength = sizeof(BoardDataRecord::partNumber);

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

  // The address is the mapping value's low half, in either build.
  const BoardDataRecord* record = reinterpret_cast<const BoardDataRecord*>(static_cast<uintptr_t>(recordAddress));
  const bool known = VariantOfPartNumber(record->partNumber, variant);
  UnMapMemEx(mapping);
  return known;
}

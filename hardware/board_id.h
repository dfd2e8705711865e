// Board identification: maps the part number in the board data record to one of the five board variants.
#pragma once

#include <cstdint>

typedef uint8_t BoardVariant;  // 1..5 once identified; 0 before

// Reads the board data record through the port library. True when its part
// number is a supported one, and then stores that board's variant; false
// otherwise, leaving variant untouched. Needs SearchBDR, MapMemEx and
// UnMapMemEx: false when any of them is missing.
bool IdentifyBoard(BoardVariant& variant);

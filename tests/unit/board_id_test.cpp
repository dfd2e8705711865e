// Board identification against the board simulator: part-number table, record bytes, mapping, missing entry points.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "hardware/board_id.h"
#include "hardware/port_library.h"
#include "test_support.h"

namespace {

bool InBoardTable(const std::string& part) {
  return std::any_of(std::begin(boardsim::kBoardTable), std::end(boardsim::kBoardTable),
                     [&](const boardsim::BoardRow& row) { return part == std::string(row.part, 8); });
}

// Part numbers one step from a known one, none of them a known one: all in
// lower case, the last letter in lower case, the last or the first character
// changed, and seven characters and a zero byte.
std::vector<std::string> NearMisses(const std::string& part) {
  std::string lower = part;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  std::string lastLower = part;
  lastLower[7] = lower[7];
  std::string lastChanged = part;
  lastChanged[7] = static_cast<char>(lastChanged[7] ^ 1);
  std::string firstChanged = part;
  firstChanged[0] = firstChanged[0] == 'X' ? 'Y' : 'X';
  const std::string seven = part.substr(0, 7) + std::string(1, '\0');
  std::vector<std::string> misses;
  for (const std::string& miss : {lower, lastLower, lastChanged, firstChanged, seven}) {
    if (miss != part && !InBoardTable(miss) && std::find(misses.begin(), misses.end(), miss) == misses.end()) {
      misses.push_back(miss);
    }
  }
  return misses;
}

class BoardIdTest : public SimulatedBoardTest {
 protected:
  // The eight part number bytes of the record.
  static void SetPartNumber(const std::string& part) {
    ASSERT_EQ(part.size(), 8u) << part;
    memcpy(BoardSim()->record + 32, part.data(), 8);
  }

  // The one mapping asked for: physical address and length.
  std::pair<uint32_t, uint32_t> MapRequest() const {
    for (const boardsim::Op& op : BoardOpsAfter(boardMark_)) {
      if (op.kind == boardsim::OpMap) return {op.port, op.value};
    }
    return {0, 0};
  }

  int OpsOfKind(uint32_t kind) const {
    int count = 0;
    for (const boardsim::Op& op : BoardOpsAfter(boardMark_)) count += op.kind == kind;
    return count;
  }
};

// Every part number of the board table selects its variant; near misses of
// each select none.
TEST_F(BoardIdTest, PartNumberSelectsVariant) {
  struct Case {
    std::string part;
    bool known;
    BoardVariant variant;
  };
  std::vector<Case> cases;
  size_t misses = 0;
  for (const boardsim::BoardRow& row : boardsim::kBoardTable) {
    cases.push_back({std::string(row.part, 8), true, static_cast<BoardVariant>(row.variant)});
    for (const std::string& miss : NearMisses(row.part)) {
      cases.push_back({miss, false, 0});
      ++misses;
    }
  }
  ASSERT_GE(misses, 3 * boardsim::kBoardCount) << "too few near misses to tell case, length and characters apart";
  for (const Case& c : cases) {
    Restart();
    SetPartNumber(c.part);
    BoardVariant variant = 0x77;
    EXPECT_EQ(IdentifyBoard(variant), c.known) << c.part;
    EXPECT_EQ(variant, c.known ? c.variant : 0x77) << c.part << ": untouched unless identified";
    EXPECT_EQ(OpsOfKind(boardsim::OpMap), 1) << c.part;
    EXPECT_EQ(MapRequest(), std::make_pair(boardsim::kRecordAddress, 48u)) << c.part;
    EXPECT_EQ(OpsOfKind(boardsim::OpUnmap), 1) << c.part << ": the mapping always ends";
    EXPECT_EQ(BoardSim()->liveMaps, 0) << c.part;
    EXPECT_EQ(BoardSim()->badUnmaps, 0) << c.part << ": the mapping value goes back unchanged";
    EXPECT_TRUE(PortOpsAfter(boardMark_).empty()) << c.part << ": no port is touched";
  }
}

TEST_F(BoardIdTest, OnlyTheEightPartNumberBytesCount) {
  // Known part numbers around the real one must not be picked up.
  memcpy(BoardSim()->record + 24, TableRow(1).part, 8);
  memcpy(BoardSim()->record + 40, TableRow(boardsim::kBoardCount).part, 8);
  SetPartNumber(TableRow(2).part);
  BoardVariant variant = 0;
  EXPECT_TRUE(IdentifyBoard(variant));
  EXPECT_EQ(variant, 2);

  std::string lastChanged(TableRow(2).part, 8);
  lastChanged[7] = static_cast<char>(lastChanged[7] ^ 1);
  ASSERT_FALSE(InBoardTable(lastChanged));
  SetPartNumber(lastChanged);
  EXPECT_FALSE(IdentifyBoard(variant));
}

TEST_F(BoardIdTest, NoRecordMapsNothing) {
  BoardSim()->hasRecord = 0;
  BoardVariant variant = 0;
  EXPECT_FALSE(IdentifyBoard(variant));
  EXPECT_EQ(OpsOfKind(boardsim::OpSearch), 1);
  EXPECT_EQ(OpsOfKind(boardsim::OpMap), 0);
  EXPECT_EQ(OpsOfKind(boardsim::OpUnmap), 0);
}

TEST_F(BoardIdTest, RefusedMappingIsNotEnded) {
  BoardSim()->mapFails = 1;
  BoardVariant variant = 0;
  EXPECT_FALSE(IdentifyBoard(variant));
  EXPECT_EQ(variant, 0);
  EXPECT_EQ(OpsOfKind(boardsim::OpMap), 1);
  EXPECT_EQ(OpsOfKind(boardsim::OpUnmap), 0);
}

TEST_F(BoardIdTest, LibraryWithoutAnEntryPoint) {
  struct Case {
    const char* missing;
    bool portsBound;
  };
  const Case cases[] = {
      {"hx_inp", false}, {"hx_outp", false}, {"MapMemEx", true}, {"UnMapMemEx", true}, {"SearchBDR", true},
  };
  ReleasePortLibrary(library_);
  library_ = nullptr;
  for (const Case& c : cases) {
    const std::string path = std::string("Z:") + KPX_WITHOUT_DIR_PREFIX + c.missing + "/Kpx.dll";
    const HMODULE module = LoadLibraryA(path.c_str());
    ASSERT_NE(module, nullptr) << path;
    EXPECT_EQ(BindPortLibrary(module), c.portsBound) << c.missing;
    if (!c.portsBound) {
      ReleasePortLibrary(module);
      continue;  // the service goes no further without its port entry points
    }
    const uint32_t mark = static_cast<uint32_t>(BoardSim()->opCount);
    BoardVariant variant = 0;
    EXPECT_FALSE(IdentifyBoard(variant)) << c.missing;
    EXPECT_TRUE(BoardOpsAfter(mark).empty()) << c.missing << ": nothing is called when one is missing";
    ReleasePortLibrary(module);
    EXPECT_EQ(hx_inp, nullptr);
    EXPECT_EQ(SearchBDR, nullptr);
  }
}

}  // namespace

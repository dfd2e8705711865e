// Board identification against the board simulator: part-number table, record bytes, mapping, missing entry points.
#include <cstring>

#include "hardware/board_id.h"
#include "hardware/port_library.h"
#include "test_support.h"

namespace {

class BoardIdTest : public SimulatedBoardTest {
 protected:
  static void SetPartNumber(const char (&part)[9]) { memcpy(BoardSim()->record + 32, part, 8); }

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

TEST_F(BoardIdTest, PartNumberSelectsVariant) {
  struct Case {
    const char part[9];
    bool known;
    BoardVariant variant;
  };
  const Case cases[] = {
      {"TQ50MR11", true, 3},  // first in the table, and not variant 1
      {"TQ37MR04", true, 1},
      {"TQ37MR0K", true, 2},
      {"TQ39MR0K", true, 4},
      {"TQ39MR0W", true, 5},
      {"tq50mr11", false, 0},  // case matters
      {"TQ37MR0k", false, 0},
      {"TQ50MR12", false, 0},
      {"XQ50MR11", false, 0},
      {"TQ39MR0", false, 0},  // seven characters and a zero byte
  };
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
  memcpy(BoardSim()->record + 24, "TQ37MR04", 8);
  memcpy(BoardSim()->record + 40, "TQ39MR0W", 8);
  SetPartNumber("TQ37MR0K");
  BoardVariant variant = 0;
  EXPECT_TRUE(IdentifyBoard(variant));
  EXPECT_EQ(variant, 2);

  SetPartNumber("TQ37MR0Z");
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

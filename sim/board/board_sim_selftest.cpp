// Checks of the board simulator itself: unknown variants, Kpx.dll exports, latches, presses, mappings, op record.
#include "board_sim_state.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

namespace {

using boardsim::BoardRow;
using boardsim::Latch;
using boardsim::State;

typedef DWORD(WINAPI* InpFn)(DWORD);
typedef void(WINAPI* OutpFn)(DWORD, DWORD);
typedef ULONGLONG(WINAPI* MapFn)(DWORD, DWORD, DWORD);
typedef void(WINAPI* UnmapFn)(ULONGLONG);
typedef DWORD(WINAPI* SearchFn)(void);

const char* const kEntryPoints[] = {"hx_inp", "hx_outp", "MapMemEx", "UnMapMemEx", "SearchBDR"};
constexpr uint32_t kRecordLength = 48;
constexpr size_t kPartOffset = 32;
constexpr size_t kPartLength = 8;
constexpr DWORD kToolTimeoutMs = 120000;

// Folder of this executable, where the build puts boardtool.exe and the Kpx.dll builds.
std::string OwnFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

uint8_t PortByte(const State* state, uint16_t port) {
  return static_cast<uint8_t>(state->ports[port] & 0xFF);
}

DWORD Low(ULONGLONG mapping) { return static_cast<DWORD>(mapping); }
DWORD High(ULONGLONG mapping) { return static_cast<DWORD>(mapping >> 32); }

const boardsim::Op* LastOp(const State* state) {
  return boardsim::OpAt(state, static_cast<uint32_t>(state->opCount));
}

void ExpectLatchInvariant(const State* state) {
  EXPECT_EQ(state->latchesSet, state->latchesAcked + boardsim::PendingLatches(state));
}

// The board table's row of a variant the tests below rely on.
const BoardRow& Row(uint32_t variant) {
  const BoardRow* row = boardsim::BoardRowOf(variant);
  if (!row) {
    ADD_FAILURE() << "the board table has no variant " << variant;
    return boardsim::kBoardTable[0];
  }
  return *row;
}

// ---- Register map --------------------------------------------------------

TEST(BoardRegisterMap, UnknownVariantsHaveNoRegisters) {
  for (uint32_t variant : {0u, boardsim::kBoardCount + 1, 255u}) {
    SCOPED_TRACE(variant);
    Latch latch = {};
    EXPECT_FALSE(boardsim::DownLatch(variant, &latch));
    EXPECT_FALSE(boardsim::UpLatch(variant, &latch));
    EXPECT_EQ(0, boardsim::StepPort(variant));
    EXPECT_EQ(nullptr, boardsim::PartNumberOf(variant));
  }
}

// ---- State without a file: reset and op record ----------------------------

std::unique_ptr<State> PrivateState() { return std::unique_ptr<State>(new State()); }

TEST(BoardState, ResetRestoresDefaultsOverGarbage) {
  std::unique_ptr<State> state = PrivateState();
  memset(static_cast<void*>(state.get()), 0xA7, sizeof(State));
  boardsim::Reset(state.get());
  EXPECT_EQ(boardsim::kMagic, state->magic);
  EXPECT_EQ(boardsim::kVersion, state->version);
  EXPECT_EQ(1u, state->variant);
  EXPECT_EQ(1u, state->hasRecord);
  EXPECT_EQ(0u, state->mapFails);
  EXPECT_EQ(0, memcmp(Row(1).part, state->record + kPartOffset, kPartLength));
  for (size_t i = 0; i < kRecordLength; ++i) {
    if (i >= kPartOffset && i < kPartOffset + kPartLength) continue;
    EXPECT_NE(0, state->record[i]) << "filler byte " << i;
  }
  for (uint32_t port = 0; port <= 0xFFFF; ++port) {
    ASSERT_EQ(0, state->ports[port]) << "port " << port;
  }
  for (LONG counter : {state->pressesDown, state->pressesUp, state->latchesSet, state->pressesMerged,
                       state->latchesAcked, state->maps, state->unmaps, state->badUnmaps,
                       state->liveMaps, state->mapSeq, state->opCount}) {
    EXPECT_EQ(0, counter);
  }
}

TEST(BoardState, SelectVariantWritesOnlyThePartNumber) {
  std::unique_ptr<State> state = PrivateState();
  boardsim::Reset(state.get());
  uint8_t before[kRecordLength];
  memcpy(before, state->record, kRecordLength);
  boardsim::SelectVariant(state.get(), 3);
  EXPECT_EQ(3u, state->variant);
  EXPECT_EQ(0, memcmp(Row(3).part, state->record + kPartOffset, kPartLength));
  EXPECT_EQ(0, memcmp(before, state->record, kPartOffset));
  EXPECT_EQ(0, memcmp(before + kPartOffset + kPartLength, state->record + kPartOffset + kPartLength,
                      kRecordLength - kPartOffset - kPartLength));
  boardsim::SelectVariant(state.get(), boardsim::kBoardCount + 1);  // unknown: nothing changes
  EXPECT_EQ(3u, state->variant);
}

TEST(BoardState, OpRecordKeepsOnlyTheNewestRingFull) {
  std::unique_ptr<State> state = PrivateState();
  boardsim::Reset(state.get());
  const uint32_t total = boardsim::kMaxOps + 3;
  for (uint32_t n = 1; n <= total; ++n) {
    boardsim::Op op = {};
    op.kind = boardsim::OpIn;
    op.port = n;  // tags the op so the slot can be checked
    boardsim::Record(state.get(), op);
  }
  EXPECT_EQ(static_cast<LONG>(total), state->opCount);
  EXPECT_EQ(nullptr, boardsim::OpAt(state.get(), 0));
  EXPECT_EQ(nullptr, boardsim::OpAt(state.get(), 3));  // overwritten
  EXPECT_EQ(nullptr, boardsim::OpAt(state.get(), total + 1));  // not yet made
  for (uint32_t seq : {4u, boardsim::kMaxOps, total}) {
    const boardsim::Op* op = boardsim::OpAt(state.get(), seq);
    ASSERT_NE(nullptr, op) << seq;
    EXPECT_EQ(seq, op->seq);
    EXPECT_EQ(seq, op->port);
  }
}

// ---- Kpx.dll exports -------------------------------------------------------

TEST(KpxExports, EachBuildExportsExactlyItsEntryPoints) {
  std::string folder = OwnFolder();
  struct Build {
    std::string path;
    const char* missing;  // nullptr: the full library
  };
  Build builds[] = {{folder + "\\Kpx.dll", nullptr},
                    {folder + "\\without-hx_inp\\Kpx.dll", "hx_inp"},
                    {folder + "\\without-hx_outp\\Kpx.dll", "hx_outp"},
                    {folder + "\\without-MapMemEx\\Kpx.dll", "MapMemEx"},
                    {folder + "\\without-UnMapMemEx\\Kpx.dll", "UnMapMemEx"},
                    {folder + "\\without-SearchBDR\\Kpx.dll", "SearchBDR"}};
  for (const Build& build : builds) {
    SCOPED_TRACE(build.path);
    HMODULE library = LoadLibraryA(build.path.c_str());
    ASSERT_NE(nullptr, library) << GetLastError();
    for (const char* name : kEntryPoints) {
      bool expected = !build.missing || strcmp(name, build.missing) != 0;
      EXPECT_EQ(expected, GetProcAddress(library, name) != nullptr) << name;
    }
    FreeLibrary(library);
  }
}

// A slow or failing library, for tests of the service's start-up.
TEST(KpxExports, LoadWaitsAndFailsAsTheStateSays) {
  State* state = boardsim::Open();
  ASSERT_NE(nullptr, state);
  const std::string path = OwnFolder() + "\\Kpx.dll";
  const DWORD kDelayMs = 300;
  LARGE_INTEGER frequency, before, after;
  QueryPerformanceFrequency(&frequency);
  struct Case {
    const char* name;
    uint32_t delayMs, fails;
  };
  const Case cases[] = {{"refused", 0, 1}, {"slow, then refused", kDelayMs, 1}, {"slow", kDelayMs, 0}, {"plain", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boardsim::Reset(state);
    state->loadDelayMs = c.delayMs;
    state->loadFails = c.fails;
    QueryPerformanceCounter(&before);
    HMODULE library = LoadLibraryA(path.c_str());
    const DWORD error = GetLastError();
    QueryPerformanceCounter(&after);
    EXPECT_EQ(library == nullptr, c.fails != 0) << error;
    if (c.fails != 0) {
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    }
    EXPECT_GE((after.QuadPart - before.QuadPart) * 1000, static_cast<int64_t>(c.delayMs) * frequency.QuadPart);
    if (library != nullptr) FreeLibrary(library);
    EXPECT_EQ(nullptr, GetModuleHandleA(path.c_str()));
  }
  boardsim::Reset(state);
}

// ---- Kpx.dll behaviour on the shared state ----------------------------------

class KpxSim : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = boardsim::Open();
    ASSERT_NE(nullptr, state_);
    boardsim::Reset(state_);
    library_ = LoadLibraryA((OwnFolder() + "\\Kpx.dll").c_str());
    ASSERT_NE(nullptr, library_) << GetLastError();
    inp_ = reinterpret_cast<InpFn>(reinterpret_cast<void*>(GetProcAddress(library_, "hx_inp")));
    outp_ = reinterpret_cast<OutpFn>(reinterpret_cast<void*>(GetProcAddress(library_, "hx_outp")));
    map_ = reinterpret_cast<MapFn>(reinterpret_cast<void*>(GetProcAddress(library_, "MapMemEx")));
    unmap_ = reinterpret_cast<UnmapFn>(reinterpret_cast<void*>(GetProcAddress(library_, "UnMapMemEx")));
    search_ = reinterpret_cast<SearchFn>(reinterpret_cast<void*>(GetProcAddress(library_, "SearchBDR")));
    ASSERT_TRUE(inp_ && outp_ && map_ && unmap_ && search_);
  }

  void TearDown() override {
    if (library_) FreeLibrary(library_);
  }

  State* state_ = nullptr;
  HMODULE library_ = nullptr;
  InpFn inp_ = nullptr;
  OutpFn outp_ = nullptr;
  MapFn map_ = nullptr;
  UnmapFn unmap_ = nullptr;
  SearchFn search_ = nullptr;
};

TEST_F(KpxSim, WriteToLatchPortClearsExactlyTheBitsWritten) {
  struct Case {
    const char* what;
    uint32_t variant;
    uint16_t port;
    uint8_t before;
    DWORD written;
    uint8_t after;
    LONG acked;
  };
  // The cases need these shapes of the table: variant 1 with both latches in
  // one byte, variants 2 and 4 with "up" latches on one port but different
  // bits, and variant 3's latch port outside variant 1's.
  const BoardRow& v1 = Row(1);
  const BoardRow& v2 = Row(2);
  const BoardRow& v3 = Row(3);
  const BoardRow& v4 = Row(4);
  ASSERT_EQ(v1.down.port, v1.up.port);
  ASSERT_EQ(v2.up.port, v4.up.port);
  ASSERT_NE(v2.up.mask, v4.up.mask);
  ASSERT_EQ(v3.down.port, v3.up.port);
  ASSERT_NE(v3.down.port, v1.down.port);
  const uint16_t v1Port = v1.down.port;
  const uint8_t v1Both = static_cast<uint8_t>(v1.down.mask | v1.up.mask);
  const uint8_t v1NoLatches = static_cast<uint8_t>(0xFF & ~v1Both);
  const uint8_t v1NoLatch = static_cast<uint8_t>(v1NoLatches & (0x100 - v1NoLatches));  // its lowest bit
  const uint8_t v24Up = static_cast<uint8_t>(v2.up.mask | v4.up.mask);
  const uint8_t v3Both = static_cast<uint8_t>(v3.down.mask | v3.up.mask);
  const Case cases[] = {
      {"one latch of two", 1, v1Port, 0xFF, v1.down.mask, static_cast<uint8_t>(0xFF & ~v1.down.mask), 1},
      {"both latches in one write", 1, v1Port, v1Both, v1Both, 0x00, 2},
      {"latch already clear", 1, v1Port, v1.up.mask, v1.down.mask, v1.up.mask, 0},
      {"bit that is no latch", 1, v1Port, v1NoLatches, v1NoLatch, static_cast<uint8_t>(v1NoLatches & ~v1NoLatch), 0},
      {"other variant's latch bit", 2, v2.up.port, v24Up, v4.up.mask, v2.up.mask, 0},
      {"variant 4 up latch", 4, v4.up.port, v24Up, v4.up.mask, v2.up.mask, 1},
      {"variant 3 up latch", 3, v3.up.port, v3Both, v3.up.mask, v3.down.mask, 1},
      {"only the low byte of the value", 2, v2.down.port, v2.down.mask, 0x100u | v2.down.mask, 0x00, 1},
      {"latch port of another variant", 1, v3.down.port, v3.down.mask, v3.down.mask, 0x00, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boardsim::Reset(state_);
    boardsim::SelectVariant(state_, c.variant);
    state_->ports[c.port] = c.before;
    outp_(c.port, c.written);
    EXPECT_EQ(c.after, PortByte(state_, c.port));
    EXPECT_EQ(c.acked, state_->latchesAcked);
    const boardsim::Op* op = LastOp(state_);
    ASSERT_NE(nullptr, op);
    EXPECT_EQ(boardsim::OpOut, op->kind);
    EXPECT_EQ(c.port, op->port);
    EXPECT_EQ(c.written, op->value);
  }
}

TEST_F(KpxSim, WriteToOtherPortStoresTheByteAndReadsUseLowBitsOnly) {
  // Step-size registers: ports that hold no latch.
  const uint16_t port = Row(1).stepPort;
  const uint16_t otherPort = Row(3).stepPort;
  ASSERT_FALSE(boardsim::IsLatchPort(port));
  ASSERT_FALSE(boardsim::IsLatchPort(otherPort));
  outp_(port, 0x1234);
  EXPECT_EQ(0x34, state_->ports[port]);
  EXPECT_EQ(0x34u, inp_(port));
  EXPECT_EQ(0x34u, inp_(0x10000u | port));  // only the low 16 bits address the port
  state_->ports[otherPort] = 0x1C3;
  EXPECT_EQ(0xC3u, inp_(otherPort));
  const boardsim::Op* op = LastOp(state_);
  ASSERT_NE(nullptr, op);
  EXPECT_EQ(boardsim::OpIn, op->kind);
  EXPECT_EQ(otherPort, op->port);
  EXPECT_EQ(0xC3u, op->value);
}

TEST_F(KpxSim, EachPressSetsOnlyItsVariantsLatch) {
  for (const BoardRow& row : boardsim::kBoardTable) {
    for (bool up : {false, true}) {
      SCOPED_TRACE(std::to_string(row.variant) + (up ? " up" : " down"));
      boardsim::Reset(state_);
      boardsim::SelectVariant(state_, row.variant);
      boardsim::Press(state_, up);
      const Latch& latch = up ? row.up : row.down;
      for (const BoardRow& any : boardsim::kBoardTable) {
        for (uint16_t port : {any.down.port, any.up.port, any.stepPort}) {
          EXPECT_EQ(port == latch.port ? latch.mask : 0, PortByte(state_, port)) << port;
        }
      }
      EXPECT_EQ(1, boardsim::PendingLatches(state_));
      EXPECT_EQ(up ? 1 : 0, state_->pressesUp);
      EXPECT_EQ(up ? 0 : 1, state_->pressesDown);
      outp_(latch.port, latch.mask);
      EXPECT_EQ(0, boardsim::PendingLatches(state_));
      EXPECT_EQ(1, state_->latchesAcked);
      ExpectLatchInvariant(state_);
    }
  }
}

TEST_F(KpxSim, PressOnPendingLatchMerges) {
  const Latch up = Row(2).up;
  boardsim::SelectVariant(state_, 2);
  boardsim::Press(state_, true);
  boardsim::Press(state_, true);
  boardsim::Press(state_, false);
  EXPECT_EQ(2, state_->latchesSet);
  EXPECT_EQ(1, state_->pressesMerged);
  EXPECT_EQ(2, state_->pressesUp);
  EXPECT_EQ(1, state_->pressesDown);
  EXPECT_EQ(2, boardsim::PendingLatches(state_));
  const boardsim::Op* merged = boardsim::OpAt(state_, 2);
  ASSERT_NE(nullptr, merged);
  EXPECT_EQ(boardsim::OpPress, merged->kind);
  EXPECT_EQ(1u, merged->hi);
  EXPECT_EQ(up.port, merged->port);
  EXPECT_EQ(up.mask, merged->value);
  outp_(up.port, up.mask);
  ExpectLatchInvariant(state_);
  EXPECT_EQ(1, boardsim::PendingLatches(state_));
}

TEST_F(KpxSim, SearchReportsTheRecordOnlyWhenPresent) {
  EXPECT_EQ(boardsim::kRecordAddress, search_());
  state_->hasRecord = 0;
  EXPECT_EQ(0u, search_());
  const boardsim::Op* op = LastOp(state_);
  ASSERT_NE(nullptr, op);
  EXPECT_EQ(boardsim::OpSearch, op->kind);
}

TEST_F(KpxSim, RefusedMapsReturnNothing) {
  struct Case {
    const char* what;
    uint32_t mapFails;
    uint32_t hasRecord;
    DWORD address;
    DWORD length;
  };
  const Case cases[] = {
      {"map fault", 1, 1, boardsim::kRecordAddress, kRecordLength},
      {"no record", 0, 0, boardsim::kRecordAddress, kRecordLength},
      {"other address", 0, 1, boardsim::kRecordAddress + 1, kRecordLength},
      {"no bytes", 0, 1, boardsim::kRecordAddress, 0},
      {"beyond the record", 0, 1, boardsim::kRecordAddress, kRecordLength + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boardsim::Reset(state_);
    state_->mapFails = c.mapFails;
    state_->hasRecord = c.hasRecord;
    EXPECT_EQ(0u, map_(c.address, 0, c.length));
    EXPECT_EQ(0, state_->maps);
    EXPECT_EQ(0, state_->liveMaps);
    const boardsim::Op* op = LastOp(state_);
    ASSERT_NE(nullptr, op);
    EXPECT_EQ(boardsim::OpMap, op->kind);
    EXPECT_EQ(c.address, op->port);
    EXPECT_EQ(c.length, op->value);
    EXPECT_EQ(0u, op->hi);
  }
}

TEST_F(KpxSim, MappingShowsTheLiveRecord) {
  ULONGLONG mapping = map_(boardsim::kRecordAddress, 0, kRecordLength);
  ASSERT_NE(0u, Low(mapping));
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(Low(mapping)));
  EXPECT_EQ(0, memcmp(state_->record, bytes, kRecordLength));
  const char* part = Row(boardsim::kBoardCount).part;  // not the part Reset put there
  memcpy(state_->record + kPartOffset, part, kPartLength);  // as `boardtool part` does
  EXPECT_EQ(0, memcmp(part, bytes + kPartOffset, kPartLength));
  unmap_(mapping);
}

TEST_F(KpxSim, UnmapAcceptsOnlyOpenMappings) {
  ULONGLONG first = map_(boardsim::kRecordAddress, 0, kRecordLength);
  ULONGLONG second = map_(boardsim::kRecordAddress, 0, 1);
  ASSERT_NE(0u, Low(first));
  ASSERT_NE(0u, Low(second));
  EXPECT_NE(High(first), High(second));
  EXPECT_EQ(2, state_->maps);
  EXPECT_EQ(2, state_->liveMaps);

  unmap_(first);
  EXPECT_EQ(1, state_->unmaps);
  EXPECT_EQ(1, state_->liveMaps);
  const boardsim::Op* op = LastOp(state_);
  ASSERT_NE(nullptr, op);
  EXPECT_EQ(boardsim::OpUnmap, op->kind);
  EXPECT_EQ(Low(first), op->value);
  EXPECT_EQ(High(first), op->hi);

  const ULONGLONG bad[] = {
      first,                                     // already ended
      second & 0xFFFFFFFFull,                    // cookie dropped
      second & ~0xFFFFFFFFull,                   // address dropped
      second + 1,                                // address moved
      second ^ (0x1ull << 32),                   // cookie altered
  };
  LONG badCount = 0;
  for (ULONGLONG value : bad) {
    unmap_(value);
    EXPECT_EQ(++badCount, state_->badUnmaps) << std::hex << value;
    EXPECT_EQ(1, state_->liveMaps);
  }

  unmap_(second);
  EXPECT_EQ(2, state_->unmaps);
  EXPECT_EQ(0, state_->liveMaps);
}

// Presses from boardtool in another process while this one reads and
// acknowledges: no press may be lost or counted twice.
TEST_F(KpxSim, PressesFromAnotherProcessAreNeverLost) {
  constexpr int kPresses = 2000;
  const Latch up = Row(2).up;
  boardsim::SelectVariant(state_, 2);
  std::string command = "\"" + OwnFolder() + "\\boardtool.exe\" press up " + std::to_string(kPresses);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << GetLastError();
  // The deadline only keeps a hung tool from hanging the test.
  ULONGLONG deadline = GetTickCount64() + kToolTimeoutMs;
  while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GetTickCount64() < deadline) {
    if (inp_(up.port) & up.mask) outp_(up.port, up.mask);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 0));
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(0u, exitCode);
  EXPECT_EQ(kPresses, state_->pressesUp);
  EXPECT_EQ(kPresses, state_->latchesSet + state_->pressesMerged);
  ExpectLatchInvariant(state_);
}

}  // namespace

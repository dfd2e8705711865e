// Group Policy values under the service's policy key against the local Parameters, in virtual time: which wins, what a bad policy value does, a policy made and removed while the service runs.
#include <string>
#include <vector>

#include "service/service_worker.h"
#include "test_support.h"

namespace {

const std::string kStart = "Current CPU Freq is 100.000\r\n";
const std::string kRefused = "Press ignored: CPU Freq out of range!!\r\n";

std::string Step(const char* mhz) { return std::string("Now Current CPU Freq is ") + mhz + "\r\n"; }
std::string FromPolicy(const char* names) { return std::string("Settings from policy: ") + names + "\r\n"; }

class PolicyTest : public ServiceRunTest {
 protected:
  void SetUp() override {
    ServiceRunTest::SetUp();
    CreateServiceKey();
  }
};

// Each case: the local values, the policy's, then two presses ('u' up, 'd'
// down) that show which limits are in force, and the lines of the start.
TEST_F(PolicyTest, APolicyValueWinsOverTheLocalOneAndABadOneLeavesTheLocalInForce) {
  struct Case {
    const char* name;
    void (*arrange)();
    const char* presses;
    std::string log;
    std::vector<uint32_t> hz;
  };
  const Case cases[] = {
      {"no policy: the local maximum",
       [] { SetParameterDword("MaxFrequencyKHz", 100100); }, "uu", kStart + Step("100.100") + kRefused, {100100000u}},
      {"the policy's maximum beats the local one",
       [] {
         SetParameterDword("MaxFrequencyKHz", 100300);
         SetPolicyDword("MaxFrequencyKHz", 100100);
       },
       "uu", FromPolicy("MaxFrequencyKHz") + kStart + Step("100.100") + kRefused, {100100000u}},
      {"a policy minimum beside a local maximum",
       [] {
         SetParameterDword("MaxFrequencyKHz", 100100);
         SetPolicyDword("MinFrequencyKHz", 99900);
       },
       "uudd", FromPolicy("MinFrequencyKHz") + kStart + Step("100.100") + kRefused + Step("100.000") + Step("99.900"),
       {100100000u, 100000000u, 99900000u}},
      {"a policy maximum of 0: ignored, the local one in force",
       [] {
         SetParameterDword("MaxFrequencyKHz", 100100);
         SetPolicyDword("MaxFrequencyKHz", 0);
       },
       "uu", "Setting ignored: MaxFrequencyKHz is 0!!\r\n" + kStart + Step("100.100") + kRefused, {100100000u}},
      {"a policy minimum of the wrong type: ignored",
       [] {
         SetParameterDword("MinFrequencyKHz", 99900);
         SetPolicy("MinFrequencyKHz", REG_SZ, "99000", 6);
       },
       "dd", "Setting ignored: MinFrequencyKHz is not a REG_DWORD!!\r\n" + kStart + Step("99.900") + kRefused,
       {99900000u}},
      {"the local minimum above the policy's maximum: the local one dropped",
       [] {
         SetParameterDword("MinFrequencyKHz", 100200);
         SetPolicyDword("MaxFrequencyKHz", 100100);
       },
       "dd",
       "Setting ignored: MinFrequencyKHz above the policy's MaxFrequencyKHz!!\r\n" + FromPolicy("MaxFrequencyKHz") +
           kStart + Step("99.900") + Step("99.800"),
       {99900000u, 99800000u}},
      {"the local maximum below the policy's minimum: the local one dropped",
       [] {
         SetParameterDword("MaxFrequencyKHz", 99900);
         SetPolicyDword("MinFrequencyKHz", 100000);
       },
       "ud",
       "Setting ignored: MaxFrequencyKHz below the policy's MinFrequencyKHz!!\r\n" + FromPolicy("MinFrequencyKHz") +
           kStart + Step("100.100") + Step("100.000"),
       {100100000u, 100000000u}},
      {"both policy limits inverted: neither, the local ones not either",
       [] {
         SetParameterDword("MaxFrequencyKHz", 100100);
         SetPolicyDword("MinFrequencyKHz", 100300);
         SetPolicyDword("MaxFrequencyKHz", 100200);
       },
       "uu", "Settings ignored: MinFrequencyKHz above MaxFrequencyKHz!!\r\n" + kStart + Step("100.100") + Step("100.200"),
       {100100000u, 100199999u}},
  };
  for (const Case& c : cases) {
    Fresh();
    CreateServiceKey();
    c.arrange();
    const std::string presses = c.presses;
    const std::string log = RunPolls(static_cast<int>(presses.size()), [&](int poll) { Press(presses[poll - 1]); });
    EXPECT_EQ(log, c.log) << c.name;
    EXPECT_EQ(AppliedHzAfter(clockMark_), c.hz) << c.name;
  }
}

// The restore switch from policy: on beats a local off, off beats a local on.
TEST_F(PolicyTest, ThePolicysRestoreSwitchWins) {
  for (DWORD policy : {1u, 0u}) {
    Fresh();
    CreateServiceKey();
    SetParameterDword("RestoreFrequency", 1 - policy);
    SetParameterDword("LastFrequencyKHz", 100500);
    SetPolicyDword("RestoreFrequency", policy);
    const std::string log = RunPolls(0, [](int) {});
    EXPECT_EQ(log, FromPolicy("RestoreFrequency") + kStart + (policy == 1 ? Step("100.500") : "")) << policy;
  }
}

// A policy made, changed and removed while the service runs is taken at the
// next poll, like a local change; removing it brings the local value back.
TEST_F(PolicyTest, APolicyMadeChangedAndRemovedWhileRunningIsTakenAtTheNextPoll) {
  SetParameterDword("MaxFrequencyKHz", 100300);
  const std::vector<void (*)()> changes = {
      [] { SetPolicyDword("MaxFrequencyKHz", 100100); },
      [] { SetPolicyDword("MinFrequencyKHz", 99000); },
      [] { RemovePolicyKey(); },
  };
  const std::string log = RunPolls(4, [&](int poll) {
    if (poll <= 3) changes[poll - 1]();
    Press('u');
  });
  EXPECT_EQ(log, kStart + FromPolicy("MaxFrequencyKHz") +
                     "Settings read again: MinFrequencyKHz 0 MaxFrequencyKHz 100100 RestoreFrequency 0\r\n" +
                     Step("100.100") + FromPolicy("MinFrequencyKHz MaxFrequencyKHz") +
                     "Settings read again: MinFrequencyKHz 99000 MaxFrequencyKHz 100100 RestoreFrequency 0\r\n" +
                     kRefused + "Settings read again: MinFrequencyKHz 0 MaxFrequencyKHz 100300 RestoreFrequency 0\r\n" +
                     Step("100.200") + Step("100.300"));
}

}  // namespace

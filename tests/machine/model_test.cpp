#include "machine/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

bool Check(const std::string& bytes, size_t count) {
  return IsSupportedModelNumber(reinterpret_cast<const BYTE*>(bytes.data()), count);
}

TEST(ModelRule, AcceptedAndRefusedForms) {
  struct Row {
    std::string bytes;
    bool bAccepted;
    size_t count = std::string::npos;  // npos: all the bytes
  } const rows[] = {
      {"ZR-45A1234K1", true},   {"ZR45B9X9XN0", true},    {"ZR-45C....N.", true},  {"ZR45D    K ", true},
      {"ZR-45D\x01\xff\x7f\tK\x80", true},
      {"ZR-45E1234K1", false},  {"ZR-45A1234X1", false},  {"zr-45a1234k1", false}, {"ZR-45A1234K12", false},
      {"ZR-45A1234K", false},   {"ZR--45A1234K1", false}, {"ZR_45A1234K1", false}, {" ZR-45A1234K1", false},
      {"ZR-45A1234K1 ", false}, {"ZR-46A1234K1", false},  {"ZR45A1234K1KKKKKKKK", false},
      // The subject ends at the first zero byte, or where the count ends it.
      {std::string("ZR45A1234K1\0ZZZZZZZ", 19), true}, {std::string("ZR-45A\0" "234K1", 12), false},
      {std::string("\0ZR-45A1234K1", 13), false},      {"", false},
      {"ZR-45A1234K1", false, 11},                     {"ZR-45A1234K1xyz", true, 12},
  };
  for (const Row& row : rows)
    EXPECT_EQ(Check(row.bytes, std::min(row.count, row.bytes.size())), row.bAccepted)
        << testing::PrintToString(row.bytes) << " count " << row.count;
  EXPECT_FALSE(IsSupportedModelNumber(nullptr, 0));
}

// Any byte but a line break in the four free positions and the last one, in both forms.
TEST(ModelRule, LineBreaksAreNotArbitraryCharacters) {
  for (const std::string form : {"ZR-45A1234K1", "ZR45A1234K1"})
    for (size_t pos = form.size() - 6; pos < form.size(); ++pos)
      for (char c : {'\r', '\n', 'q'}) {
        if (pos == form.size() - 2) continue;  // the K or N
        std::string subject = form;
        subject[pos] = c;
        EXPECT_EQ(Check(subject, subject.size()), c == 'q') << testing::PrintToString(subject);
      }
}

}  // namespace

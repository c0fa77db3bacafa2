#include "machine/model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Check(const std::string& bytes) {
  return IsSupportedModelNumber(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
}

TEST(ModelRule, AcceptedAndRefusedForms) {
  struct Row {
    std::string subject;
    bool bAccepted;
  } const rows[] = {
      {"ZR-45A1234K1", true},   {"ZR45B9X9XN0", true},    {"ZR-45C....N.", true},  {"ZR45D    K ", true},
      {"ZR-45D\x01\xff\x7f\tK\x80", true},
      {"ZR-45E1234K1", false},  {"ZR-45A1234X1", false},  {"zr-45a1234k1", false}, {"ZR-45A1234K12", false},
      {"ZR-45A1234K", false},   {"ZR--45A1234K1", false}, {"ZR_45A1234K1", false}, {" ZR-45A1234K1", false},
      {"ZR-45A1234K1 ", false}, {"XZR-45A1234K1", false}, {"ZR-46A1234K1", false}, {"", false},
  };
  for (const Row& row : rows) EXPECT_EQ(Check(row.subject), row.bAccepted) << testing::PrintToString(row.subject);
}

TEST(ModelRule, ExtendedNumbersNeverMatch) {
  for (const char* base : {"ZR-45A1234K1", "ZR45A1234K1"})
    for (size_t cch = 13; cch <= 19; ++cch) {
      std::string subject = base;
      subject.resize(cch, 'K');
      EXPECT_FALSE(Check(subject)) << subject;
    }
}

TEST(ModelRule, SubjectEndsAtTheFirstZeroByteOrTheCount) {
  struct Row {
    std::string bytes;
    size_t count;
    bool bAccepted;
  } const rows[] = {
      {std::string("ZR45A1234K1\0", 12), 12, true},      // the standard field with one byte to spare
      {std::string("ZR45A1234K1\0ZZZZZZZ", 19), 19, true},
      {std::string("ZR-45A\0" "234K1", 12), 12, false},
      {std::string("\0ZR-45A1234K1", 13), 13, false},    // empty subject
      {"ZR-45A1234K1", 11, false},                        // the count cuts the last byte
      {"ZR-45A1234K1xyz", 12, true},
      {"ZR-45A1234K1", 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsSupportedModelNumber(reinterpret_cast<const BYTE*>(row.bytes.data()), row.count), row.bAccepted)
        << testing::PrintToString(row.bytes) << " count " << row.count;
  }
  EXPECT_FALSE(IsSupportedModelNumber(nullptr, 0));
}

TEST(ModelRule, LineBreaksAreNotArbitraryCharacters) {
  // The four free positions and the last one, in both forms.
  struct Form {
    std::string text;
    int positions[5];
  } const forms[] = {{"ZR-45A1234K1", {6, 7, 8, 9, 11}}, {"ZR45A1234K1", {5, 6, 7, 8, 10}}};
  for (const Form& form : forms)
    for (int pos : form.positions)
      for (char c : {'\r', '\n', 'q'}) {
        std::string subject = form.text;
        subject[pos] = c;
        EXPECT_EQ(Check(subject), c == 'q') << testing::PrintToString(subject);
      }
}

}  // namespace

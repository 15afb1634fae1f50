// Runs the public JSONTestSuite parsing corpus and holds each file to the outcome the
// control channel's parsing rules give it.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.h"

namespace stv {
namespace {

// Invalid JSON that the parser accepts on purpose: numbers follow strtod after an
// optional leading '+', and raw control bytes in strings are kept.
const std::set<std::string> kAcceptedInvalid = {"n_number_+1",
                                                "n_number_-01",
                                                "n_number_-2.",
                                                "n_number_.2e-3",
                                                "n_number_0.e1",
                                                "n_number_2.e+3",
                                                "n_number_2.e-3",
                                                "n_number_2.e3",
                                                "n_number_neg_int_starting_with_zero",
                                                "n_number_neg_real_without_int_part",
                                                "n_number_real_without_fractional_part",
                                                "n_number_starting_with_dot",
                                                "n_number_with_leading_zero",
                                                "n_string_unescaped_ctrl_char",
                                                "n_string_unescaped_newline",
                                                "n_string_unescaped_tab"};

// Implementation-defined cases the parser rejects: range errors, UTF-16 text, a byte
// order mark and nesting beyond the limit. Every other i_ file is accepted.
const std::set<std::string> kRejectedImplementationDefined = {"i_number_double_huge_neg_exp",
                                                              "i_number_huge_exp",
                                                              "i_number_neg_int_huge_exp",
                                                              "i_number_pos_double_huge_exp",
                                                              "i_number_real_neg_overflow",
                                                              "i_number_real_pos_overflow",
                                                              "i_number_real_underflow",
                                                              "i_string_UTF-16LE_with_BOM",
                                                              "i_string_utf16BE_no_BOM",
                                                              "i_string_utf16LE_no_BOM",
                                                              "i_structure_UTF-8_BOM_empty_object",
                                                              "i_structure_500_nested_arrays"};

bool ExpectedToParse(const std::string& name) {
  if (name.starts_with("y_")) return true;
  if (name.starts_with("n_")) return kAcceptedInvalid.count(name) != 0;
  return kRejectedImplementationDefined.count(name) == 0;
}

TEST(JsonTestSuiteTest, EveryFileHasTheExpectedOutcome) {
  const std::filesystem::path folder =
      std::filesystem::path(STV_SHARED_DIR) / "testdata" / "JSONTestSuite" / "test_parsing";
  if (!std::filesystem::is_directory(folder)) {
    GTEST_SKIP() << "JSONTestSuite corpus not found at " << folder;
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  ASSERT_GT(files.size(), 300u) << "the corpus looks incomplete";

  std::set<std::string> seen;
  for (const std::filesystem::path& file : files) {
    const std::string name = file.stem().string();
    std::ifstream stream(file, std::ios::binary);
    ASSERT_TRUE(stream) << name;
    const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(ParseJson(text).has_value(), ExpectedToParse(name)) << name;
    seen.insert(name);
  }
  // A renamed file would silently flip its expectation.
  for (const auto* listed : {&kAcceptedInvalid, &kRejectedImplementationDefined}) {
    for (const std::string& name : *listed) EXPECT_TRUE(seen.count(name)) << name;
  }
}

}  // namespace
}  // namespace stv

#include "protocol/number_text.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/process_values.h"
#include "support/os.h"

namespace zarvi {
namespace {

TEST(FormatRate, ShortestExactFormWithAFractionalPart) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {48000.0, "48000.0"},
      {44100.5, "44100.5"},
      {0.0, "0.0"},
      {16000.0, "16000.0"},
      {0.1, "0.1"},
      {-8000.25, "-8000.25"},
      {1e20, "100000000000000000000.0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {-std::numeric_limits<double>::quiet_NaN(), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatRate(c.value), c.text);
}

TEST(FormatLevel, FourDecimalsAsPrintfWritesThem) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.0F, "0.0000"},
      {0.5F, "0.5000"},
      {-0.25F, "-0.2500"},
      {1.0F / 3, "0.3333"},
      {3.5355339F, "3.5355"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {std::numeric_limits<float>::quiet_NaN(), "nan"},
      // glibc prints the sign of a NaN; x86-64 gives a negative one for inf - inf.
      {-std::numeric_limits<float>::quiet_NaN(), "nan"},
      {std::numeric_limits<float>::infinity() - std::numeric_limits<float>::infinity(), "nan"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {-std::numeric_limits<float>::max(), "-340282346638528859811704183484516925440.0000"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatLevel(c.value), c.text);
}

TEST(FormatSampleList, QuotedLevelsSeparatedByACommaAndABlank) {
  const float samples[] = {0.5F, -0.25F, 1.0F};
  EXPECT_EQ(formatSampleList(samples, 3), R"(["0.5000", "-0.2500", "1.0000"])");
  EXPECT_EQ(formatSampleList(samples, 1), R"(["0.5000"])");
  EXPECT_EQ(formatSampleList(samples, 0), "[]");
  const float notNumbers[] = {-std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::quiet_NaN()};
  EXPECT_EQ(formatSampleList(notNumbers, 2), R"(["nan", "nan"])");
}

TEST(EnvironmentSwitch, OnlyTheExactValueOneTurnsItOn) {
  const char* name = "ZARVI_TEST_SWITCH";
  testing::unsetEnvironment(name);
  EXPECT_FALSE(environmentSwitchIsOn(name));
  for (const char* off : {"", "0", "true", "yes", "01", " 1", "1 ", "11"}) {
    testing::setEnvironment(name, off);
    EXPECT_FALSE(environmentSwitchIsOn(name)) << "'" << off << "'";
  }
  testing::setEnvironment(name, "1");
  EXPECT_TRUE(environmentSwitchIsOn(name));
  testing::unsetEnvironment(name);
}

}  // namespace
}  // namespace zarvi

#include "platform/wasapi/com.h"

#include <audioclient.h>
#include <gtest/gtest.h>

#include <string>

namespace zarvi::wasapi {
namespace {

TEST(DescribeResult, NamesTheAudioClientsErrorsAndGivesTheSystemsTextForTheRestWithTheCodeInHex) {
  const struct {
    HRESULT result;
    std::string description;
  } cases[] = {
      {AUDCLNT_E_DEVICE_INVALIDATED,
       "AUDCLNT_E_DEVICE_INVALIDATED: the audio device was unplugged, disabled or reconfigured (0x88890004)"},
      {AUDCLNT_E_WRONG_ENDPOINT_TYPE,
       "AUDCLNT_E_WRONG_ENDPOINT_TYPE: the endpoint cannot do this (0x88890003)"},
      {AUDCLNT_E_RESOURCES_INVALIDATED,
       "AUDCLNT_E_RESOURCES_INVALIDATED: the stream's resources were invalidated (0x88890026)"},
      {static_cast<HRESULT>(0x8889FFFF), "unknown error (0x8889FFFF)"},
  };
  for (const auto& c : cases) EXPECT_EQ(describeResult(c.result).description, c.description);
  // The system's own words differ between Windows ("Element not found.") and Wine: only their shape
  // is fixed, without the full stop and line break.
  const std::string notFound = describeResult(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)).description;
  EXPECT_TRUE(notFound.starts_with("Element not found")) << notFound;
  EXPECT_TRUE(notFound.ends_with(" (0x80070490)")) << notFound;
  EXPECT_EQ(notFound.find_first_of(".\r\n"), std::string::npos) << notFound;
}

TEST(Utf8, RoundTripsThroughWideText) {
  const std::string name = "Mikrofon (USB) \xE2\x80\x93 \xE9\xBA\xA6\xE5\x85\x8B\xE9\xA3\x8E";
  EXPECT_EQ(toUtf8(toWide(name).c_str()), name);
  EXPECT_EQ(toUtf8(nullptr), "");
  EXPECT_EQ(toWide(""), L"");
}

}  // namespace
}  // namespace zarvi::wasapi

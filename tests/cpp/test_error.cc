#include <gtest/gtest.h>

#include "error.h"

namespace quelvane {
namespace {

TEST(Error, MessagesAndDebugForms) {
  struct Row {
    Error error;
    const char* message;
    const char* debug;
  };
  const Row rows[] = {
      {Error::content_too_short(), "text content too short for this soft-binding algorithm", "ContentTooShort"},
      {Error::generation_failed("x"), "fingerprint generation failed: x", "GenerationFailed(\"x\")"},
      {Error::coding("TooFewShardsPresent"), "reed-solomon coding failed: TooFewShardsPresent",
       "Coding(\"TooFewShardsPresent\")"},
      {Error::tag_mismatch(), "watermark content-binding tag did not verify (transferred or modified content)",
       "TagMismatch"},
      {Error::watermark_unrecoverable(), "watermark could not be recovered from remaining positions",
       "WatermarkUnrecoverable"},
      {Error::invalid_input("a \"q\" \\ \n"), "invalid input: a \"q\" \\ \n",
       "InvalidInput(\"a \\\"q\\\" \\\\ \\n\")"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.error.message(), row.message);
    EXPECT_EQ(row.error.debug(), row.debug);
  }
}

}  // namespace
}  // namespace quelvane

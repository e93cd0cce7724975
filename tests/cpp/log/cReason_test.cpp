// The reason record: the first note counts, null is harmless, the text is
// cut to fit and logged once.
#include "log/cReason.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

TEST(cReason, TheFirstNoteStands) {
  cReason reason{};
  EXPECT_FALSE(cReason_isSet(&reason));
  EXPECT_STREQ(cReason_text(&reason), "");
  EXPECT_FALSE(
      cReason_note(&reason, 0x1A40, "DG block at 0x%X: %d links", 0x1A40, 3));
  EXPECT_TRUE(cReason_isSet(&reason));
  EXPECT_STREQ(cReason_text(&reason), "DG block at 0x1A40: 3 links");
  EXPECT_EQ(reason.offset, 0x1A40u);
  // What fails after the first fault is its consequence.
  cReason_note(&reason, 0x40, "HD block at 0x40: could not be read");
  EXPECT_STREQ(cReason_text(&reason), "DG block at 0x1A40: 3 links");
  EXPECT_EQ(reason.offset, 0x1A40u);
  cReason_clear(&reason);
  EXPECT_FALSE(cReason_isSet(&reason));
  cReason_note(&reason, kReasonNoOffset, "no stream to read");
  EXPECT_STREQ(cReason_text(&reason), "no stream to read");
  EXPECT_EQ(reason.offset, kReasonNoOffset);
}

TEST(cReason, NullRecordsNothing) {
  EXPECT_FALSE(cReason_note(nullptr, 0, "ignored %d", 1));
  EXPECT_FALSE(cReason_isSet(nullptr));
  EXPECT_STREQ(cReason_text(nullptr), "");
  cReason_clear(nullptr);
  LogCapture log;
  cReason_log(nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(cReason, ALongTextIsCutToFit) {
  cReason reason{};
  const std::string longText(1000, 'x');
  cReason_note(&reason, 0, "%s", longText.c_str());
  EXPECT_EQ(std::string(cReason_text(&reason)),
            std::string(sizeof reason.text - 1, 'x'));
}

TEST(cReason, IsLoggedOnceAtErrorLevel) {
  LogCapture log;
  cReason reason{};
  cReason_log(&reason);  // nothing noted: nothing logged
  cReason_note(&reason, 0x200, "TX block at 0x200: length runs past the end");
  cReason_log(&reason);
  cReason_log(&reason);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "TX block at 0x200: length runs past the end"});
}

}  // namespace

#include "engine/errors.h"

#include <gtest/gtest.h>

#include "engine/messages.h"

namespace {

using tessera::ComposeEngineError;

TEST(EngineErrors, ListedCodesShowMessageDashAndInfo) {
  EXPECT_EQ(ComposeEngineError(2, 1107, "C:\\DATA\\PYX.DBF"), "File not found - C:\\DATA\\PYX.DBF");
  // 32 and 5 share their text; the subcode of a listed code never shows.
  EXPECT_EQ(ComposeEngineError(32, 1107, "X"), "File access denied - X");
  EXPECT_EQ(ComposeEngineError(5, 1109, "X"), "File access denied - X");
  EXPECT_EQ(ComposeEngineError(1004, 1299, ""), "dBase field is of incorrect type - ");
  EXPECT_EQ(ComposeEngineError(33, -7, "T"), "Record locked by another user - T");
}

TEST(EngineErrors, UnlistedCodesShowNumbersAndALoneCarriageReturn) {
  EXPECT_EQ(ComposeEngineError(2112, -7, "C:\\DATA\\PYX.CDX"), "Tessera Error 2112.\r C:\\DATA\\PYX.CDX>-7");
  EXPECT_EQ(ComposeEngineError(5117, 5114, "Tag Field is Empty"),
            "Tessera Error 5117, SubCode 5114.\r Tag Field is Empty>5114");
  EXPECT_EQ(ComposeEngineError(7, -7, ""), "Tessera Error 7.\r");
  EXPECT_EQ(ComposeEngineError(-3, 1101, ""), "Tessera Error -3, SubCode 1101.\r");
}

TEST(EngineErrors, RaiseThrowsTheComposedText) {
  try {
    tessera::RaiseEngineError(1001, 1204, "/T/PYX.DBF");
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_STREQ(e.what(), "dBase DBF file header invalid - /T/PYX.DBF");
  }
}

TEST(EngineErrors, ReportsGoThroughTheReplaceableHandler) {
  static int seen = 0;
  const tessera::EngineErrorProc saved = tessera::EngineErrorHandler;
  tessera::EngineErrorHandler = [](int32_t code, int32_t, const std::string&) { seen = code; };
  tessera::ReportEngineError(1003, 1298, "x");
  tessera::EngineErrorHandler = saved;
  EXPECT_EQ(seen, 1003);
  EXPECT_THROW(tessera::ReportEngineError(1003, 1298, "x"), tessera::ETesseraError);
}

TEST(EngineErrors, MessagesFillPlaceholdersInOrder) {
  namespace msg = tessera::msg;
  EXPECT_EQ(msg::Format(msg::kArgumentNeeded, {"Numeric", "2", "STR"}), "Numeric needed for Argument 2 of STR");
  EXPECT_EQ(msg::Format(msg::kIndexLockError, {"33", "/T/PYX.CDX"}), "Error 33 in Lock of /T/PYX.CDX");
  EXPECT_EQ(std::string(msg::kBookmarkInvalid), "Bookmark is invalid for table ");
}

}  // namespace

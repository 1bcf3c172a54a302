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
  EXPECT_EQ(ComposeEngineError(2112, -7, "C:\\DATA\\PYX.CDX"),
            "Tessera Error 2112: the index file is damaged or is not an index file (C:\\DATA\\PYX.CDX)");
  EXPECT_EQ(ComposeEngineError(5117, 5114, "Tag Field is Empty"),
            "Tessera Error 5117, SubCode 5114: an index tag needs a name (Tag Field is Empty)");
  // System errors the list does not hold carry their words and the file.
  EXPECT_EQ(ComposeEngineError(112, 1102, "/data/Pyx.DBF"),
            "Tessera Error 112, SubCode 1102: there is not enough space on the disk (/data/Pyx.DBF)");
  EXPECT_EQ(ComposeEngineError(30, 1101, "/data/PYX.CDX"),
            "Tessera Error 30, SubCode 1101: the disk cannot be read from (/data/PYX.CDX)");
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
}

}  // namespace

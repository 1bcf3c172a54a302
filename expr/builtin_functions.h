// The 37 built-in functions every expression can call, one class each.
// The function registry holds one object of each, in the order below, from
// engine start to engine stop; a call name is looked up there before the
// expression's own resolver, so a table cannot override a built-in.
//
// Each Execute sets the result type, reads its arguments with GetArg (a
// later argument overwrites the value, so what is needed of an earlier one
// is kept first), stores the result into the value and answers true.
//
// Dates travel as reals holding day numbers; CTOD("") gives the blank-date
// marker (kBlankDateMarker), which DOW, DTOC, DTOS, EMPTY and DESCEND read
// as "no date".
#pragma once

#include <cstdint>
#include <string>

#include "expr/user_link.h"

namespace tessera {

// Fills `registry` with the built-ins in their lookup order.
void RegisterBuiltinFunctions(TktFunctionReg& registry);

#define TKT_UDF_MEMBERS(name_text)                                    \
  std::string Name() const override { return name_text; }             \
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;

class TktUDFAllTrim : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("ALLTRIM")
};

class TktUDFAsc : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("ASC")
};

class TktUDFAt : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("AT")
};

class TktUDFAtC : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("ATC")
};

class TktUDFBetween : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("BETWEEN")
};

class TktUDFCeiling : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("CEILING")
};

class TktUDFChr : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("CHR")
};

class TktUDFCTOD : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("CTOD")
};

class TktUDFDate : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("DATE")
};

class TktUDFDescend : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("DESCEND")
};

class TktUDFDOW : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("DOW")
};

class TktUDFDTOC : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("DTOC")
};

class TktUDFDTOS : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("DTOS")
};

class TktUDFEmpty : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("EMPTY")
};

class TktUDFFloor : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("FLOOR")
};

class TktUDFIIF : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("IIF")
};

class TktUDFInt : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("INT")
};

class TktUDFLeft : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("LEFT")
};

class TktUDFLen : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("LEN")
};

class TktUDFLower : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("LOWER")
};

class TktUDFLTrim : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("LTRIM")
};

class TktUDFMod : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("MOD")
};

// PADC, PADL and PADR: reads the three arguments (fill, value, width) and
// places the value's text in a run of fill characters.
class TktUDFPadMain : public TktUserDefFunction {
 public:
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;

 protected:
  // Offset of a text of `length` in a buffer of `width` (length < width).
  virtual int32_t Offset(int32_t width, int32_t length) const = 0;
  // Fill, width and text live in the call, not in this object: the object
  // is shared by every expression, and an argument may itself call a pad
  // function (PADL(PADL(...))).
};

// Centred; the odd fill character goes to the right.
class TktUDFPadC : public TktUDFPadMain {
 public:
  std::string Name() const override { return "PADC"; }

 protected:
  int32_t Offset(int32_t width, int32_t length) const override { return (width - length) / 2; }
};

class TktUDFPadL : public TktUDFPadMain {
 public:
  std::string Name() const override { return "PADL"; }

 protected:
  int32_t Offset(int32_t width, int32_t length) const override { return width - length; }
};

class TktUDFPadR : public TktUDFPadMain {
 public:
  std::string Name() const override { return "PADR"; }

 protected:
  int32_t Offset(int32_t, int32_t) const override { return 0; }
};

class TktUDFProper : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("PROPER")
};

class TktUDFRight : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("RIGHT")
};

class TktUDFTrim : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("TRIM")
};

// Shares TRIM's body.
class TktUDFRTrim : public TktUDFTrim {
 public:
  std::string Name() const override { return "RTRIM"; }
};

class TktUDFSoundex : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("SOUNDEX")
};

class TktUDFSpace : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("SPACE")
};

class TktUDFStr : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("STR")

 protected:
  virtual bool ZeroFill() const { return false; }
};

class TktUDFStrTran : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("STRTRAN")
};

// STR with the leading blanks turned into zeros.
class TktUDFStrZero : public TktUDFStr {
 public:
  std::string Name() const override { return "STRZERO"; }

 protected:
  bool ZeroFill() const override { return true; }
};

class TktUDFSubStr : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("SUBSTR")
};

class TktUDFUpper : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("UPPER")
};

class TktUDFVal : public TktUserDefFunction {
 public:
  TKT_UDF_MEMBERS("VAL")
};

#undef TKT_UDF_MEMBERS

}  // namespace tessera

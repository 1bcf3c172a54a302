// A small resolver for expression tests: named variables of any type whose
// values a test sets, one that produces nothing, and a helper that
// compiles and evaluates a text against it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "engine/errors.h"
#include "expr/exp_handler.h"
#include "expr/user_link.h"
#include "platform/text_convert.h"

namespace expr_test {

using tessera::TktExpValue;

class TestVar : public tessera::TktUserDefFieldVar {
 public:
  TestVar(std::string name, uint8_t type) : TktUserDefFieldVar(std::move(name), 10, 0), type_(type) {}
  bool GetValue(TktExpValue& value, uint8_t& type) override {
    ++reads;
    if (type_ == tessera::kExpNoValue) return false;
    value = value_;
    type = type_;
    return true;
  }
  void SetText(std::string_view t) { value_.SetText(t); }
  void SetReal(double d) { value_.SetReal(d); }
  void SetLogical(bool b) { value_.SetLogical(b); }
  int reads = 0;

 private:
  uint8_t type_;
  TktExpValue value_;
};

// Variables: NAME (text "SMITH     "), CITY (text), N (number 7), M
// (number), D (date 8 Feb 2001), FLAG (logical true), NOTHING (no value),
// RAW (a field type the engine does not interpret, read as text).
class TestLink : public tessera::TktExpUserLink {
 public:
  TestLink() {
    name = Add("NAME", tessera::kExpText);
    name->SetText("SMITH     ");
    city = Add("CITY", tessera::kExpText);
    city->SetText("");
    n = Add("N", tessera::kExpNumber);
    n->SetReal(7);
    m = Add("M", tessera::kExpNumber);
    m->SetReal(0);
    d = Add("D", tessera::kExpDate);
    d->SetReal(2451949);
    flag = Add("FLAG", tessera::kExpLogical);
    flag->SetLogical(true);
    nothing = Add("NOTHING", tessera::kExpNoValue);
    raw = Add("RAW", tessera::kExpRawField);
    raw->SetText("0x1F");
  }
  TestVar* Add(std::string var_name, uint8_t type) {
    auto var = std::make_unique<TestVar>(std::move(var_name), type);
    TestVar* p = var.get();
    AddFieldVar(std::move(var));
    return p;
  }
  TestVar *name, *city, *n, *m, *d, *flag, *nothing, *raw;
};

struct Result {
  uint8_t type = 0;
  TktExpValue value;
  std::string Text() const { return value.AsText(); }
  double Real() const { return value.AsReal(); }
  bool Logical() const { return value.AsLogical(); }
};

// Starts the engine for a test program and fixes the display date form.
class ExprTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessera::EngineStart();
    plat::SetShortDateFormat("dd.MM.yyyy");
  }

  Result Eval(std::string_view text) {
    tessera::TktExpHandler h(&link, false, text);
    Result r;
    h.Evaluate(r.value);
    r.type = h.ResultType();
    return r;
  }
  std::string Text(std::string_view text) {
    Result r = Eval(text);
    EXPECT_EQ(r.type, tessera::kExpText) << text;
    return r.Text();
  }
  double Number(std::string_view text) {
    Result r = Eval(text);
    EXPECT_EQ(r.type, tessera::kExpNumber) << text;
    return r.Real();
  }
  bool Logical(std::string_view text) {
    Result r = Eval(text);
    EXPECT_EQ(r.type, tessera::kExpLogical) << text;
    return r.Logical();
  }
  // The message of the ETesseraExpression compiling or evaluating raises
  // ("" when none is raised).
  std::string Error(std::string_view text) {
    try {
      Eval(text);
    } catch (const tessera::ETesseraExpression& e) {
      return e.what();
    }
    return std::string();
  }

  TestLink link;
};

}  // namespace expr_test

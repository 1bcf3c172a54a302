// Name resolution for expressions. A call name is looked up in the
// process-wide function registry first, then in the expression's resolver
// (TktExpUserLink); variable names only in the resolver. A table's resolver
// knows the table's fields and functions; a program may build its own.
//
// Function and variable objects belong to the list they were added to and
// live as long as it; compiled nodes only point at them, so a resolver must
// outlive every expression compiled against it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr/exp_value.h"

namespace tessera {

class TktExpFunction;

// A function an expression can call. Execute receives the call node (for
// its arguments, see TktExpFunction::GetArg), one value that is both the
// scratch space for arguments and the result, and the result type; it
// answers false when it produces nothing.
class TktUserDefFunction {
 public:
  virtual ~TktUserDefFunction() = default;
  /* 0 */ virtual std::string Name() const { return std::string(); }  // upper case
  /* 1 */ virtual bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type);
};

// A named variable an expression can read.
class TktUserDefFieldVar {
 public:
  TktUserDefFieldVar(std::string name, int32_t width, int32_t decimals);
  virtual ~TktUserDefFieldVar() = default;

  /* 0 */ virtual const std::string& Name() const { return name_; }
  // 16 for a program's variable, 17 for a table field.
  /* 1 */ virtual int VarClass() const { return 16; }
  /* 2 */ virtual bool GetValue(TktExpValue& value, uint8_t& type);

  int32_t Width() const { return width_; }
  int32_t Decimals() const { return decimals_; }

 private:
  std::string name_;
  int32_t width_;
  int32_t decimals_;
};

// An ordered list of function objects that owns them.
class TktFunctionReg {
 public:
  void Add(std::unique_ptr<TktUserDefFunction> function);
  // The first function whose name equals `name` exactly, or null.
  TktUserDefFunction* Find(std::string_view name) const;
  size_t size() const { return items_.size(); }
  TktUserDefFunction* at(size_t i) const { return items_[i].get(); }

 private:
  struct Item {
    std::string name;  // Name(), kept so lookups need not ask every object
    std::unique_ptr<TktUserDefFunction> function;
    TktUserDefFunction* get() const { return function.get(); }
  };
  std::vector<Item> items_;
};

// An ordered list of variables that owns them.
class TktFieldVarReg {
 public:
  void Add(std::unique_ptr<TktUserDefFieldVar> var) { items_.push_back(std::move(var)); }
  TktUserDefFieldVar* Find(std::string_view name) const;
  size_t size() const { return items_.size(); }
  TktUserDefFieldVar* at(size_t i) const { return items_[i].get(); }

 private:
  std::vector<std::unique_ptr<TktUserDefFieldVar>> items_;
};

// A name resolver.
class TktExpUserLink {
 public:
  TktExpUserLink() = default;
  virtual ~TktExpUserLink() = default;
  TktExpUserLink(const TktExpUserLink&) = delete;
  TktExpUserLink& operator=(const TktExpUserLink&) = delete;

  // The first own function named `name` (upper case), or null.
  /* 0 */ virtual TktUserDefFunction* FindFunction(std::string_view name);
  // The first variable named `name`; when there is none and the name holds
  // a ".", the part after the first "." is tried (an alias and a point may
  // stand before a field name).
  /* 1 */ virtual TktUserDefFieldVar* FindFieldVar(std::string_view name);
  // Called for a call name nobody knows; raises ETesseraExpression
  // "There is no function for %s".
  /* 2 */ virtual TktUserDefFunction* UnknownFunction(std::string_view name);
  // Whether `name` (upper case), written before "->", names the work area
  // whose fields this resolver knows: "FIELD" and "_FIELD" always do (the
  // current work area of Clipper and FoxPro); a table's resolver adds the
  // table's alias.
  virtual bool IsOwnAlias(std::string_view name) const;

  void AddFunction(std::unique_ptr<TktUserDefFunction> function) { functions_.Add(std::move(function)); }
  void AddFieldVar(std::unique_ptr<TktUserDefFieldVar> var) { vars_.Add(std::move(var)); }
  const TktFunctionReg& Functions() const { return functions_; }
  const TktFieldVarReg& FieldVars() const { return vars_; }

  // The width STR uses when it is given none.
  int32_t DefaultWidth = 10;

 private:
  TktFunctionReg functions_;
  TktFieldVarReg vars_;
};

// The function registry: the 37 built-in functions, filled when the engine
// starts (or on first use by a program that did not start it) and freed
// when it stops. Every expression of the process shares it.
TktFunctionReg& FunctionRegistry();
void StartFunctionRegistry();
void StopFunctionRegistry();

}  // namespace tessera

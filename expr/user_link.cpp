#include "expr/user_link.h"

#include "engine/errors.h"
#include "engine/messages.h"
#include "expr/builtin_functions.h"

namespace tessera {

bool TktUserDefFunction::Execute(TktExpFunction&, TktExpValue&, uint8_t&) { return false; }

TktUserDefFieldVar::TktUserDefFieldVar(std::string name, int32_t width, int32_t decimals)
    : name_(std::move(name)), width_(width), decimals_(decimals) {}

bool TktUserDefFieldVar::GetValue(TktExpValue&, uint8_t&) { return false; }

void TktFunctionReg::Add(std::unique_ptr<TktUserDefFunction> function) {
  if (!function) return;
  std::string name = function->Name();
  items_.push_back(Item{std::move(name), std::move(function)});
}

TktUserDefFunction* TktFunctionReg::Find(std::string_view name) const {
  for (const Item& item : items_)
    if (item.name == name) return item.function.get();
  return nullptr;
}

TktUserDefFieldVar* TktFieldVarReg::Find(std::string_view name) const {
  for (const auto& var : items_)
    if (var->Name() == name) return var.get();
  return nullptr;
}

TktUserDefFunction* TktExpUserLink::FindFunction(std::string_view name) { return functions_.Find(name); }

TktUserDefFieldVar* TktExpUserLink::FindFieldVar(std::string_view name) {
  if (TktUserDefFieldVar* var = vars_.Find(name)) return var;
  // One retry with what follows the first point: "PYX.CALL_" finds CALL_.
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos) return nullptr;
  return vars_.Find(name.substr(dot + 1));
}

TktUserDefFunction* TktExpUserLink::UnknownFunction(std::string_view name) {
  throw ETesseraExpression(msg::Format(msg::kNoFunction, {name}));
}

bool TktExpUserLink::IsOwnAlias(std::string_view name) const { return name == "FIELD" || name == "_FIELD"; }

namespace {
std::unique_ptr<TktFunctionReg> g_registry;
}  // namespace

TktFunctionReg& FunctionRegistry() {
  if (!g_registry) StartFunctionRegistry();
  return *g_registry;
}

void StartFunctionRegistry() {
  if (g_registry) return;
  auto registry = std::make_unique<TktFunctionReg>();
  RegisterBuiltinFunctions(*registry);
  g_registry = std::move(registry);
}

void StopFunctionRegistry() { g_registry.reset(); }

}  // namespace tessera

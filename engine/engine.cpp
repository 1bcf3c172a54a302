#include "engine/engine.h"

#include <memory>

#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "engine/file_coll.h"
#include "expr/user_link.h"
#include "platform/codepage.h"

namespace tessera {
namespace {

bool g_started = false;
std::unique_ptr<TktDBFDate> g_date;
std::unique_ptr<KTobjFileColl> g_files;

}  // namespace

void EngineStart() {
  if (g_started) return;
  EngineErrorHandler = &RaiseEngineError;
  // The conversions of the engine's two code pages come from iconv; a
  // system without them stops here, saying so, rather than showing '?'.
  plat::ToUnicode(plat::CodePage::kOem, 'A');
  plat::ToUnicode(plat::CodePage::kAnsi, 'A');
  g_date = std::make_unique<TktDBFDate>();
  if (!g_files) g_files = std::make_unique<KTobjFileColl>();
  StartFunctionRegistry();
  g_started = true;
}

void EngineStop() {
  if (!g_started) return;
  if (g_files) g_files->CloseAll();
  StopFunctionRegistry();
  g_date.reset();
  g_started = false;
}

bool EngineStarted() { return g_started; }

TktDBFDate& EngineDate() {
  if (!g_date) g_date = std::make_unique<TktDBFDate>();
  return *g_date;
}

KTobjFileColl& FileRegistry() {
  if (!g_files) g_files = std::make_unique<KTobjFileColl>();
  return *g_files;
}

}  // namespace tessera

#include "app/engine_error_texts.h"

#include <algorithm>

#include "engine/errors.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace pyx {

std::string WithPathAsOnDisk(const std::string& info) {
  if (info.empty() || info[0] != '/') return info;
  size_t end = info.size();
  for (const char* stop : {": ", ", ", "->", ">"}) end = std::min(end, info.find(stop));
  return plat::ResolveCase(info.substr(0, end)) + info.substr(end);
}

void CallbookEngineError(int32_t code, int32_t sub_code, const std::string& info) {
  const std::string text = WithPathAsOnDisk(info);
  if (code == plat::kErrSharingViolation) throw tessera::ETesseraError("File " + text + " is in use by another program");
  tessera::RaiseEngineError(code, sub_code, text);
}

}  // namespace pyx

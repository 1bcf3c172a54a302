#include "index/key_text.h"

#include <string>

#include "engine/dbf_date.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/index_file.h"
#include "index/index_tag.h"
#include "platform/text_convert.h"

namespace tessera {
namespace {

void Refuse(const KTobjIndexTag& tag, std::string_view text, const char* what) {
  tag.File()->ReportError(kCodeFieldType, kNoSubCode,
                          "'" + std::string(text) + "' is not a " + what + " for the key of tag " + tag.Name());
}

}  // namespace

int32_t KeyTextDate(const KTobjIndexTag& tag, std::string_view text) {
  if (text.empty()) return 0;
  try {
    return EngineDate().ParseDate(text);
  } catch (const plat::ConvertError&) {
    Refuse(tag, text, "date");
  }
  return 0;
}

double KeyTextNumber(const KTobjIndexTag& tag, std::string_view text) {
  double number = 0;
  if (!text.empty() && !plat::TryTextToFloat(text, &number)) Refuse(tag, text, "number");
  return number;
}

}  // namespace tessera

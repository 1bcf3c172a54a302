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

double KeyTextDateTime(const KTobjIndexTag& tag, std::string_view text) {
  if (text.empty()) return 0;
  std::string_view date = text, time;
  const size_t cut = text.find_first_of(" T");
  if (cut != std::string_view::npos) {
    date = text.substr(0, cut);
    time = text.substr(cut + 1);
    while (!time.empty() && time.front() == ' ') time.remove_prefix(1);
  } else if (text.size() == 14 && text.find_first_not_of("0123456789") == std::string_view::npos) {
    date = text.substr(0, 8);
    time = text.substr(8);
  }
  const double day = KeyTextDate(tag, date);
  if (time.empty()) return day;
  // hh, mm, ss and a fraction of a second, with or without colons.
  double parts[3] = {0, 0, 0};
  size_t at = 0;
  for (int i = 0; i < 3 && at < time.size(); ++i) {
    size_t end = at;
    while (end < time.size() && time[end] >= '0' && time[end] <= '9' && end - at < 2) ++end;
    if (i == 2 && end < time.size() && time[end] == '.') {
      ++end;
      while (end < time.size() && time[end] >= '0' && time[end] <= '9') ++end;
    }
    if (end == at || !plat::TryTextToFloat(time.substr(at, end - at), &parts[i])) Refuse(tag, text, "date and time");
    at = end;
    if (at < time.size() && time[at] == ':') ++at;
  }
  if (at != time.size() || parts[0] >= 24 || parts[1] >= 60 || parts[2] >= 60) Refuse(tag, text, "date and time");
  return day + (parts[0] * 3600 + parts[1] * 60 + parts[2]) / 86400;
}

double KeyTextNumber(const KTobjIndexTag& tag, std::string_view text) {
  double number = 0;
  if (!text.empty() && !plat::TryTextToFloat(text, &number)) Refuse(tag, text, "number");
  return number;
}

}  // namespace tessera

#include "platform/text_list.h"

namespace plat {

std::string_view TrimRightOf(std::string_view text, std::string_view chars) {
  const size_t last = text.find_last_not_of(chars);
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

std::string_view TrimOf(std::string_view text, std::string_view chars) {
  text = TrimRightOf(text, chars);
  const size_t first = text.find_first_not_of(chars);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

std::vector<std::string> SplitNameList(std::string_view list, bool keep_empty) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view name = TrimOf(list.substr(start, end - start));
    if (keep_empty || !name.empty()) out.emplace_back(name);
    start = end + 1;
  }
  return out;
}

}  // namespace plat

#include "tools/sqlite/tag_uses.h"

#include <cctype>

#include "engine/variant.h"
#include "index/index_tag.h"
#include "platform/text_convert.h"

namespace tessera_sql {
namespace {

bool IsQuote(char c) { return c == '"' || c == '\''; }

// Upper case and no blanks outside quoted literals.
std::string Normalize(const std::string& text) {
  std::string out;
  char quote = 0;
  for (char c : text) {
    if (quote != 0) {
      out += c;
      if (c == quote) quote = 0;
    } else if (IsQuote(c) || c == '[') {
      quote = c == '[' ? ']' : c;
      out += c;
    } else if (c != ' ' && c != '\t') {
      out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return out;
}

// Splits at `sep` outside parentheses and quotes.
std::vector<std::string> SplitTop(const std::string& s, const std::string& sep) {
  std::vector<std::string> parts;
  int depth = 0;
  char quote = 0;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (IsQuote(c) || c == '[') quote = c == '[' ? ']' : c;
    else if (c == '(') ++depth;
    else if (c == ')') --depth;
    else if (depth == 0 && s.compare(i, sep.size(), sep) == 0) {
      parts.push_back(s.substr(start, i - start));
      i += sep.size() - 1;
      start = i + 1;
    }
  }
  parts.push_back(s.substr(start));
  return parts;
}

// Whether the parentheses that open at `open` close at the end of s.
bool WrapsToEnd(const std::string& s, size_t open) {
  int depth = 0;
  char quote = 0;
  for (size_t i = open; i < s.size(); ++i) {
    const char c = s[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (IsQuote(c)) quote = c;
    else if (c == '(') ++depth;
    else if (c == ')' && --depth == 0) return i == s.size() - 1;
  }
  return false;
}

std::string StripParens(std::string s) {
  while (s.size() >= 2 && s.front() == '(' && WrapsToEnd(s, 0)) s = s.substr(1, s.size() - 2);
  return s;
}

// The argument of NAME(...) when the whole term is that call.
bool CallArgument(const std::string& term, const std::string& name, std::string* inner) {
  if (term.size() <= name.size() + 2 || term.compare(0, name.size() + 1, name + "(") != 0) return false;
  if (!WrapsToEnd(term, name.size())) return false;
  *inner = term.substr(name.size() + 1, term.size() - name.size() - 2);
  return true;
}

bool IsIdentifier(const std::string& s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

// The column a field reference names ("NAME", "ALIAS->NAME"), -1 when none.
int FieldColumn(tessera::KTO_dBHandler& table, std::string term) {
  const size_t arrow = term.rfind("->");
  if (arrow != std::string::npos) term = term.substr(arrow + 2);
  if (!IsIdentifier(term)) return -1;
  const int n = table.FieldNumber(term);
  return n >= 1 ? n - 1 : -1;
}

bool IsTextColumn(const Column& c) { return c.kind == ColumnKind::kText; }

bool IsValueColumn(const Column& c) {
  switch (c.kind) {
    case ColumnKind::kInteger:
    case ColumnKind::kReal:
    case ColumnKind::kDate:
    case ColumnKind::kInt32:
    case ColumnKind::kCurrency:
    case ColumnKind::kDouble:
    case ColumnKind::kDateTime: return true;
    default: return false;
  }
}

}  // namespace

bool ShapeOfKey(tessera::KTO_dBHandler& table, const std::vector<Column>& columns, const std::string& expression,
                TagUse* use) {
  std::vector<std::string> terms = SplitTop(StripParens(Normalize(expression)), "+");
  std::string inner;
  // UPPER(A) or UPPER(A+B+...): every term upper-cased.
  bool upper = false;
  if (terms.size() == 1 && CallArgument(terms[0], "UPPER", &inner)) {
    upper = true;
    terms = SplitTop(StripParens(inner), "+");
  }
  std::string lead = StripParens(terms[0]);
  if (!upper && CallArgument(lead, "UPPER", &inner)) {
    upper = true;
    lead = StripParens(inner);
  }
  const int first = FieldColumn(table, lead);
  if (first < 0 || first >= static_cast<int>(columns.size())) return false;
  const Column& c = columns[static_cast<size_t>(first)];
  use->column = first;
  use->order_columns.clear();
  if (terms.size() == 1) {
    if (upper) {
      if (!IsTextColumn(c)) return false;
      use->shape = TagUse::Shape::kUpper;
      return true;
    }
    if (IsTextColumn(c)) use->shape = TagUse::Shape::kWhole;
    else if (IsValueColumn(c)) use->shape = TagUse::Shape::kValue;
    else if (c.kind == ColumnKind::kLogical) use->shape = TagUse::Shape::kLogical;
    else return false;
    use->order_columns = {first};
    return true;
  }
  if (!IsTextColumn(c)) return false;
  use->shape = upper ? TagUse::Shape::kLeadingUpper : TagUse::Shape::kLeading;
  use->lead_width = table.Field(c.field).Width();
  // Plain text fields in front keep the order of their columns.
  if (!upper)
    for (const std::string& t : terms) {
      const int col = FieldColumn(table, StripParens(t));
      if (col < 0 || !IsTextColumn(columns[static_cast<size_t>(col)])) break;
      use->order_columns.push_back(col);
    }
  return true;
}

ForCondition ParseForCondition(tessera::KTO_dBHandler& table, const CodePage& page, const std::string& text) {
  ForCondition cond;
  const std::string all = StripParens(Normalize(text));
  if (all.empty()) return cond;
  cond.present = true;
  for (std::string term : SplitTop(all, ".AND.")) {
    term = StripParens(term);
    if (term == ".NOT.DELETED()" || term == "!DELETED()" || term == "NOTDELETED()") {
      cond.needs_live_records = true;
      continue;
    }
    ForCondition::Equality eq;
    std::string field = term, literal = ".T.";
    if (term.rfind(".NOT.", 0) == 0) field = term.substr(5), literal = ".F.";
    else if (term.rfind('!', 0) == 0 && term.find('=') == std::string::npos) field = term.substr(1), literal = ".F.";
    size_t op = term.find("==");
    if (op != std::string::npos) {
      eq.exact = true;
      field = term.substr(0, op);
      literal = term.substr(op + 2);
    } else if ((op = term.find('=')) != std::string::npos && term.find_first_of("<>!#") > op) {
      field = term.substr(0, op);
      literal = term.substr(op + 1);
    }
    const int col = FieldColumn(table, field);
    if (col < 0 || literal.empty()) {
      cond.understood = false;
      break;
    }
    eq.column = col;
    const char q = literal.front();
    if ((IsQuote(q) && literal.size() >= 2 && literal.back() == q) ||
        (q == '[' && literal.size() >= 2 && literal.back() == ']')) {
      std::string body = literal.substr(1, literal.size() - 2);
      while (!body.empty() && body.back() == ' ') body.pop_back();
      eq.text = page.Decode(body);
    } else if (literal == ".T." || literal == ".F.") {
      eq.numeric = true;
      eq.number = literal == ".T." ? 1 : 0;
    } else if (plat::TryTextToFloat(literal, &eq.number)) {
      eq.numeric = true;
    } else {
      cond.understood = false;
      break;
    }
    cond.equalities.push_back(std::move(eq));
  }
  return cond;
}

std::vector<TagUse> FindTagUses(tessera::KTO_dBHandler& table, const std::vector<Column>& columns,
                                const CodePage& page) {
  std::vector<TagUse> uses;
  for (int n = 1;; ++n) {
    tessera::KTobjIndexTag* tag = table.TagByNumber(n);
    if (tag == nullptr) break;
    // A name other files share cannot be told apart when selected.
    if (table.FindTag(tag->Name()) != tag || tag->Unique() || tag->Descending()) continue;
    TagUse use;
    use.number = n;
    use.name = tag->Name();
    if (!ShapeOfKey(table, columns, tag->KeyExpression(), &use)) continue;
    // A logical keys as the character "T" or "F".
    const bool text_key = use.shape != TagUse::Shape::kValue;
    if (text_key != (tag->KeyType() == 'C')) {
      // A date keyed as "yyyymmdd" text (NTX) is still the date's order.
      if (!(use.shape == TagUse::Shape::kValue && columns[static_cast<size_t>(use.column)].kind == ColumnKind::kDate))
        continue;
    }
    // Date-times are sought in Visual FoxPro's key form for them (type T,
    // a day number and its fraction) only.
    if (columns[static_cast<size_t>(use.column)].kind == ColumnKind::kDateTime && tag->KeyType() != 'T') continue;
    // Keys from a value need the tag's expression, which another
    // program's tag may hold in a form this engine does not compile; its
    // stored keys are still searched by key text.
    const bool evaluated = use.shape == TagUse::Shape::kUpper || use.shape == TagUse::Shape::kLeadingUpper;
    if (evaluated && !tag->Unusable().empty()) continue;
    // A collation this engine does not build cannot be searched.
    try {
      tessera::TktVariant probe;
      probe.SetText("A");
      if (text_key) tag->NormalizeKey(probe, true);
    } catch (const std::exception&) {
      continue;
    }
    use.condition = ParseForCondition(table, page, tag->ForExpression());
    if (!use.condition.understood) continue;
    uses.push_back(std::move(use));
  }
  return uses;
}

}  // namespace tessera_sql

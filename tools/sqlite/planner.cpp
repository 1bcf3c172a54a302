#include "tools/sqlite/planner.h"

#include <cmath>
#include <strings.h>

#include <string>
#include <vector>

#include "platform/text_convert.h"
#include "tools/sqlite/scan_plan.h"

namespace tessera_sql {
namespace {

struct Candidate {
  ScanPlan plan;
  std::vector<int> constraints;  // in argument order
  double rows = 0;
  double cost = 0;
  bool order_consumed = false;
  bool unique = false;
};

// SQLite's own sort of `rows` rows, in the units of a row read.
double SortCost(double rows) { return rows > 1 ? rows * std::log2(rows) * 0.5 : 0; }

bool SameCollation(sqlite3_index_info* info, int i, const Column& column) {
  const char* used = sqlite3_vtab_collation(info, i);
  const std::string own = column.collated ? column.declaration.substr(column.declaration.rfind(' ') + 1) : "BINARY";
  return used == nullptr ? own == "BINARY" : strcasecmp(used, own.c_str()) == 0;
}

// The number of literal characters a LIKE or GLOB pattern begins with,
// when the pattern is known while planning; -1 when it is not.
int PrefixLength(sqlite3_index_info* info, int i, bool like) {
  sqlite3_value* v = nullptr;
  if (sqlite3_vtab_rhs_value(info, i, &v) != SQLITE_OK || v == nullptr) return -1;
  const auto* p = sqlite3_value_text(v);
  if (p == nullptr) return 0;
  const std::string s(reinterpret_cast<const char*>(p));
  const size_t cut = s.find_first_of(like ? "%_" : "*?[");
  int chars = 0;
  for (size_t k = 0; k < std::min(cut, s.size()); ++k)
    if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) ++chars;
  return chars;
}

}  // namespace

bool ConditionImplied(const ForCondition& condition, XbaseTable& table, sqlite3_index_info* info) {
  if (!condition.present) return true;
  if (condition.needs_live_records && table.Options().deleted != DeletedRecords::kHide) return false;
  for (const ForCondition::Equality& eq : condition.equalities) {
    bool implied = false;
    for (int i = 0; i < info->nConstraint && !implied; ++i) {
      const auto& c = info->aConstraint[i];
      if (!c.usable || c.iColumn != eq.column || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
      sqlite3_value* v = nullptr;
      if (sqlite3_vtab_rhs_value(info, i, &v) != SQLITE_OK || v == nullptr) continue;
      if (eq.numeric) {
        double d = 0;
        const int type = sqlite3_value_type(v);
        if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) d = sqlite3_value_double(v);
        else if (type != SQLITE_TEXT || !plat::TryTextToFloat(reinterpret_cast<const char*>(sqlite3_value_text(v)), &d))
          continue;
        implied = d == eq.number;
      } else if (sqlite3_value_type(v) == SQLITE_TEXT) {
        std::string s(reinterpret_cast<const char*>(sqlite3_value_text(v)));
        while (!s.empty() && s.back() == ' ') s.pop_back();
        implied = eq.exact ? s == eq.text : s.compare(0, eq.text.size(), eq.text) == 0;
      }
    }
    if (!implied) return false;
  }
  return true;
}

void ChoosePlan(XbaseTable& table, sqlite3_index_info* info) {
  const double n = std::max<double>(1, table.RecordCount());
  const double log_n = std::log2(n + 1);
  const bool ordered = info->nOrderBy > 0;
  const auto& columns = table.Columns();

  // Record order, with the record-number constraints.
  Candidate best;
  {
    Candidate c;
    bool low = false, high = false, eq = false;
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& k = info->aConstraint[i];
      if (!k.usable || k.iColumn != -1) continue;
      char op = 0;
      switch (k.op) {
        case SQLITE_INDEX_CONSTRAINT_EQ: op = '=', eq = true; break;
        case SQLITE_INDEX_CONSTRAINT_GT: op = '>', low = true; break;
        case SQLITE_INDEX_CONSTRAINT_GE: op = ']', low = true; break;
        case SQLITE_INDEX_CONSTRAINT_LT: op = '<', high = true; break;
        case SQLITE_INDEX_CONSTRAINT_LE: op = '[', high = true; break;
        default: continue;
      }
      c.plan.ops += op;
      c.constraints.push_back(i);
    }
    c.rows = eq ? 1 : low && high ? n / 16 : low || high ? n / 4 : n;
    c.unique = eq;
    if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == -1) {
      c.order_consumed = true;
      c.plan.descending = info->aOrderBy[0].desc != 0;
    }
    c.cost = c.rows + (ordered && !c.order_consumed ? SortCost(c.rows) : 0);
    best = c;
  }

  // Every tag that serves a column.
  for (const TagUse& use : table.Tags()) {
    if (!ConditionImplied(use.condition, table, info)) continue;
    const Column& column = columns[static_cast<size_t>(use.column)];
    const bool text = use.shape != TagUse::Shape::kValue && use.shape != TagUse::Shape::kLogical;
    const bool ranges = use.shape == TagUse::Shape::kWhole || use.shape == TagUse::Shape::kLeading ||
                        use.shape == TagUse::Shape::kValue;
    Candidate c;
    c.plan.tag = use.number;
    c.plan.name = use.name;
    bool eq = false, low = false, high = false, in = false, not_null = false;
    int prefix = -2;  // -2: no LIKE or GLOB; -1: a pattern not known yet
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& k = info->aConstraint[i];
      if (!k.usable || k.iColumn != use.column) continue;
      if (k.op == SQLITE_INDEX_CONSTRAINT_ISNOTNULL) not_null = true;
      char op = 0;
      switch (k.op) {
        case SQLITE_INDEX_CONSTRAINT_EQ: op = '='; break;
        case SQLITE_INDEX_CONSTRAINT_GT:
        case SQLITE_INDEX_CONSTRAINT_GE: op = ranges ? '>' : 0; break;
        case SQLITE_INDEX_CONSTRAINT_LT:
        case SQLITE_INDEX_CONSTRAINT_LE: op = ranges ? '<' : 0; break;
        case SQLITE_INDEX_CONSTRAINT_LIKE: op = text ? '~' : 0; break;
        case SQLITE_INDEX_CONSTRAINT_GLOB: op = text ? '*' : 0; break;
        default: break;
      }
      if (op == 0) continue;
      // A comparison under another collation orders (and matches) otherwise.
      if ((op == '=' || op == '<' || op == '>') && !SameCollation(info, i, column)) continue;
      if (op == '~' || op == '*') {
        if (prefix != -2) continue;  // one pattern is enough
        prefix = PrefixLength(info, i, op == '~');
        if (prefix == 0) {
          prefix = -2;
          continue;
        }
      }
      if (op == '=') eq = true, in = in || sqlite3_vtab_in(info, i, -1);
      if (op == '>') low = true;
      if (op == '<') high = true;
      c.plan.ops += op;
      c.constraints.push_back(i);
    }
    const bool constrained = !c.constraints.empty();
    // The tag's order is the columns' when every ORDER BY term follows it,
    // all one way. A blank number, logical or date (NULL, which SQL sorts
    // first) lies among the keys where its key puts it (with 0, with
    // false, first or last), so such a column's order counts only when a
    // comparison or IS NOT NULL keeps the blanks out.
    bool consumed = ordered && !in && static_cast<size_t>(info->nOrderBy) <= use.order_columns.size() &&
                    (!column.blank_is_null || constrained || not_null);
    for (int k = 0; consumed && k < info->nOrderBy; ++k)
      consumed = info->aOrderBy[k].iColumn == use.order_columns[static_cast<size_t>(k)] &&
                 info->aOrderBy[k].desc == info->aOrderBy[0].desc;
    if (!constrained && !consumed) continue;
    const bool whole = use.shape == TagUse::Shape::kWhole || use.shape == TagUse::Shape::kValue;
    if (eq) c.rows = whole ? 10 : 25;
    else if (prefix >= 0 || prefix == -1) c.rows = std::max(10.0, n / std::pow(8.0, prefix < 0 ? 2 : std::min(prefix, 8)));
    else if (low && high) c.rows = n / 16;
    else if (low || high) c.rows = n / 4;
    else c.rows = n;
    c.order_consumed = consumed;
    c.plan.descending = consumed && info->aOrderBy[0].desc != 0;
    // A walk along a tag reads records out of their order: twice a read in
    // record order. A LIKE tries each spelling of its letters.
    const double seeks = (prefix != -2 ? 8 : 1) * (in ? 4 : 1);
    c.cost = seeks * log_n + c.rows * 2 + (ordered && !consumed ? SortCost(c.rows) : 0);
    // On a table of a few records these estimates exceed what a scan
    // reads, but a search through a tag reads no more records than the
    // table holds.
    if (constrained) c.cost = std::min(c.cost, n * 0.75);
    if (c.cost < best.cost) best = c;
  }

  for (size_t k = 0; k < best.constraints.size(); ++k) {
    info->aConstraintUsage[best.constraints[k]].argvIndex = static_cast<int>(k) + 1;
    info->aConstraintUsage[best.constraints[k]].omit = 0;
  }
  info->idxNum = best.plan.tag;
  info->idxStr = sqlite3_mprintf("%s", best.plan.Text().c_str());
  info->needToFreeIdxStr = 1;
  info->orderByConsumed = best.order_consumed ? 1 : 0;
  info->estimatedCost = best.cost;
  info->estimatedRows = static_cast<sqlite3_int64>(std::max(1.0, best.rows));
  if (best.unique) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
}

}  // namespace tessera_sql

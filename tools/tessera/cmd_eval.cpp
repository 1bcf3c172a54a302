// tessera eval TABLE [--recno N] [--all] [--] EXPR
#include <cmath>
#include <cstdio>
#include <string>

#include "engine/dbf_date.h"
#include "engine/errors.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"
#include "tools/tessera/command.h"
#include "tools/tessera/record_json.h"
#include "tools/tessera/table_text.h"

namespace tessera_tool {
namespace {

// One output line: the result type code, a tab and the value.
std::string ResultLine(const tessera::KTO_dBaseDBF& table, uint8_t type, const tessera::TktExpValue& value) {
  std::string out = std::to_string(type) + "\t";
  switch (type) {
    case tessera::kExpText:
    case tessera::kExpRawField:
      // As they are, trailing blanks kept.
      out += ToUtf8(table, value.AsText());
      break;
    case tessera::kExpNumber:
      out += plat::ShortestText(value.AsReal());
      break;
    case tessera::kExpDate: {
      const double day = value.AsReal();
      const bool in_range = std::isfinite(day) && std::fabs(day) < 2147483647.0;
      out += tessera::EngineDate().StorageText(in_range ? static_cast<int32_t>(day) : 0);
      break;
    }
    case tessera::kExpLogical:
      out += value.AsLogical() ? ".T." : ".F.";
      break;
    default:
      break;
  }
  return out + "\n";
}

int Eval(const Args& args) {
  ArgParser p(args, {"--all"}, {"--recno"});
  p.Expect(2, 2);
  const bool all = p.Has("--all");
  long long recno = 1;
  if (const std::string* v = p.Value("--recno")) recno = ParseInteger(*v, "--recno");
  if (all && p.Has("--recno")) throw UsageError{"--all and --recno exclude each other"};

  auto table = OpenForReading(p.Positional()[0]);
  tessera::TktExpHandler expr(table->NameResolver());
  try {
    expr.Compile(FromUtf8(*table, p.Positional()[1]));
  } catch (const tessera::ETesseraExpression& e) {
    // The message quotes the expression in the table's code page.
    throw tessera::ETesseraExpression(ToUtf8(*table, e.what()));
  }

  tessera::TktExpValue value;
  auto evaluate = [&](int32_t record) {
    table->GotoRecord(record);
    try {
      expr.Evaluate(value);
    } catch (const tessera::ETesseraExpression& e) {
      throw tessera::ETesseraExpression(ToUtf8(*table, e.what()));
    }
    // Written at once: an error on a later record ends the command with
    // every line before it out.
    const std::string line = ResultLine(*table, expr.ResultType(), value);
    std::fwrite(line.data(), 1, line.size(), stdout);
  };
  if (all) {
    for (int32_t r = 1; r <= table->RecordCount(); ++r) evaluate(r);
    return 0;
  }
  if (recno < 1 || recno > table->RecordCount())
    tessera::ReportEngineError(tessera::kCodeBeyondEof, tessera::kSubReadRecord, table->FileName());
  evaluate(static_cast<int32_t>(recno));
  return 0;
}

TESSERA_COMMAND("eval", "eval TABLE [--recno N] [--all] [--] EXPR",
                "Evaluate an expression on a record (default 1) or, with --all, on every record.",
                "EXPR is UTF-8 and is converted to the table's code page before it is compiled against\n"
                "the table's fields. Each evaluation prints one line: the result type code (3 text, 4 number,\n"
                "6 date, 8 logical, 9 field of an uninterpreted type, 1 no value), a tab and the\n"
                "value: texts as they are (trailing blanks kept) in UTF-8, numbers in the shortest\n"
                "form that reads back as the same double, dates as YYYYMMDD (eight blanks for no\n"
                "date), logicals as .T. or .F.. With --all line N belongs to record N; each line is\n"
                "written as its record is read, so an error part-way (status 1) leaves the lines before it.\n"
                "An EXPR that begins with \"-\" goes after \"--\": tessera eval T.DBF -- \"-N\".",
                Eval);

}  // namespace
}  // namespace tessera_tool

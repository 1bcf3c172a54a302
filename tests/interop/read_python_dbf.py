"""Prints a dBase table as Debian's python3-dbf reads it.

One line per record in file order: "L" or "D", then one tab-separated
token per field (the _NullFlags field is not one of its fields):
  -            no value (None, Null, an empty date)
  T / F / ?    logical
  i:N          integer
  f:N.NNNNNN   decimal or floating point (six decimals)
  d:YYYYMMDD   date
  t:YYYYMMDDhhmmss.mmm  date-time
  s:HEX        text, trailing blanks removed, as the hex of its bytes in
               the table's code page (memo texts as they are)
"""
import contextlib
import datetime
import decimal
import io
import sys

import dbf


def token(v, codepage):
    if v is None or v is dbf.Null or type(v).__name__ == "NullType":
        return "-"
    name = type(v).__name__
    if name == "Logical":
        return "?" if v is dbf.Unknown else ("T" if v else "F")
    if isinstance(v, bool):
        return "T" if v else "F"
    if isinstance(v, int):
        return "i:%d" % v
    if isinstance(v, (float, decimal.Decimal)):
        return "f:%.6f" % float(v)
    if name == "DateTime":
        if not v:
            return "-"
        v = v._datetime
    if name == "Date":
        if not v:
            return "-"
        v = v._date
    if isinstance(v, datetime.datetime):
        return "t:%s.%03d" % (v.strftime("%Y%m%d%H%M%S"), v.microsecond // 1000)
    if isinstance(v, datetime.date):
        return "d:%04d%02d%02d" % (v.year, v.month, v.day)
    if isinstance(v, str):
        return "s:" + v.encode(codepage).hex()
    return "?" + repr(v)


def main(path, codepage):
    # python3-dbf prints notes of its own on standard output.
    with contextlib.redirect_stdout(io.StringIO()):
        table = dbf.Table(path, codepage=codepage)
        table.open(dbf.READ_ONLY)
        lines = []
        for r in table:
            values = [r[n] for n in table.field_names]
            types = [table.field_info(n).field_type for n in table.field_names]
            tokens = []
            for v, t in zip(values, types):
                if isinstance(v, str) and chr(t) == "C":
                    v = v.rstrip(" ")
                tokens.append(token(v, codepage))
            lines.append("\t".join(["D" if dbf.is_deleted(r) else "L"] + tokens))
        table.close()
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "cp1252")

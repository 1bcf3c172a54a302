"""Prints a dBase table as Debian's python3-dbfread reads it.

One line per record, live records first and then deleted ones (each group
in file order): "L" or "D", then one tab-separated token per field:
  -            no value (None)
  T / F        logical
  i:N          integer
  f:N.NNNNNN   floating point (six decimals)
  d:YYYYMMDD   date
  t:YYYYMMDDhhmmss.mmm  date-time
  s:HEX        text, as the hex of its CP866 bytes (memo texts too)
  b:HEX        bytes
"""
import datetime
import decimal
import sys

import dbfread


def token(v):
    if v is None:
        return "-"
    if isinstance(v, bool):
        return "T" if v else "F"
    if isinstance(v, int):
        return "i:%d" % v
    if isinstance(v, (float, decimal.Decimal)):
        return "f:%.6f" % float(v)
    if isinstance(v, datetime.datetime):
        return "t:%s.%03d" % (v.strftime("%Y%m%d%H%M%S"), v.microsecond // 1000)
    if isinstance(v, datetime.date):
        return "d:%04d%02d%02d" % (v.year, v.month, v.day)
    if isinstance(v, str):
        return "s:" + v.encode("cp866").hex()
    if isinstance(v, (bytes, bytearray)):
        return "b:" + bytes(v).hex()
    return "?" + repr(v)


def main(path):
    table = dbfread.DBF(path, encoding="cp866", char_decode_errors="strict", load=True)
    for flag, records in (("L", table.records), ("D", table.deleted)):
        for r in records:
            print("\t".join([flag] + [token(v) for v in r.values()]))


if __name__ == "__main__":
    main(sys.argv[1])

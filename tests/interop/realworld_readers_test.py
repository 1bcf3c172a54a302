"""Every real-world table as tessera reads it, against the independent
readers Debian has: dbfread (python3-dbfread), Perl XBase
(libdbd-xbase-perl) and python3-dbf, each used as a black box.

For each table a reader reads, `tessera info` must give its record count
and fields, and `tessera dump` every record's deletion mark and every
field's value as that reader gives it. Where the readers are known to be
wrong (the README of the real-world folder names the right one, or the
reader cannot know a rule of the format), the comparison with that reader
is left out for that field and the reason is listed below.

usage: realworld_readers_test.py TESSERA REALWORLD_DIR
Exit status 0 when all agree, 1 with the disagreements listed, 77 when the
folder is absent.
"""
import datetime
import decimal
import json
import os
import subprocess
import sys

TESSERA = sys.argv[1]
ROOT = os.environ.get("PYX_REALWORLD") or sys.argv[2]
PERL_READER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "read_xbase.pl")

# (table, reader, kind) -> why that reader is not compared there; kind is
# "*" (every field), "*memo" (memo fields), "*count" (the record count),
# "*nullflags" (what _NullFlags decides) or a field's name.
KNOWN = {
    # dbfread steps through the records by the header's record length, one
    # byte short of the fields, and reads every value shifted by a byte (and
    # a seventh record); Perl XBase refuses the table.
    ("dbasers/stations_with_deleted.dbf", "dbfread", "*"): "dbfread reads the values shifted",
    # python3-dbf takes descriptor byte 18 for Visual FoxPro's field flags in
    # a dBase III table too and hides every field as a system field.
    ("clip/customer.dbf", "python3-dbf", "*"): "python3-dbf hides the fields",
    # Perl XBase reads FPT memos of 1-byte blocks as their first bytes.
    ("dbffile/vfp9_memo_bs1.dbf", "perl", "*memo"): "Perl XBase misreads memos of 1-byte blocks",
    # Perl XBase takes the 64-bit currency for unsigned.
    ("perlxbase/types.dbf", "perl", "PAYMENT"): "Perl XBase reads negative currency as unsigned",
    # dBase IV memos: dbfread takes 512-byte blocks and counts the block
    # header into the length (the README names Perl XBase right).
    ("rubydbf/dbase_8b.dbf", "dbfread", "*memo"): "dbfread misreads dBase IV memos",
    ("s7/BAUSTEIN.DBF", "dbfread", "*memo"): "dbfread misreads dBase IV memos",
    ("s7/CHANGELOG.DBF", "dbfread", "*memo"): "dbfread misreads dBase IV memos",
    ("s7/SUBBLK.DBF", "dbfread", "*memo"): "dbfread misreads dBase IV memos",
    # Visual FoxPro nulls and varchar lengths live in _NullFlags, which
    # neither dbfread nor Perl XBase reads.
    ("*", "dbfread", "*nullflags"): "dbfread does not read _NullFlags",
    ("*", "perl", "*nullflags"): "Perl XBase does not read _NullFlags",
    # Perl XBase takes eight zero bytes, Visual FoxPro's empty date-time, for
    # a date before the year 1.
    ("*", "perl", "*emptytime"): "Perl XBase reads an empty date-time as day 0",
    # Perl XBase drops every trailing white-space byte of a character field
    # (a carriage return of STEP 7's binary time stamps too); only blanks and
    # NULs are padding.
    ("*", "perl", "*whitespace"): "Perl XBase trims carriage returns",
}

failures = []


def fail(table, reader, message):
    failures.append("%s [%s]: %s" % (table, reader, message))


def run(args, env=None):
    return subprocess.run(args, capture_output=True, env=env)


def tessera(args):
    env = dict(os.environ, LC_ALL="C")
    r = run([TESSERA] + args, env)
    return r.returncode, r.stdout.decode("utf-8"), r.stderr.decode("utf-8", "replace")


def python_codec(code_page):
    if code_page == 65001:
        return "utf-8"
    if code_page in (620, 895):
        return None
    return "cp%d" % code_page


def our_table(path):
    code, out, err = tessera(["info", path])
    if code != 0:
        return None, err.strip()
    info = {}
    for line in out.splitlines():
        if ":" in line and not line.startswith(" "):
            k, v = line.split(":", 1)
            info[k.strip()] = v.strip()
    code, out, err = tessera(["dump", path])
    if code != 0:
        return None, err.strip()
    lines = out.splitlines()
    header = json.loads(lines[0])
    records = [json.loads(l) for l in lines[1:]]
    cp = info["Code page"].split()[0]
    number = {"UTF-8": 65001, "Mazovia": 620}.get(cp)
    if number is None:
        number = int(cp[2:]) if cp.startswith("CP") else int(cp.split("(")[-1].rstrip(")"))
    return {"header": header, "records": records, "code_page": number, "info": info}, None


def parse_date(text):
    return datetime.datetime.strptime(text, "%m/%d/%Y").date()


def parse_datetime(text):
    return datetime.datetime.strptime(text, "%m/%d/%Y %H:%M:%S")


def nearest_second(dt):
    return (dt + datetime.timedelta(microseconds=500000)).replace(microsecond=0)


def same_number(a, b):
    a, b = float(a), float(b)
    return abs(a - b) <= 1e-9 * max(1.0, abs(a), abs(b))


def field_kinds(ours, index):
    """What kind of value field `index` holds, for the known-fault rules."""
    f = ours["header"]["fields"][index]
    kinds = {"*"}
    if f["type"] in "MGBPW":
        kinds.add("*memo")
    return kinds


def compare_dbfread(rel, path, ours):
    import dbfread

    if (rel, "dbfread", "*") in KNOWN:
        return "not compared: " + KNOWN[(rel, "dbfread", "*")]
    codec = python_codec(ours["code_page"])
    try:
        t = dbfread.DBF(path, encoding=codec or "latin-1", char_decode_errors="replace", load=True,
                        ignore_missing_memofile=True, recfactory=list)
        rows = [("L", r) for r in t.records] + [("D", r) for r in t.deleted]
    except Exception as e:  # the reader does not read this table
        return "does not read it (%s)" % type(e).__name__
    # The fields as info and dump give them: type, width, decimals, and the
    # name where no database container gives a long one.
    fields = ours["header"]["fields"]
    if len(t.fields) != len(fields):
        fail(rel, "dbfread", "%d fields, tessera %d" % (len(t.fields), len(fields)))
        return None
    long_names = "Container" in ours["info"]
    for theirs, mine in zip(t.fields, fields):
        width = theirs.length + (256 * theirs.decimal_count if theirs.type == "C" else 0)
        decimals = 0 if theirs.type == "C" else theirs.decimal_count
        if theirs.type != mine["type"] or width != mine["width"] or decimals != mine["decimals"] or (
                not long_names and theirs.name != mine["name"]):
            fail(rel, "dbfread", "field %s %s(%d,%d), tessera %s %s(%d,%d)" % (
                theirs.name, theirs.type, width, decimals, mine["name"], mine["type"], mine["width"], mine["decimals"]))
    ours_rows = [r for r in ours["records"] if not r["deleted"]] + [r for r in ours["records"] if r["deleted"]]
    # dbfread leaves out records whose flag is neither blank nor "*".
    if len(rows) != len(ours_rows):
        if len(rows) == 0:
            return "reads no records (flags it does not know)"
        if (rel, "dbfread", "*count") not in KNOWN:
            fail(rel, "dbfread", "%d records, tessera %d" % (len(rows), len(ours_rows)))
            return None
        rows = [r for r in rows if any(v not in (None, "") for _, v in r[1])]
    names = [f["name"] for f in ours["header"]["fields"]]
    null_flags = any(f["type"] == "0" for f in ours["header"]["fields"])
    for (flag, row), mine in zip(rows, ours_rows):
        values = [v for _, v in row]
        if len(values) != len(names):
            fail(rel, "dbfread", "%d fields, tessera %d" % (len(values), len(names)))
            return None
        for i, (theirs, shown) in enumerate(zip(values, mine["values"])):
            kinds = field_kinds(ours, i)
            if any((rel, "dbfread", k) in KNOWN for k in kinds):
                continue
            if null_flags and ("*", "dbfread", "*nullflags") in KNOWN and (shown is None or ours["header"]["fields"][i]["type"] in "VQ0"):
                continue
            if not agree(theirs, shown, ours, i):
                fail(rel, "dbfread", "record %d field %s: dbfread %r, tessera %r" %
                     (mine["recno"], names[i], theirs, shown))
    return None


def agree(theirs, shown, ours, i):
    f = ours["header"]["fields"][i]
    if theirs is None:
        return shown is None or shown == ""
    if shown is None:
        return theirs == "" or theirs == b""
    if isinstance(theirs, bool):
        return shown == ("T" if theirs else "F")
    if isinstance(theirs, (int, float, decimal.Decimal)):
        try:
            return same_number(theirs, shown)
        except ValueError:
            return False
    if isinstance(theirs, datetime.datetime):
        try:
            return nearest_second(theirs) == parse_datetime(shown)
        except ValueError:
            return False
    if isinstance(theirs, datetime.date):
        try:
            return theirs == parse_date(shown)
        except ValueError:
            return False
    if isinstance(theirs, (bytes, bytearray)):
        return bytes(theirs).hex() == shown
    if isinstance(theirs, str):
        if f["type"] == "C":
            theirs = theirs.rstrip(" \0")
        return theirs == shown or same_text_lossy(theirs, shown)
    return False


def same_text_lossy(theirs, shown):
    """Bytes a code page leaves undefined are U+FFFD on either side."""
    if len(theirs) != len(shown):
        return False
    return all(a == b or a == "\ufffd" or b == "\ufffd" for a, b in zip(theirs, shown))


def compare_perl(rel, path, ours):
    r = run(["/usr/bin/perl", PERL_READER, path])
    if r.returncode != 0:
        return "does not read it (%s)" % r.stderr.decode("utf-8", "replace").strip().splitlines()[-1][:80]
    rows = [l.split("\t") for l in r.stdout.decode("ascii").splitlines()]
    if len(rows) != len(ours["records"]):
        fail(rel, "perl", "%d records, tessera %d" % (len(rows), len(ours["records"])))
        return None
    codec = python_codec(ours["code_page"])
    fields = ours["header"]["fields"]
    null_flags = any(f["type"] == "0" for f in fields)
    for row, mine in zip(rows, ours["records"]):
        if (row[0] == "D") != mine["deleted"]:
            fail(rel, "perl", "record %d: deletion mark differs" % mine["recno"])
        values = row[1:]
        if len(values) != len(fields):
            fail(rel, "perl", "%d fields, tessera %d" % (len(values), len(fields)))
            return None
        for i, (theirs, shown) in enumerate(zip(values, mine["values"])):
            f = fields[i]
            if any((rel, "perl", k) in KNOWN for k in field_kinds(ours, i) | {f["name"]}):
                continue
            if null_flags and (shown is None or f["type"] in "VQ0"):
                continue
            if f["type"] == "T" and shown is None and theirs == "-210866803200".encode().hex():
                continue  # *emptytime
            if f["type"] == "C" and shown is not None and codec:
                theirs_b = bytes.fromhex(theirs) if theirs != "-" else b""
                mine_b = shown.encode(codec, "replace")
                if theirs_b.rstrip(b" \0\t\r\n\f\x0b") == mine_b.rstrip(b" \0\t\r\n\f\x0b"):
                    continue  # *whitespace
            if not agree_perl(theirs, shown, f, codec):
                fail(rel, "perl", "record %d field %s: Perl %s, tessera %r" % (mine["recno"], f["name"], theirs, shown))
    return None


def agree_perl(theirs, shown, f, codec):
    """Perl XBase's value (hex of its bytes, "-" for undef) against ours."""
    if theirs == "-":
        return shown is None or shown == ""
    raw = bytes.fromhex(theirs)
    t = f["type"]
    if shown is None:
        return raw.strip(b" \0") == b""
    if t in "NFIY+O" or t == "B" and f["width"] == 8:
        try:
            return same_number(raw.decode("ascii"), shown)
        except ValueError:
            return False
    if t == "L":
        return (raw == b"1") == (shown == "T")
    if t == "D":
        try:
            return datetime.datetime.strptime(raw.decode("ascii"), "%Y%m%d").date() == parse_date(shown)
        except ValueError:
            return False
    if t in "T@":
        # Seconds since 1970, with the milliseconds as a fraction.
        seconds = float(raw.decode("ascii"))
        mine = parse_datetime(shown) - datetime.datetime(1970, 1, 1)
        return abs(mine.total_seconds() - seconds) <= 0.5
    if t in "GPWBQ0":
        return raw.hex() == shown
    text = shown
    if t == "C":
        raw = raw.rstrip(b" \0")
    if codec is None:
        return True  # a code page Python has no codec for: nothing to compare with
    return raw.decode(codec, "replace") == text or same_text_lossy(raw.decode(codec, "replace"), text)


def compare_python_dbf(rel, path, ours):
    import contextlib
    import io

    import dbf

    if (rel, "python3-dbf", "*") in KNOWN:
        return "not compared: " + KNOWN[(rel, "python3-dbf", "*")]
    codec = python_codec(ours["code_page"])
    try:
        # python3-dbf prints notes of its own on standard output.
        with contextlib.redirect_stdout(io.StringIO()):
            t = dbf.Table(path, codepage=codec) if codec else dbf.Table(path)
            t.open(dbf.READ_ONLY)
            rows = []
            for rec in t:
                rows.append((dbf.is_deleted(rec), [rec[n] for n in t.field_names]))
            t.close()
    except Exception as e:
        return "does not read it (%s)" % type(e).__name__
    # python3-dbf leaves out the _NullFlags field; fields are matched by
    # position (it knows only the descriptors' short names).
    positions = [i for i, f in enumerate(ours["header"]["fields"]) if f["type"] != "0"]
    if len(rows) != len(ours["records"]):
        fail(rel, "python3-dbf", "%d records, tessera %d" % (len(rows), len(ours["records"])))
        return None
    for (deleted, values), mine in zip(rows, ours["records"]):
        if deleted != mine["deleted"]:
            fail(rel, "python3-dbf", "record %d: deletion mark differs" % mine["recno"])
        if len(values) != len(positions):
            fail(rel, "python3-dbf", "%d fields, tessera %d" % (len(values), len(positions)))
            return None
        for i, theirs in zip(positions, values):
            f = ours["header"]["fields"][i]
            shown = mine["values"][i]
            kind = type(theirs).__name__
            if theirs is dbf.Null or kind == "NullType":
                theirs = None
            elif kind == "Date":
                theirs = theirs._date if theirs else None
            elif kind == "DateTime":
                theirs = theirs._datetime if theirs else None
            elif kind == "Logical":
                theirs = None if theirs is dbf.Unknown or theirs is None else bool(theirs)
            if isinstance(theirs, str) and f["type"] == "C":
                theirs = theirs.rstrip(" ")
            if not agree(theirs, shown, ours, i):
                fail(rel, "python3-dbf", "record %d field %s: python3-dbf %r, tessera %r" %
                     (mine["recno"], f["name"], theirs, shown))
    return None


def main():
    if not os.path.isfile(os.path.join(ROOT, "README.md")):
        print("the real-world files are absent (%s): skipped" % ROOT)
        return 77
    tables = []
    for folder in sorted(os.listdir(ROOT)):
        d = os.path.join(ROOT, folder)
        if os.path.isdir(d):
            tables += [folder + "/" + n for n in sorted(os.listdir(d)) if n.lower().endswith(".dbf")]
    read_by_someone = 0
    for rel in tables:
        path = os.path.join(ROOT, rel)
        ours, error = our_table(path)
        if ours is None:
            fail(rel, "tessera", error)
            continue
        notes = []
        for name, compare in (("dbfread", compare_dbfread), ("perl", compare_perl), ("python3-dbf", compare_python_dbf)):
            note = compare(rel, path, ours)
            if note:
                notes.append("%s %s" % (name, note))
            else:
                read_by_someone += 1
        print("%-55s %s" % (rel, "; ".join(notes) if notes else "all three agree"))
    for f in failures:
        print("DISAGREE " + f)
    print("%d tables, %d readings compared, %d disagreements" % (len(tables), read_by_someone, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

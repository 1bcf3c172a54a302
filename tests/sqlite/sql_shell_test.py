#!/usr/bin/python3
"""The tessera SQLite extension as its users meet it: loaded into the
sqlite3 shell and into Python's sqlite3 module, searching with the
callbook's eleven tags, giving what `tessera list` gives, writing what
`tessera`, Perl XBase and `tessera check` read back, importing and exporting
CSV, sharing the table with a second process that writes at the same time,
and `tessera sql` over every folder of other programs' files.

    sql_shell_test.py EXTENSION TESSERA FIXTURES INTEROP_DIR REALWORLD_DIR

Exits 77 (skipped) when the sqlite3 shell or a Python that loads
extensions is missing (scripts/setup installs both).
"""
import csv
import datetime
import io
import json
import math
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

EXTENSION = TESSERA = FIXTURES = INTEROP = REALWORLD = None
SQLITE3 = shutil.which("sqlite3")

TAG_OF = {"call_": "CALL", "fam_": "FIO", "im_": "IM", "otch_": "OTCH", "ind_": "IND", "reg_": "REG",
          "gor_": "GOR", "tel_": "TEL", "strana_": "STRANA", "email_": "EMAIL", "url_": "URL"}
ORDER_OF = {"FIO": "fam_, im_, otch_", "IM": "im_, fam_, otch_", "OTCH": "otch_, fam_, im_"}


def tessera(*args, check=True, **kw):
    r = subprocess.run([TESSERA, *args], capture_output=True, **kw)
    if check and r.returncode != 0:
        raise AssertionError("tessera %s: %s" % (" ".join(args), r.stderr.decode()))
    return r


def shell(db, *commands, stdin=None, cwd=None, env=None):
    """Runs the sqlite3 shell with the extension loaded; (status, out, err)."""
    args = [SQLITE3, "-bail", "-cmd", ".load " + EXTENSION]
    for c in commands[:-1]:
        args += ["-cmd", c]
    args += [db, commands[-1]] if commands else [db]
    r = subprocess.run(args, input=stdin, capture_output=True, cwd=cwd, env=env)
    return r.returncode, r.stdout.decode(), r.stderr.decode()


def connect(table_dir, options=""):
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.enable_load_extension(True)
    db.load_extension(EXTENSION)
    db.execute("CREATE VIRTUAL TABLE pyx USING tessera('%s'%s)" % (os.path.join(table_dir, "Pyx.DBF"), options))
    return db


def dump_records(table, raw=False):
    out = tessera("dump", *(["--raw"] if raw else []), table).stdout.decode().splitlines()
    return [json.loads(line) for line in out[1:]]


class Callbook(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        for name in ("Pyx.DBF", "PYX.CDX"):
            shutil.copy(os.path.join(FIXTURES, "callbook", name), self.dir)
        self.table = os.path.join(self.dir, "Pyx.DBF")
        self.create = "CREATE VIRTUAL TABLE pyx USING tessera('%s');" % self.table

    def check_index(self):
        r = tessera("check", self.table, os.path.join(self.dir, "PYX.CDX"), check=False)
        self.assertEqual((r.returncode, r.stdout.decode()), (0, "11 tags sound\n"), r.stderr)

    def test_eleven_tags_serve_their_columns_in_the_shell_and_in_python(self):
        db = connect(self.dir)
        for column, tag in TAG_OF.items():
            with self.subTest(column=column):
                query = "SELECT * FROM pyx WHERE %s = 'X'" % column
                status, out, err = shell(":memory:", self.create + "EXPLAIN QUERY PLAN " + query)
                self.assertEqual(status, 0, err)
                self.assertIn(":%s =" % tag, out)
                plan = " ".join(row[3] for row in db.execute("EXPLAIN QUERY PLAN " + query))
                self.assertIn(":%s =" % tag, plan)
                like = "SELECT count(*) FROM pyx WHERE %s LIKE 'А%%'" % column
                self.assertIn(":%s ~" % tag, " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + like)))

    def test_rows_and_tag_orders_are_what_tessera_list_gives(self):
        listed = [(r["recno"], r["values"]) for r in
                  map(json.loads, tessera("list", self.table).stdout.decode().splitlines()[1:])]
        status, out, err = shell(":memory:", ".mode json", self.create + "SELECT rowid, * FROM pyx")
        self.assertEqual(status, 0, err)
        rows = [(r.pop("rowid"), list(r.values())) for r in json.loads(out)]
        self.assertEqual(rows, listed)
        db = connect(self.dir)
        for tag in TAG_OF.values():
            with self.subTest(tag=tag):
                order = ORDER_OF.get(tag, [c for c, t in TAG_OF.items() if t == tag][0])
                query = "SELECT rowid FROM pyx ORDER BY " + order
                plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + query))
                self.assertNotIn("TEMP B-TREE", plan)  # the tag gives the order
                expected = [json.loads(line)["recno"] for line in tessera(
                    "list", self.table, "--index", os.path.join(self.dir, "PYX.CDX"), "--tag", tag)
                    .stdout.decode().splitlines()[1:]]
                self.assertEqual([r[0] for r in db.execute(query)], expected)

    def test_writes_read_back_by_tessera_perl_and_check(self):
        status, out, err = shell(":memory:", self.create +
                                 "INSERT INTO pyx (call_, fam_, im_) VALUES ('ZZ9ZZ', 'Ёжиков', 'Пётр');"
                                 "UPDATE pyx SET gor_ = 'Тверь', tel_ = '+7 4822' WHERE call_ = 'ZZ9ZZ';"
                                 "UPDATE pyx SET prim_ = 'QSL via bureau' WHERE rowid = 10;"
                                 "DELETE FROM pyx WHERE rowid = 11;"
                                 "SELECT rowid FROM pyx WHERE call_ = 'ZZ9ZZ';")
        self.assertEqual((status, out), (0, "3001\n"), err)
        records = dump_records(self.table)
        self.assertEqual(records[3000]["values"][:7], ["ZZ9ZZ", "Ёжиков", "Пётр", "", "", "", "Тверь"])
        self.assertEqual(records[9]["values"][9], "QSL via bureau")
        self.assertTrue(records[10]["deleted"])
        raw = dump_records(self.table, raw=True)
        perl = subprocess.run(["perl", os.path.join(INTEROP, "read_xbase.pl"), self.table], capture_output=True)
        self.assertEqual(perl.returncode, 0, perl.stderr)
        lines = perl.stdout.decode().splitlines()
        self.assertEqual(len(lines), len(raw))
        for record, line in zip(raw, lines):
            mark, *values = line.split("\t")
            self.assertEqual(mark, "D" if record["deleted"] else "L")
            # Perl XBase drops the trailing blanks of character fields.
            self.assertEqual([bytes.fromhex(v).rstrip(b" ") for v in values],
                             [bytes.fromhex(v).rstrip(b" ") for v in record["values"]], record["recno"])
        self.check_index()

    def test_csv_export_import_and_insert_from_a_native_table(self):
        exported = os.path.join(self.dir, "ural.csv")
        status, _, err = shell(":memory:", ".headers on", ".mode csv", ".once " + exported,
                               self.create + "SELECT * FROM pyx WHERE reg_ = 'Свердловская обл.' ORDER BY call_")
        self.assertEqual(status, 0, err)
        with open(exported, encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], list(TAG_OF)[:4] + ["ind_", "reg_", "gor_", "ulic_", "tel_", "prim_", "strana_",
                                                      "email_", "url_"])
        self.assertGreater(len(rows), 10)
        status, out, err = shell(":memory:", self.create, ".import --csv --skip 1 %s pyx" % exported,
                                 "SELECT count(*) FROM pyx WHERE reg_ = 'Свердловская обл.'")
        self.assertEqual((status, out), (0, "%d\n" % (2 * (len(rows) - 1))), err)
        db = connect(self.dir)
        db.execute("CREATE TABLE native AS SELECT * FROM pyx WHERE gor_ = 'Уфа'")
        ufa = db.execute("SELECT count(*) FROM native").fetchone()[0]
        db.execute("INSERT INTO pyx SELECT * FROM native")
        self.assertEqual(db.execute("SELECT count(*) FROM pyx WHERE gor_ = 'Уфа'").fetchone()[0], 2 * ufa)
        db.close()
        self.check_index()

    def test_engine_messages_reach_the_shell_and_python(self):
        status, _, err = shell(":memory:", self.create + "INSERT INTO pyx (call_) VALUES ('ABCDEFGHIJK')")
        self.assertNotEqual(status, 0)
        self.assertIn("The value for field CALL_ is 11 characters long; the field holds 10", err)
        db = connect(self.dir)
        with self.assertRaises(sqlite3.OperationalError) as e:
            db.execute("INSERT INTO pyx (call_) VALUES ('漢')")
        self.assertIn("has no place in code page cp866", str(e.exception))
        with self.assertRaises(sqlite3.OperationalError) as e:
            db.execute("CREATE VIRTUAL TABLE gone USING tessera('%s')" % os.path.join(self.dir, "Gone.dbf"))
        self.assertIn("Gone.dbf", str(e.exception))

    def test_the_short_name_loads_from_the_library_path(self):
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.dirname(EXTENSION))
        r = subprocess.run([SQLITE3, ":memory:", ".load libtessera_sqlite", self.create + "SELECT count(*) FROM pyx"],
                           capture_output=True, env=env)
        self.assertEqual((r.returncode, r.stdout), (0, b"2993\n"), r.stderr)

    def test_a_second_process_writing_at_the_same_time_loses_nothing(self):
        # The other process: tessera sql, reading its statements as they come.
        other = subprocess.Popen([TESSERA, "sql", self.dir], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE)
        db = connect(self.dir)
        before = db.execute("SELECT count(*) FROM pyx").fetchone()[0]
        for n in range(150):
            other.stdin.write(("INSERT INTO pyx (call_, fam_) VALUES ('B%03d', 'Второй');"
                               "UPDATE pyx SET prim_ = 'B%d' WHERE rowid = 5;\n" % (n, n)).encode())
            other.stdin.flush()
            db.execute("INSERT INTO pyx (call_, fam_) VALUES ('A%03d', 'Первый')" % n)
            db.execute("UPDATE pyx SET tel_ = 'A%d' WHERE rowid = 5" % n)
            if n % 50 == 0:
                db.execute("BEGIN")
                db.execute("UPDATE pyx SET email_ = 'a%d@x' WHERE call_ LIKE 'B%%'" % n)
                db.execute("COMMIT")
        _, err = other.communicate()
        self.assertEqual(other.returncode, 0, err)
        self.assertEqual(db.execute("SELECT count(*) FROM pyx").fetchone()[0], before + 300)
        for prefix in ("A", "B"):
            calls = [r[0] for r in db.execute("SELECT call_ FROM pyx WHERE call_ LIKE '%s%%' ORDER BY call_" % prefix)]
            self.assertEqual(calls, ["%s%03d" % (prefix, n) for n in range(150)])
        self.assertEqual(db.execute("SELECT tel_, prim_ FROM pyx WHERE rowid = 5").fetchone(), ("A149", "B149"))
        self.check_index()


class TesseraSql(unittest.TestCase):
    def test_outputs_options_and_exit_statuses(self):
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work)
        for name in ("Pyx.DBF", "PYX.CDX"):
            shutil.copy(os.path.join(FIXTURES, "callbook", name), work)
        query = "SELECT rowid, call_, fam_ FROM pyx WHERE call_ IN ('RW9VN', 'UA1RND') ORDER BY rowid"
        r = tessera("sql", work, query)
        self.assertEqual([json.loads(line) for line in r.stdout.decode().splitlines()],
                         [{"rowid": 1, "call_": "UA1RND", "fam_": "Орлов"}, {"rowid": 5, "call_": "RW9VN", "fam_": "Шапиро"},
                          {"rowid": 2512, "call_": "RW9VN", "fam_": "Шапиро"}])
        r = tessera("sql", "--csv", work, query)
        self.assertEqual(r.stdout.decode(), "rowid,call_,fam_\r\n1,UA1RND,Орлов\r\n5,RW9VN,Шапиро\r\n2512,RW9VN,Шапиро\r\n")
        r = tessera("sql", "--table", work, query)
        self.assertEqual(r.stdout.decode().splitlines()[:3], ["rowid  call_   fam_", "-----  ------  ------", "1      UA1RND  Орлов"])
        # Statements from standard input, each run when complete; the first
        # failure ends the command with SQLite's message and status 1.
        r = tessera("sql", work, input=b"SELECT count(*) AS n\nFROM pyx;\nSELECT nope FROM pyx;\nSELECT 1;\n", check=False)
        self.assertEqual((r.returncode, r.stdout), (1, b'{"n":2993}\n'))
        self.assertEqual(r.stderr.decode(), "tessera sql: no such column: nope\n")
        r = tessera("sql", "--deleted", "only", work, "SELECT count(*) AS n FROM pyx")
        self.assertEqual(r.stdout, b'{"n":7}\n')
        for args, message in [(("--csv", "--table", work, "SELECT 1"), "one at a time"),
                              (("--deleted", "all", work, "SELECT 1"), "--deleted takes hide, show or only"),
                              ((), "missing arguments")]:
            r = tessera("sql", *args, check=False)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(message, r.stderr.decode())
        r = tessera("sql", os.path.join(work, "nowhere"), "SELECT 1", check=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Cannot find the folder", r.stderr.decode())


# Python's codecs of the code pages tessera info names (the others are
# compared through their bytes).
CODECS = {"CP437": "cp437", "CP850": "cp850", "CP852": "cp852", "CP866": "cp866", "CP1250": "cp1250",
          "CP1251": "cp1251", "CP1252": "cp1252"}


def expected_sql_value(kind, declared, shown, codec):
    """What SQL shows for a field that tessera dump (in the C locale) shows
    as `shown`, for a field of type letter `kind` and a column declared
    `declared`; a function of the SQL value for the values that are no
    plain equality (numbers, date-times)."""
    if shown is None:
        return None
    if declared == "BLOB":
        if kind in "CVM":  # no code page applies: the bytes dump decoded
            return lambda got: got is not None and bytes.fromhex(got).decode(codec or "latin-1", "replace") == shown
        return shown  # dump shows bytes in hex, as tessera sql does
    if kind == "D":
        m, d, y = shown.split("/")
        return "%s-%s-%s" % (y, m, d)
    if kind in "T@" and declared.startswith("TEXT"):
        # dump rounds to the second, as the writers show it; SQL keeps the
        # milliseconds the field holds.
        def same(got):
            if got is None:
                return False
            t = datetime.datetime.fromisoformat(got)
            if t.microsecond >= 500000 and t < datetime.datetime(9999, 12, 31, 23, 59, 59):
                t += datetime.timedelta(seconds=1)
            return "%02d/%02d/%04d %02d:%02d:%02d" % (t.month, t.day, t.year, t.hour, t.minute, t.second) == shown
        return same
    if declared.startswith("TEXT"):
        return shown
    if kind == "L":
        return 1 if shown == "T" else 0
    if not any(c.isdigit() for c in shown):  # an overflow mark, a lone point: no number
        return None
    return lambda got: got is not None and math.isclose(float(got), float(shown), rel_tol=1e-12, abs_tol=1e-9)


def ascii_lower(name):
    return "".join(c.lower() if c.isascii() else c for c in name)


class DumpAndSql(unittest.TestCase):
    """Every record of a table as SELECT shows it is the record tessera dump
    shows: the same records and deletion marks, the fields as columns by
    their (long) names, every value (nulls, texts in the table's code page,
    numbers, dates, date-times, bytes)."""

    def assert_same_as_dump(self, folder, file):
        env = dict(os.environ, LC_ALL="C")
        path = os.path.join(folder, file)
        name = os.path.splitext(file)[0].lower()
        lines = tessera("dump", path, env=env).stdout.decode().splitlines()
        fields = [f for f in json.loads(lines[0])["fields"] if f["type"] != "0"]  # _NullFlags is hidden
        records = [json.loads(line) for line in lines[1:]]
        page = re.search(r"Code page:\s+(\S+)", tessera("info", path, env=env).stdout.decode()).group(1)
        r = tessera("sql", "--deleted", "show", folder, 'SELECT rowid, _deleted, * FROM "%s"' % name, env=env)
        self.assertEqual(r.stderr, b"", file)
        rows = [list(json.loads(line).values()) for line in r.stdout.decode().splitlines()]
        columns = [json.loads(line) for line in tessera(
            "sql", folder, "SELECT name, type FROM pragma_table_info('%s') WHERE name <> '_deleted'" % name,
            env=env).stdout.decode().splitlines()]
        # Names made unique by a number.
        self.assertEqual([re.sub(r"_[0-9]+$", "", c["name"]) if c["name"] != ascii_lower(f["name"]) else c["name"]
                          for c, f in zip(columns, fields)], [ascii_lower(f["name"]) for f in fields], file)
        self.assertEqual(len(rows), len(records), file)
        for record, row in zip(records, rows):
            self.assertEqual((row[0], bool(row[1])), (record["recno"], record["deleted"]), file)
            shown_values = [v for v, f in zip(record["values"], json.loads(lines[0])["fields"]) if f["type"] != "0"]
            for field, column, shown, got in zip(fields, columns, shown_values, row[-len(fields):] if fields else []):
                want = expected_sql_value(field["type"], column["type"], shown, CODECS.get(page))
                where = (file, record["recno"], field["name"], shown, got)
                if callable(want):
                    self.assertTrue(want(got), where)
                else:
                    self.assertEqual(got, want, where)

    def test_the_test_tables(self):
        for case, table in [("memo-dbt", "MEMO.DBF"), ("memo-fpt", "FPT64.DBF"), ("memo-fpt", "FPTFLEX.DBF"),
                            ("cdx-types", "TYPES.DBF"), ("vfp", "VFP.DBF"), ("ntx", "NTXT.DBF")]:
            with self.subTest(table=table):
                self.assert_same_as_dump(os.path.join(FIXTURES, case), table)

    def test_every_table_other_programs_wrote(self):
        if not os.path.isdir(REALWORLD):
            self.skipTest("no folder of other programs' files at " + REALWORLD)
        seen = 0
        for root, _, files in sorted(os.walk(REALWORLD)):
            for f in sorted(f for f in files if f.lower().endswith(".dbf")):
                with self.subTest(table=os.path.join(root, f)):
                    self.assert_same_as_dump(root, f)
                    seen += 1
        self.assertGreater(seen, 40)


class RealWorldTags(unittest.TestCase):
    """Visual FoxPro's tables in a database container, with their CDX files:
    each tag whose key is a column serves it (the integer and nullable key
    forms included), and a query answers through the tag what it answers
    without one."""

    TAGS = {"rubydbf/calls": {"call_id": "CALL_ID", "contact_id": "CONTACT_ID"},
            "rubydbf/contacts": {"contact_id": "CONTACT_ID", "contact_type_id": "TYPE_ID"},
            "rubydbf/setup": {"key_name": "KEY_NAME"},
            "rubydbf/types": {"contact_type_id": "TYPE_ID"},
            "javadbf/employees": {"emailname": "EMAILNAME", "lastname": "LASTNAME", "postalcode": "POSTALCODE",
                                  "employeeid": "PRIMARYKEY"},
            "javadbf/foxref_ref": {"checked": "CHECKED", "fileid": "FILEID", "inactive": "INACTIVE", "refid": "REFID",
                                   "reftype": "REFTYPE", "setid": "SETID", "uniqueid": "UNIQUEID"}}

    def test_tags_serve_their_columns(self):
        if not os.path.isdir(REALWORLD):
            self.skipTest("no folder of other programs' files at " + REALWORLD)
        for table, tags in self.TAGS.items():
            work = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, work)
            folder, name = os.path.split(table)
            for f in os.listdir(os.path.join(REALWORLD, folder)):
                if os.path.splitext(f)[0].lower() in (name, "foxpro-db-test"):
                    shutil.copy(os.path.join(REALWORLD, folder, f), work)
            db = sqlite3.connect(":memory:")
            db.enable_load_extension(True)
            db.load_extension(EXTENSION)
            dbf = [f for f in os.listdir(work) if f.lower() == name + ".dbf"][0]
            db.execute("CREATE VIRTUAL TABLE t USING tessera('%s')" % os.path.join(work, dbf))

            def rows(query, *args):
                return sorted(db.execute(query, args).fetchall(), key=repr)

            for column, tag in tags.items():
                values = [v for (v,) in db.execute('SELECT DISTINCT "%s" FROM t' % column)] + ["zz", -7, 0, 1]
                for op in ("=", "<", ">="):
                    for v in values:
                        with self.subTest(table=table, column=column, op=op, value=v):
                            query = 'SELECT rowid, * FROM t WHERE "%s" %s ?' % (column, op)
                            # Not a constraint the table is offered, and still
                            # compared with the column's affinity and collation.
                            plain = 'SELECT rowid, * FROM t WHERE ("%s" %s ?) IS TRUE' % (column, op)
                            if op == "=":
                                plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + query, (v,)))
                                self.assertIn(":%s =" % tag, plan)
                                plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + plain, (v,)))
                                self.assertIn("0:recno", plan)
                            self.assertEqual(rows(query, v), rows(plain, v))
                least = db.execute('SELECT min("%s") FROM t' % column).fetchone()[0]
                for way in ("", " DESC"):
                    ordered = 'SELECT "%s" FROM t WHERE "%s" >= ? AND "%s" IS NOT NULL ORDER BY "%s"%s' % (
                        column, column, column, column, way)
                    plan = " ".join(r[3] for r in db.execute("EXPLAIN QUERY PLAN " + ordered, (least,)))
                    self.assertIn(":" + tag, plan)
                    self.assertNotIn("TEMP B-TREE", plan)
                    self.assertEqual(db.execute(ordered, (least,)).fetchall(),
                                     db.execute(ordered.replace("ORDER BY ", "ORDER BY +"), (least,)).fetchall(),
                                     (table, column, way))
            db.close()


if __name__ == "__main__":
    if SQLITE3 is None or not hasattr(sqlite3.Connection, "enable_load_extension"):
        print("skipped: needs the sqlite3 shell and a Python that loads SQLite extensions (scripts/setup)")
        sys.exit(77)
    EXTENSION, TESSERA, FIXTURES, INTEROP, REALWORLD = (os.path.abspath(a) for a in sys.argv[1:6])
    unittest.main(argv=[sys.argv[0], "-v"])

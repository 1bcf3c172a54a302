"""tessera with tables other programs wrote, run as a user runs it: what
info says of them, values in the table's code page and --codepage, and
dump, list and eval --all writing every record they read before an error.

usage: foreign_tables_cli_test.py TESSERA REALWORLD_DIR
"""
import csv
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TESSERA = sys.argv[1]
REALWORLD = os.environ.get("PYX_REALWORLD") or sys.argv[2]
HAVE_REALWORLD = os.path.isfile(os.path.join(REALWORLD, "README.md"))


def run(*args, cwd=None):
    env = dict(os.environ, LC_ALL="C")
    return subprocess.run([TESSERA] + list(args), capture_output=True, cwd=cwd, env=env)


def dbase3_memo_table(path, records, mark=0):
    """A 0x83 table NAME C(10), NOTE M(10) with a .DBT of one 512-byte block
    per memo, record r's memo in block r."""
    header = struct.pack("<BBBBIHH", 0x83, 124, 5, 17, records, 32 + 64 + 1, 21) + b"\0" * 17 + bytes([mark]) + b"\0\0"
    fields = b"NAME".ljust(11, b"\0") + b"C" + b"\0" * 4 + bytes([10]) + b"\0" * 15
    fields += b"NOTE".ljust(11, b"\0") + b"M" + b"\0" * 4 + bytes([10]) + b"\0" * 15
    body = b"".join(b" " + ("r%d" % r).ljust(10).encode() + str(r).rjust(10).encode() for r in range(1, records + 1))
    with open(path, "wb") as f:
        f.write(header + fields + b"\x0D" + body + b"\x1A")
    memo = struct.pack("<I", records + 1) + b"\0" * 508
    for r in range(1, records + 1):
        memo += (("memo %d" % r).encode() + b"\x1A\x1A").ljust(512, b"\0")
    with open(path[:-4] + ".dbt", "wb") as f:
        f.write(memo)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pyx-foreign-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Streaming(Scratch):
    def test_every_record_read_before_a_damaged_memo_is_written(self):
        table = os.path.join(self.dir, "notes.dbf")
        dbase3_memo_table(table, 400)
        # The memo file ends before the memo of record 364.
        with open(table[:-4] + ".dbt", "r+b") as f:
            f.truncate(364 * 512)
        for args, first_line in ((["dump", table], 1), (["list", table], 1), (["eval", table, "--all", "NOTE"], 0)):
            with self.subTest(command=args[0]):
                r = run(*args)
                self.assertEqual(r.returncode, 1)
                lines = r.stdout.decode().splitlines()
                self.assertEqual(len(lines), first_line + 363)
                last = lines[-1]
                self.assertIn("memo 363", last)
                self.assertIn("memo record has format error", r.stderr.decode())


class CodePages(Scratch):
    def test_values_in_the_tables_code_page_and_as_codepage_says(self):
        table = os.path.join(self.dir, "west.dbf")
        dbase3_memo_table(table, 1, mark=0x03)  # Windows ANSI, 1252
        r = run("info", table)
        self.assertIn("Code page:      CP1252 (mark 0x03)\n", r.stdout.decode())
        r = run("append", table, "NAME=café ø", "NOTE=naïve")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(table, "rb") as f:
            self.assertIn("café ø".encode("cp1252"), f.read())
        values = json.loads(run("dump", table).stdout.decode().splitlines()[2])["values"]
        self.assertEqual(values, ["café ø", "naïve"])
        # The same bytes read as another code page.
        r = run("dump", "--codepage", "850", table)
        self.assertEqual(json.loads(r.stdout.decode().splitlines()[2])["values"][0], "caf\u00da °")
        self.assertIn("Code page:      CP850 (--codepage; mark 0x03)\n", run("info", table, "--codepage", "cp850").stdout.decode())
        # Searches and expressions are converted the same way.
        r = run("eval", table, "--recno", "2", 'TRIM(NAME) + "!"')
        self.assertEqual(r.stdout.decode(), "3\tcafé ø!\n")
        r = run("locate", table, "NAME=café ø")
        self.assertTrue(json.loads(r.stdout.decode())["found"])
        # A code page that is none, and one the system cannot convert.
        r = run("dump", "--codepage", "latin", table)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--codepage needs a code page", r.stderr.decode())
        r = run("dump", "--codepage", "kamenicky", table)
        self.assertEqual(r.returncode, 1)
        self.assertIn("Kamenicky", r.stderr.decode())
        self.assertIn("cannot be converted", r.stderr.decode())

    def test_index_commands_in_the_tables_code_page(self):
        table = os.path.join(self.dir, "west.dbf")
        index = os.path.join(self.dir, "west.cdx")
        dbase3_memo_table(table, 1, mark=0x03)  # Windows ANSI, 1252
        for name in ("café ø", "Zoë", "Ærø", "zebra"):
            self.assertEqual(run("append", table, "NAME=" + name).returncode, 0)
        r = run("index", table, index, "NAME", "NAME", "--for", 'NAME <> "Zoë"')
        self.assertEqual(r.returncode, 0, r.stderr)
        tags = run("tags", index).stdout.decode().splitlines()
        self.assertTrue(tags[1].endswith('NAME | NAME <> "Zoë"'), tags)
        # CP1252's order: ASCII, then Æ (0xC6), then é.
        keys = run("keys", table, index, "NAME").stdout.decode()
        self.assertEqual(keys, "2\tcafé ø\n1\tr1\n5\tzebra\n4\tÆrø\n")
        self.assertEqual(run("check", table, index).stdout.decode(), "1 tags sound\n")
        found = json.loads(run("seek", table, index, "NAME", "Ærø").stdout.decode())
        self.assertEqual((found["found"], found["recno"]), (True, 4))
        listed = [json.loads(line)["recno"] for line in
                  run("list", table, "--index", index, "--tag", "NAME").stdout.decode().splitlines()[1:]]
        self.assertEqual(listed, [2, 1, 5, 4])
        self.assertTrue(json.loads(run("locate", table, "NAME=Ærø", "--index", index, "--tag", "NAME").stdout)["found"])
        # --codepage reads the same keys as another code page's letters.
        keys = run("keys", "--codepage", "850", table, index, "NAME").stdout.decode()
        self.assertEqual(keys.splitlines()[3], "4\t" + "Ærø".encode("cp1252").decode("cp850"))

    @unittest.skipUnless(HAVE_REALWORLD, "the real-world files are absent; set PYX_REALWORLD")
    def test_keys_of_a_cyrillic_table_other_programs_wrote(self):
        table = os.path.join(self.dir, "cp1251.dbf")
        shutil.copy(os.path.join(REALWORLD, "rubydbf", "cp1251.dbf"), table)
        index = os.path.join(self.dir, "cp1251.cdx")
        self.assertEqual(run("index", table, index, "NAME", "NAME").returncode, 0)
        names = [json.loads(line)["values"][1] for line in run("dump", table).stdout.decode().splitlines()[1:]]
        keys = [line.split("\t")[1] for line in run("keys", table, index, "NAME").stdout.decode().splitlines()]
        self.assertEqual(keys, sorted(names, key=lambda n: n.encode("cp1251")))
        self.assertIn("больничное", keys)

    def test_a_table_without_a_mark_is_the_callbooks_cp866(self):
        table = os.path.join(self.dir, "plain.dbf")
        dbase3_memo_table(table, 1)
        self.assertIn("Code page:      CP866 (no mark)\n", run("info", table).stdout.decode())
        run("append", table, "NAME=Жук")
        with open(table, "rb") as f:
            self.assertIn("Жук".encode("cp866"), f.read())


@unittest.skipUnless(HAVE_REALWORLD, "the real-world files are absent; set PYX_REALWORLD")
class RealWorld(unittest.TestCase):
    def info(self, name):
        r = run("info", os.path.join(REALWORLD, name))
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def test_info_says_what_was_read_leniently_and_what_is_not_written(self):
        self.assertIn("Warning:        the field descriptors do not end with 0x0D\n",
                      self.info("javadbf/continents_no_header_record_terminator.dbf"))
        self.assertIn("Warning:        field KRAJID has width 0\n", self.info("ndbfreader/ZeroSizeColumn.dbf"))
        out = self.info("dbasers/stations_with_deleted.dbf")
        self.assertIn("Warning:        the record length 1016 is one byte short of the fields", out)
        self.assertIn("Read only:      its record length disagrees with its fields\n", out)
        out = self.info("rubydbf/dbase_8c.dbf")
        self.assertIn("Version:        0x8C (dBase 7 with .DBT memo)\n", out)
        self.assertIn("Read only:      dBase 7 with .DBT memo tables are read here, not written\n", out)
        self.assertIn("Warning:        the memo file", out)
        out = self.info("rubydbf/dbase_02.dbf")
        self.assertIn("Version:        0x02 (FoxBASE / dBase II)\n", out)
        self.assertIn("  1  EMP:NMBR    N         3    0\n", out)
        # STEP 7's time stamp in byte 15 is shown, not taken for a cipher.
        self.assertIn("Records:        11\n", self.info("s7/BAUSTEIN.DBF"))
        self.assertIn("Records:        250\n", self.info("clip/customer.dbf"))

    def test_check_says_a_table_was_read_leniently(self):
        d = tempfile.mkdtemp(prefix="pyx-foreign-")
        try:
            table = os.path.join(d, "continents.dbf")
            shutil.copy(os.path.join(REALWORLD, "javadbf/continents_no_header_record_terminator.dbf"), table)
            os.chmod(table, 0o644)
            r = run("index", table, os.path.join(d, "continents.cdx"), "NAME", "UPPER(name)")
            self.assertEqual(r.returncode, 0, r.stderr)
            r = run("check", table, os.path.join(d, "continents.cdx"))
            self.assertEqual(r.returncode, 0, r.stdout)
            self.assertEqual(r.stdout.decode(),
                             "warning: the table: the field descriptors do not end with 0x0D\n1 tags sound\n")
        finally:
            shutil.rmtree(d, ignore_errors=True)

    def test_info_shows_long_names_and_field_flags(self):
        out = self.info("rubydbf/contacts.dbf")
        self.assertIn("Container:      foxpro-db-test.dbc\n", out)
        self.assertIn(" 21  contact_type_id     I         4    0  CONTACT_TY  \n".rstrip(), out)
        out = self.info("phpxbase/vfp.dbf")
        self.assertIn(" 14  AI          I         4    0  autoincrement\n", out)
        self.assertIn(" 20  _NullFlags  0         2    0  system\n", out)
        self.assertIn("Code page:      CP1252 (mark 0x03)\n", out)

    def test_dump_shows_values_as_their_writers_do(self):
        r = run("dump", os.path.join(REALWORLD, "javadbf/testfile.dbf"))
        for line in r.stdout.decode().splitlines()[1:]:
            v = json.loads(line)["values"]
            # The writer's own text of the time beside the date-time.
            self.assertEqual(v[7].split(" ")[1], v[9])
        r = run("dump", os.path.join(REALWORLD, "rubydbf/dbase_32.dbf"))
        self.assertEqual(json.loads(r.stdout.decode().splitlines()[1])["values"], ["Bad Meets Evil", "01"])
        r = run("dump", "--csv", os.path.join(REALWORLD, "javadbf/testfile.dbf"))
        rows = list(csv.reader(io.StringIO(r.stdout.decode(), newline="")))
        self.assertEqual(rows[1][-2:], ["", "0004"])  # D_FLAG is .NULL.


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])

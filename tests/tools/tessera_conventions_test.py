#!/usr/bin/env python3
"""tessera as a Unix user meets it: --version, help, exit statuses, CSV,
the user's spelling of file names, progress only on a terminal, and the
refusal of index kinds it cannot write.

    tessera_conventions_test.py TESSERA PYX_SAMPLE FIXTURES
"""
import csv
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TESSERA = PYX_SAMPLE = FIXTURES = None


def run(*args, cwd=None, env=None):
    return subprocess.run([TESSERA, *args], cwd=cwd, env=env, capture_output=True)


def under_terminal(command, cwd):
    """Runs a shell command with a pseudo-terminal as its standard streams."""
    r = subprocess.run(["script", "-q", "-e", "-c", command, "/dev/null"], cwd=cwd,
                       stdin=subprocess.DEVNULL, capture_output=True)
    return r.returncode, r.stdout.decode("utf-8", "replace")


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def sample(self, subdir="sample", cards=300):
        path = os.path.join(self.dir, subdir)
        os.makedirs(path, exist_ok=True)
        subprocess.run([PYX_SAMPLE, "--cards", str(cards), path], check=True, capture_output=True)
        return path


class VersionHelpAndExitStatus(Scratch):
    def test_version_and_help(self):
        r = run("--version")
        self.assertEqual(r.returncode, 0)
        self.assertRegex(r.stdout.decode(), r"^tessera \d+(\.\d+)+\n$")
        top = run("--help")
        self.assertEqual(top.returncode, 0)
        text = top.stdout.decode()
        for needle in ("exit status:", "0  success", "1  an engine error", "2  a usage error", "dump [--raw] [--csv] TABLE"):
            self.assertIn(needle, text)
        self.assertEqual(run("help").stdout, top.stdout)
        info = run("help", "info")
        self.assertEqual(info.returncode, 0)
        self.assertTrue(info.stdout.decode().startswith("usage: tessera info TABLE\n"))
        self.assertEqual(run("info", "--help").stdout, info.stdout)

    def test_usage_errors_exit_2_with_a_message(self):
        table = os.path.join(self.sample(), "Pyx.DBF")
        for args, message in [((), "usage: tessera"),
                              (("frobnicate",), "unknown command 'frobnicate'"),
                              (("--frobnicate",), "unknown option --frobnicate"),
                              (("help", "frobnicate"), "unknown command 'frobnicate'"),
                              (("info",), "missing arguments"),
                              (("info", table, table), "too many arguments"),
                              (("dump", "--bogus", table), "unknown option --bogus"),
                              (("eval", table, "1", "--recno", "x"), "must be a number")]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(message, r.stderr.decode())
                self.assertEqual(r.stdout, b"")

    def test_engine_errors_exit_1(self):
        table = os.path.join(self.sample(), "Pyx.DBF")
        for args in [("info", os.path.join(self.dir, "missing.dbf")),
                     ("eval", table, "FAM_ +"),
                     ("set", table, "9999", "CALL_=X")]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertNotEqual(r.stderr, b"")


class Csv(Scratch):
    def check_table(self, table):
        dump = run("dump", table)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        lines = dump.stdout.decode().splitlines()
        header = json.loads(lines[0])
        records = [json.loads(line)["values"] for line in lines[1:]]
        out = run("dump", "--csv", table)
        self.assertEqual(out.returncode, 0, out.stderr)
        rows = list(csv.reader(io.StringIO(out.stdout.decode("utf-8"), newline="")))
        self.assertEqual(rows[0], [f["name"] for f in header["fields"]])
        # A field without a value (null in JSON) is empty in CSV.
        self.assertEqual(rows[1:], [["" if v is None else v for v in r] for r in records])
        # RFC 4180 line ends, also after the last row (line breaks inside
        # quoted memo texts are the memo's own).
        self.assertTrue(out.stdout.endswith(b"\r\n"))
        self.assertTrue(out.stdout.split(b"\r\n", 1)[0].isascii())
        return out.stdout

    def test_csv_reads_back_as_dump(self):
        for case, table in [("callbook", "Pyx.DBF"), ("memo-dbt", "MEMO.DBF"), ("memo-fpt", "FPTFLEX.DBF"),
                            ("cdx-types", "TYPES.DBF"), ("vfp", "VFP.DBF")]:
            with self.subTest(case=case):
                self.check_table(os.path.join(FIXTURES, case, table))

    def test_quotes_commas_and_cyrillic(self):
        table = os.path.join(self.sample(cards=3), "Pyx.DBF")
        for value in ['Смит, "Джон"', 'a"b', ",", '"']:
            r = run("append", table, "CALL_=X1", "FAM_=" + value)
            self.assertEqual(r.returncode, 0, r.stderr)
        text = self.check_table(table).decode("utf-8")
        self.assertIn('"Смит, ""Джон"""', text)


class UserPaths(Scratch):
    def test_info_and_errors_show_the_name_as_given(self):
        self.sample("Sample")
        for given in ["Sample/Pyx.DBF", "sample/pyx.dbf", "SAMPLE/PYX", os.path.join(self.dir, "Sample", "Pyx.DBF")]:
            with self.subTest(given=given):
                r = run("info", given, cwd=self.dir)
                self.assertEqual(r.returncode, 0, r.stderr)
                shown = given if given.upper().endswith(".DBF") else given + ".DBF"
                self.assertIn("Table:          %s\n" % shown, r.stdout.decode())
        r = run("info", "Sample/Missing.dbf", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode(), "File not found - Sample/Missing.dbf\n")
        r = run("index", "Sample/Pyx.DBF", "Sample/Pyx.cdx", "CALL", "NOSUCH_", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertNotIn(self.dir.upper(), r.stderr.decode())

    def test_a_missing_memo_file_is_named_beside_the_table(self):
        os.makedirs(os.path.join(self.dir, "memo"))
        shutil.copy(os.path.join(FIXTURES, "memo-dbt", "MEMO.DBF"), os.path.join(self.dir, "memo", "Memo.dbf"))
        # dump shows the other fields, memo fields null, and says why.
        r = run("dump", "memo/Memo.dbf", cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(),
                         "tessera: the memo file memo/Memo.DBT is missing: memo fields are shown as null\n")
        r = run("info", "memo/Memo.dbf", cwd=self.dir)
        self.assertIn("Warning:        the memo file memo/Memo.DBT is missing\n", r.stdout.decode())
        # Writing a memo needs the file.
        r = run("append", "memo/Memo.dbf", "NOTE=text", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        message = r.stderr.decode()
        self.assertNotIn(self.dir.upper(), message)
        self.assertIn("memo/", message)


class Progress(Scratch):
    def index(self, *extra):
        return ["index", "sample/Pyx.DBF", "sample/PYX.CDX", "CALL", "CALL_", *extra]

    def test_nothing_on_a_pipe_unless_asked(self):
        self.sample(cards=2000)
        r = run(*self.index(), cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b""))
        r = run(*self.index("--progress"), cwd=self.dir)
        self.assertEqual(r.returncode, 0)
        err = r.stderr.decode()
        self.assertIn("\r", err)
        self.assertIn("index CALL: writing 100% (2000/2000)", err)
        self.assertEqual(err.count("\n"), 1)  # one line, redrawn in place
        r = run("check", "sample/Pyx.DBF", "sample/PYX.CDX", cwd=self.dir)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"1 tags sound\n", b""))

    def test_one_line_redrawn_on_a_terminal(self):
        self.sample(cards=2000)
        status, out = under_terminal(" ".join("'%s'" % a for a in [TESSERA, *self.index()]), self.dir)
        self.assertEqual(status, 0, out)
        lines = [l for l in out.replace("\r\n", "\n").split("\n") if l]
        self.assertEqual(len(lines), 1, repr(out))
        states = lines[0].split("\r")
        self.assertIn("index CALL: reading", out)
        self.assertRegex(states[-1], r"^index CALL: writing 100% \(2000/2000\), \d+ records/s\x1b\[K$")
        status, out = under_terminal(" ".join("'%s'" % a for a in [TESSERA, "check", "sample/Pyx.DBF", "sample/PYX.CDX"]),
                                     self.dir)
        self.assertEqual(status, 0, out)
        self.assertIn("check: checking 100% (2000/2000)", out)
        self.assertTrue(out.replace("\r\n", "\n").endswith("\n1 tags sound\n"), repr(out))
        status, out = under_terminal(" ".join("'%s'" % a for a in [TESSERA, *self.index("--no-progress")]), self.dir)
        self.assertEqual((status, out), (0, ""))


class IndexKinds(Scratch):
    def test_every_kind_is_built_and_others_refused(self):
        sample = self.sample(cards=50)
        table = os.path.join(sample, "Pyx.DBF")
        for kind in ("NTX", "NDX", "MDX"):
            with self.subTest(kind=kind):
                target = os.path.join(sample, "CALLS." + kind.lower())
                r = run("index", table, target, "CALL", "CALL_")
                self.assertEqual(r.returncode, 0, r.stderr)
                r = run("check", table, target)
                self.assertEqual(r.returncode, 0, r.stdout)
        target = os.path.join(sample, "CALLS.idx")
        r = run("index", table, target, "CALL", "CALL_")
        self.assertEqual(r.returncode, 1)
        self.assertIn(".IDX", r.stderr.decode())
        self.assertIn(target, r.stderr.decode())
        self.assertFalse(os.path.exists(target))
        # A file that is not of the kind its name says is not written by the
        # record writes, and the record is not added either.
        self.assertEqual(run("index", table, os.path.join(sample, "PYX.CDX"), "CALL", "CALL_").returncode, 0)
        shutil.copy(os.path.join(sample, "PYX.CDX"), os.path.join(sample, "OTHER.NTX"))
        before = open(os.path.join(sample, "OTHER.NTX"), "rb").read()
        table_before = open(table, "rb").read()
        r = run("append", table, "CALL_=ZZ9ZZ", "--index", os.path.join(sample, "OTHER.NTX"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("OTHER.NTX", r.stderr.decode())
        self.assertEqual(open(os.path.join(sample, "OTHER.NTX"), "rb").read(), before)
        self.assertEqual(open(table, "rb").read(), table_before)
        self.assertIn('"records":50', run("dump", table).stdout.decode().splitlines()[0])
        r = run("set", table, "1", "CALL_=ZZ9ZZ", "--index", os.path.join(sample, "PYX.CDX") + "," + os.path.join(sample, "NEW.NDX"))
        self.assertEqual(r.returncode, 1)
        self.assertIn(".NDX", r.stderr.decode())
        self.assertFalse(os.path.exists(os.path.join(sample, "NEW.NDX")))
        self.assertNotIn("ZZ9ZZ", run("dump", table).stdout.decode())


if __name__ == "__main__":
    TESSERA, PYX_SAMPLE, FIXTURES = (os.path.abspath(a) for a in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0], "-v"])

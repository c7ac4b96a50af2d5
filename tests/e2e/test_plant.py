#!/usr/bin/env python3
"""--records-db: a station's journal followed into the plant's database (a real PostgreSQL,
Debian's ODBC driver and unixODBC), each line one row, exactly once, whatever fails."""
import glob
import json
import os
import random
import shutil
import signal
import subprocess
import time
import unittest
import urllib.request

from harness import (FWUPGRADE, RUN_IN_PREFIX, RUN_LIMIT_S, SANITIZED, SUITE, WINE, main, process_tree, read_bytes, run_fwupgrade,
                     Postgres, StationCase)

PROGRAM = [RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]  # the .exe: Wine's odbc32, the host's unixODBC

TABLE = "fwupgrade_unit"
# Quotes, SQL and text beyond ASCII: stored as text, never as part of a statement.
HOSTILE_SERIAL = "O'Brien\"); DROP TABLE fwupgrade_unit; -- \u00dcnit \u20ac \U0001d11e"


def journal_line(n, serial=None):
    """A journal line as a station writes it (its unit's files long gone)."""
    return json.dumps({
        "port": "/dev/ttyUSB0", "label": "A1", "com": 1, "path": "/dev/ttyUSB0",
        "started": "2026-12-08T07:%02d:%02d.341+01:00" % (n // 60 % 60, n % 60),
        "ended": "2026-12-08T08:%02d:%02d.251+01:00" % (n // 60 % 60, n % 60), "kind": "TX",
        "before": {"firmware": "1.0.3", "model": "K482915", "fpga": "1.03", "device": 7},
        "after": {"firmware": "1.0.4", "model": "K482915", "fpga": "1.04", "device": 7},
        "outcome": "updated and verified", "unit_left": "updated", "summary": "updated and verified",
        "exit_status": 0, "log": None, "report": None, "records_unwritten": [], "serial": serial})


# The table's columns as the README makes it.
COLUMNS = [("station_key", "VARCHAR(64) NOT NULL"), ("line_no", "BIGINT NOT NULL"), ("serial_number", "VARCHAR(64)"),
           ("slot_label", "VARCHAR(64)"), ("port", "VARCHAR(255)"), ("kind", "VARCHAR(16)"), ("outcome", "VARCHAR(64)"),
           ("exit_status", "INTEGER"), ("firmware_before", "VARCHAR(64)"), ("fpga_before", "VARCHAR(64)"),
           ("firmware_after", "VARCHAR(64)"), ("fpga_after", "VARCHAR(64)"), ("firmware_carried", "VARCHAR(64)"),
           ("started", "VARCHAR(40)"), ("ended", "VARCHAR(40)"), ("duration_ms", "BIGINT"), ("host", "VARCHAR(255)"),
           ("journal_line", "VARCHAR(8000) NOT NULL")]


def plant_table():
    return "CREATE TABLE %s (%s, PRIMARY KEY (station_key, line_no))" % (
        TABLE, ", ".join("%s %s" % column for column in COLUMNS))


def is_object(text):
    try:
        return isinstance(json.loads(text), dict)
    except ValueError:
        return False


@unittest.skipUnless(SUITE == "full" and os.path.exists(Postgres.BIN), "accelerated suite, with PostgreSQL")
class Plant(StationCase):
    """--records-db: every journal line one row of the plant's database, once, in order."""

    def setUp(self):
        super().setUp()
        self.pg = Postgres(self.workdir)

    def tearDown(self):
        self.pg.stop()  # before its folder goes with the test's
        super().tearDown()

    def rows_table(self):
        return bool(self.pg.query("SELECT 1 FROM pg_tables WHERE tablename = '%s'" % TABLE))

    def rows(self, key=None):
        """(station_key, line_no, journal_line) of every row, in order."""
        if not self.rows_table():
            return []
        rows = self.pg.query("SELECT station_key, line_no, journal_line FROM %s ORDER BY station_key, line_no" % TABLE)
        return [(k, int(n), text) for k, n, text in rows if key is None or k == key]

    def wait_rows(self, count, timeout=90):
        deadline = time.monotonic() + timeout
        while len(self.rows()) < count:
            self.assertLess(time.monotonic(), deadline, "the database never held %d rows: %s" % (count, self.rows()))
            time.sleep(0.2)

    def folder(self, name, lines):
        folder = os.path.join(self.workdir, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "journal.jsonl"), "w") as f:
            f.writelines(line + "\n" for line in lines)
        return folder

    def start_on(self, folder, *extra):
        """A station on folder with no unit to update: its journal followed."""
        command = self.station(["9" if WINE else "/nonexistent/slot"], *extra)
        command[command.index("--log-dir") + 1] = self.logs = folder
        process = subprocess.Popen(command, stdout=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        return process

    def key(self, folder):
        """The folder's key: its key file, or (a folder only read) the key whose rows hold its lines."""
        try:
            with open(os.path.join(folder, "records-db-key")) as f:
                return f.read().strip()
        except FileNotFoundError:
            with open(os.path.join(folder, "journal.jsonl"), encoding="utf-8") as f:
                first = next((n, line) for n, line in enumerate(f.read().splitlines(), 1) if is_object(line))
            keys = {k for k, n, text in self.rows() if (n, text) == first}
            self.assertEqual(len(keys), 1, "one key holds the folder's first line: %s" % keys)
            return keys.pop()

    def assert_rows_are_the_journal(self, folder):
        """One row a journal line (damaged ones skipped), in order, each the line as written."""
        with open(os.path.join(folder, "journal.jsonl"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        key = self.key(folder)  # once: it reads the table
        expected = [(key, n + 1, line) for n, line in enumerate(lines) if is_object(line)]
        self.assertEqual(self.rows(key), expected)

    def records_db(self):
        deadline = time.monotonic() + 10
        while True:  # the file is replaced whole: a reader may come between two names
            try:
                return self.state()["records_db"]
            except (OSError, ValueError, KeyError):
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.1)

    def wait_state(self, check, what, timeout=60):
        deadline = time.monotonic() + timeout
        while not check(self.records_db()):
            self.assertLess(time.monotonic(), deadline, "the state never said %s: %s" % (what, self.records_db()))
            time.sleep(0.2)

    def send(self, folder, *extra, connection=None):
        """--serve FOLDER --records-db without --http, to its end: (exit status, output)."""
        result = subprocess.run(PROGRAM + ["--serve", folder, "--records-db", connection or self.pg.connection(), *extra],
                                capture_output=True, timeout=RUN_LIMIT_S)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def append(self, folder, lines):
        with open(os.path.join(folder, "journal.jsonl"), "a") as f:
            f.writelines(line + "\n" for line in lines)

    def metrics(self, folder):
        """/metrics of a --serve of folder (it reads the folder's state file)."""
        serve = subprocess.Popen(PROGRAM + ["--serve", folder, "--http", "0"], stdout=subprocess.PIPE)
        self.addCleanup(lambda: serve.poll() is not None or serve.kill())
        url = serve.stdout.readline().decode().split(" at ")[1].strip()
        text = urllib.request.urlopen(url + "metrics", timeout=10).read().decode()
        serve.kill()
        serve.wait(timeout=10)
        return text

    @unittest.skipIf(WINE, "under Wine its end was waited for past the program's own in 2 of 4 runs (the pipe held by "
                           "Wine's desktop); the .exe's station is the wrong password's test")
    def test_a_shift_each_unit_one_row_and_the_password_nowhere(self):
        slots = [self.slot(1, "--unit", "tx"), self.slot(2, "--unit", "rx")]
        secret = os.path.join(self.workdir, "records-db.txt")
        with open(secret, "w") as f:
            f.write(self.pg.connection() + "\n")
        process = self.start_station(["A1=" + slots[0], slots[1]], "--units", "2", "--records-db", "@" + secret,
                                     "--http", "0")  # its page's server too, whose process list is looked at
        self.wait_for_journal(1)
        for pid in process_tree(process.pid):  # the station, its page's server, its runs
            for what in ("cmdline", "environ"):
                try:
                    self.assertNotIn(Postgres.PASSWORD.encode(), read_bytes("/proc/%d/%s" % (pid, what)))
                except OSError:
                    pass  # ended meanwhile
        output = self.ended(process, 0)
        journal = self.journal()
        self.assert_rows_are_the_journal(self.logs)
        row = self.pg.query("SELECT slot_label, port, kind, outcome, exit_status, firmware_before, fpga_before, "
                            "firmware_after, fpga_after, firmware_carried, started, ended, duration_ms, host, "
                            "serial_number FROM %s WHERE line_no = 1" % TABLE)[0]
        first = journal[0]
        self.assertEqual(row[:13], [first.get("label"), first["port"], first["kind"], first["outcome"],
                                    str(first["exit_status"]), first["before"]["firmware"], first["before"]["fpga"],
                                    first["after"]["firmware"], first["after"]["fpga"], "1.0.4", first["started"],
                                    first["ended"], row[12]])
        self.assertGreater(int(row[12]), 0)
        self.assertEqual(row[14], first.get("serial"))
        self.assertEqual(self.state()["station"]["host"], row[13])
        records = self.records_db()
        self.assertEqual((records["up"], records["behind_lines"], records["table"]), (True, 0, TABLE))
        self.assertIn("Pwd=***", records["connection"])
        self.assertIn("Pwd=***", output)
        # Nowhere in what the station writes or shows, nor on its page.
        serve = subprocess.Popen(PROGRAM + ["--serve", self.logs, "--http", "0"], stdout=subprocess.PIPE)
        self.addCleanup(lambda: serve.poll() is not None or serve.kill())
        url = serve.stdout.readline().decode().split(" at ")[1].strip()
        page = {path: urllib.request.urlopen(url + path, timeout=10).read().decode()
                for path in ("metrics", "api/v1/station")}
        serve.kill()
        serve.wait(timeout=10)
        self.assertIn('fwupgrade_records_db_behind_lines{folder="%s"} 0' % self.logs, page["metrics"])
        self.assertIn('fwupgrade_records_db_up{folder="%s"} 1' % self.logs, page["metrics"])
        self.assertIn("Pwd=***", page["api/v1/station"])
        files = [output, *page.values()]
        for path in glob.glob(os.path.join(self.logs, "*")):
            files.append(read_bytes(path).decode("utf-8", "replace"))
        for text in files:
            self.assertNotIn(Postgres.PASSWORD, text)

    @unittest.skipIf(WINE, "/proc/PID/environ is Linux's")
    def test_the_environment_s_password_is_in_no_process_s_environment(self):
        slot = self.slot(1, "--unit", "tx")  # left plugged in: a run of the station's waits until it is gone
        env = dict(os.environ, FWUPGRADE_RECORDS_DB=self.pg.connection())
        process = subprocess.Popen(self.station([slot]), stdout=subprocess.PIPE, env=env)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_rows(1)  # the string was taken
        deadline = time.monotonic() + 30
        while len(process_tree(process.pid)) < 2:
            self.assertLess(time.monotonic(), deadline, "no run of the station's to look at")
            time.sleep(0.1)
        tree = process_tree(process.pid)
        for pid in tree:  # the station's first environment block (what /proc shows) included
            self.assertNotIn(Postgres.PASSWORD.encode(), read_bytes("/proc/%d/environ" % pid), pid)
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)

    @unittest.skipIf(WINE, "a program that ends at once can leave Wine's desktop, which it started, holding the pipe")
    def test_a_command_line_or_file_that_would_give_the_password_away_is_refused_without_it(self):
        folder = os.path.join(self.workdir, "station")
        command = PROGRAM + ["--station", "--ports", "/nonexistent/slot", "--log-dir", folder, "--no-pause"]
        writable, fifo = os.path.join(self.workdir, "records-db"), os.path.join(self.workdir, "records-db.fifo")
        with open(writable, "w") as f:
            f.write(self.pg.connection() + "\n")
        os.chmod(writable, 0o664)
        os.mkfifo(fifo)
        two_lines = os.path.join(self.workdir, "records-db-two-lines")
        with open(two_lines, "w") as f:  # the driver would read the first line alone
            f.write(self.pg.connection().replace(";Database=", ";\nDatabase=") + "\n")
        os.chmod(two_lines, 0o600)
        cases = [("unquoted: split at the space in its driver's name", self.pg.connection().split(" "), "Pwd=***"),
                 ("joined by =", ["--records-db=" + self.pg.connection()], "Pwd=***"),
                 ("a file its group may write", ["@" + writable], "chmod go-w '%s'" % writable),
                 ("a FIFO", ["@" + fifo], "it is not a regular file"),
                 ("two lines", ["@" + two_lines], "holds more than one line")]
        for name, args, said in cases:
            with self.subTest(name):
                args = args if args[0].startswith("--") else ["--records-db"] + args
                result = subprocess.run(command + args, capture_output=True, timeout=RUN_LIMIT_S)
                text = (result.stdout + result.stderr).decode("latin-1")  # a service's stderr is the system journal
                self.assertEqual(result.returncode, 2, text)
                self.assertIn(said, text)
                self.assertNotIn(Postgres.PASSWORD, text)
                self.assertFalse(os.path.exists(folder))

    @unittest.skipIf(WINE, "the slots plugged in later are links natively")
    def test_the_server_stopped_mid_shift_every_line_once_in_order(self):
        first = self.slot(1, "--unit", "tx")
        later = [os.path.join(self.workdir, "by-path-slot%d" % n) for n in (2, 3)]  # plugged in while it is down
        env = dict(os.environ, FWUPGRADE_RECORDS_DB=self.pg.connection())
        process = subprocess.Popen(self.station([first] + later), stdout=subprocess.PIPE, env=env)
        self.addCleanup(lambda: process.poll() is not None or process.kill())
        self.wait_rows(1)
        self.pg.stop()
        self.slot(2, "--unit", "rx")
        self.slot(3, "--unit", "tx")
        self.wait_for_journal(3)  # the units updated while the database is down
        self.wait_state(lambda r: not r["up"] and r["behind_lines"] == 2 and r["message"] and r["behind_since"],
                        "2 lines behind, down, with the driver's message")
        self.pg.start()
        self.wait_rows(3)
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)
        self.assert_rows_are_the_journal(self.logs)
        self.assertEqual(self.records_db()["behind_lines"], 0)

    @unittest.skipIf(WINE, "killed with a POSIX signal")
    def test_a_station_killed_at_random_moments_loses_and_doubles_no_line(self):
        # Long enough that the last kill still cuts the sending: the sanitizers' build sends slower.
        total = 10000 if SANITIZED else 40000
        lines = [journal_line(n) for n in range(total)]
        lines[1234] = "{damaged"
        folder = self.folder("journaled", lines)
        rng = random.Random(34)
        count = lambda: int(self.pg.query("SELECT COUNT(*) FROM %s" % TABLE)[0][0]) if self.rows_table() else 0
        for attempt in range(6):
            before = count()
            process = self.start_on(folder, "--records-db", self.pg.connection())
            deadline = time.monotonic() + 180  # a start over 40,000 lines under the sanitizers, beside other suites
            while count() == before < total - 1:  # killed while it sends, not before its first commit
                self.assertLess(time.monotonic(), deadline, "it never sent a line")
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.05))
            process.kill()
            process.wait()
        self.assertGreater(count(), 0, "no kill came after a commit: a line skipped would go unseen")
        self.assertLess(count(), total - 1, "caught up before the last kill: nothing was cut")
        process = self.start_on(folder, "--records-db", self.pg.connection())
        self.wait_rows(total - 1, timeout=300)
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)
        self.assert_rows_are_the_journal(self.logs)
        self.assertEqual(self.records_db()["damaged_lines"], 1)

    @unittest.skipIf(WINE, "stopped with a POSIX signal")
    def test_two_stations_into_one_table_and_a_second_follower_doubles_nothing(self):
        folders = [self.folder(name, [journal_line(n, "%s-%d" % (name, n)) for n in range(3000)])
                   for name in ("bench-1", "bench-2")]
        processes = [self.start_on(folder, "--records-db", self.pg.connection()) for folder in folders]
        # The first folder's journal loaded by --serve at the same time: the lines it finds there
        # already (a unique key's refusal) are not sent twice, nor lost.
        loader = subprocess.run(PROGRAM + ["--serve", folders[0], "--records-db", self.pg.connection()],
                                capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(loader.returncode, 0, loader.stdout)
        self.wait_rows(6000)
        for process in processes:
            process.send_signal(signal.SIGINT)
            self.ended(process, 0)
        self.assertNotEqual(self.key(folders[0]), self.key(folders[1]))
        for folder in folders:
            self.assert_rows_are_the_journal(folder)

    def test_a_wrong_password_leaves_it_behind_and_the_units_updated(self):
        slot = self.slot(1, "--unit", "tx")
        process = self.start_station([slot], "--units", "1", "--records-db", self.pg.connection("wrong-password"))
        self.wait_for_journal(1)
        self.wait_state(lambda r: not r["up"] and r["behind_lines"] == 1, "1 line behind")
        output = self.ended(process, 0)
        [line] = self.journal()
        self.assertEqual(line["outcome"], "updated and verified")
        self.assertIn("password authentication failed", self.records_db()["message"])
        self.assertIn('Plant database: 0 lines behind (08001: connection to server at "127.0.0.1", port %d failed: '
                      'FATAL:  password authentication failed' % self.pg.port, output)
        self.assertEqual(self.rows(), [])

    @unittest.skipIf(WINE, "stopped with a POSIX signal")
    def test_a_table_of_another_shape_is_never_altered(self):
        self.pg.query("CREATE TABLE %s (id INTEGER, note VARCHAR(10)); INSERT INTO %s VALUES (1, 'theirs')"
                      % (TABLE, TABLE))
        process = self.start_on(self.folder("journaled", [journal_line(1)]), "--records-db", self.pg.connection())
        self.wait_state(lambda r: "another shape" in r["message"] and not r["up"] and r["behind_lines"] == 1,
                        "another shape")
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)
        self.assertEqual(self.pg.query("SELECT column_name, data_type FROM information_schema.columns WHERE "
                                       "table_name = '%s' ORDER BY ordinal_position" % TABLE),
                         [["id", "integer"], ["note", "character varying"]])
        self.assertEqual(self.pg.query("SELECT id, note FROM %s" % TABLE), [["1", "theirs"]])

    def test_serve_sends_a_folder_with_quotes_and_sql_in_its_serial_numbers(self):
        folder = self.folder("last-year", [journal_line(1, HOSTILE_SERIAL), journal_line(2, None),
                                           journal_line(3, "'; DELETE FROM %s; --" % TABLE)])
        command = PROGRAM + ["--serve", folder, "--records-db", self.pg.connection(), "--records-table", TABLE]
        result = subprocess.run(command, capture_output=True, timeout=RUN_LIMIT_S)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(self.pg.query("SELECT serial_number FROM %s ORDER BY line_no" % TABLE),
                         [[HOSTILE_SERIAL], [None], ["'; DELETE FROM %s; --" % TABLE]])
        self.assert_rows_are_the_journal(folder)
        again = subprocess.run(command, capture_output=True, timeout=RUN_LIMIT_S)  # nothing sent twice
        self.assertEqual(again.returncode, 0, again.stdout)
        self.assert_rows_are_the_journal(folder)

    def test_a_journal_replaced_or_edited_is_not_taken_for_the_rows(self):
        first = [journal_line(n) for n in range(3)]
        cases = [("moved away, a new one begun", [journal_line(99, "NEW-1")],
                  "the database holds line 3 of it, this journal 1 line"),
                 ("replaced by a longer one", [journal_line(n, "NEW-%d" % n) for n in range(5)], "line 3 differs"),
                 ("a blank line inserted by hand", first[:2] + [""] + first[2:], "line 3 differs"),
                 ("a line edited after it was sent", [first[0], first[1].replace("verified", "failed"), first[2]],
                  "line 2 differs")]
        for name, lines, why in cases:
            with self.subTest(name):
                folder = self.folder("shift-%d" % len(os.listdir(self.workdir)), first)
                with open(os.path.join(folder, "records-db-key"), "w") as f:
                    f.write("bench-%s\n" % name.replace(" ", "-"))  # a station's folder: its key kept in it
                self.assertEqual(self.send(folder)[0], 0)
                with open(os.path.join(folder, "journal.jsonl"), "w") as f:
                    f.writelines(line + "\n" for line in lines)
                status, output = self.send(folder)
                self.assertEqual(status, 1, output)
                self.assertIn("is not the one the database holds for key %s (%s): a folder copied to another PC, or a "
                              "journal replaced or edited? Nothing more is sent" % (self.key(folder), why), output)
                self.assertNotIn("every journal line", output)
                self.assertEqual([r[2] for r in self.rows(self.key(folder))], first)

    @unittest.skipIf(WINE, "stopped with a POSIX signal")
    def test_a_folder_copied_with_its_key_and_both_going_on(self):
        folder = self.folder("bench-1", [journal_line(n, "A-%d" % n) for n in range(30)])
        process = self.start_on(folder, "--records-db", self.pg.connection())
        self.wait_rows(30)
        copy = os.path.join(self.workdir, "bench-2")
        shutil.copytree(folder, copy)
        self.append(copy, [journal_line(n, "B-%d" % n) for n in range(30, 45)])
        status, output = self.send(copy)  # the copy sends its own lines 31 to 45 first: the database cannot tell
        self.assertEqual(status, 0, output)
        self.append(folder, [journal_line(n, "A-%d" % n) for n in range(30, 45)])
        # The station's own lines refused as there already: the rows compared, not taken.
        self.wait_state(lambda r: r["mismatch"] and r["mismatch"]["line"] == 31 and r["behind_lines"] == 15,
                        "its journal is not the one the database holds")
        self.assertIn("fwupgrade_records_db_mismatch{folder=\"%s\"} 1" % folder, self.metrics(folder))
        process.send_signal(signal.SIGINT)
        output = self.ended(process, 0)
        self.assertIn("(line 31 differs): a folder copied to another PC", output)
        self.assertIn("Plant database: 15 lines of the journal not sent, from line 31.", output)
        self.assertEqual([r[2] for r in self.rows()], [journal_line(n, "A-%d" % n) for n in range(30)] +
                         [journal_line(n, "B-%d" % n) for n in range(30, 45)])

    def test_rows_deleted_in_the_database_are_sent_again(self):
        folder = self.folder("shift", [journal_line(n) for n in range(1300)])
        self.assertEqual(self.send(folder)[0], 0)
        # The last row among them; more than a batch of them (the first ones kept, the rest looked
        # for again once they are sent).
        for deleted in ("line_no IN (3, 4, 1300)", "line_no BETWEEN 100 AND 1299 AND line_no % 2 = 0"):
            self.pg.query("DELETE FROM %s WHERE %s" % (TABLE, deleted))
            status, output = self.send(folder)
            self.assertEqual(status, 0, output)
            self.assertIn("every journal line in the plant's database (1300 lines", output)
            self.assert_rows_are_the_journal(folder)

    def test_a_row_the_database_refuses_is_set_aside_and_the_rest_go_on(self):
        long_port = "/dev/serial/by-path/" + "\x01x" * 1400  # some 9,900 bytes as a line: stored cut, not refused
        self.pg.query("CREATE DATABASE latin ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0")
        narrow = "CREATE TABLE %s (%s, PRIMARY KEY (station_key, line_no))" % (TABLE, ", ".join(
            "%s %s" % (c, "VARCHAR(8)" if c == "serial_number" else t) for c, t in COLUMNS))
        cases = [("a LATIN1 database, a euro sign", "latin", None, "EUR \u20ac", "22P05"),
                 ("a narrower column in an existing table", "postgres", narrow, "SN-0123456789", "22001"),
                 ("another unique key that the line breaks", "postgres",
                  "CREATE UNIQUE INDEX one_serial ON %s (serial_number)" % TABLE, "SN-1", "23505")]
        for name, database, sql, serial, state in cases:
            with self.subTest(name):
                if sql:
                    self.pg.query("DROP TABLE IF EXISTS %s" % TABLE)
                    if not sql.startswith("CREATE TABLE"):
                        self.pg.query(plant_table())
                    self.pg.query(sql)
                lines = [journal_line(1, "SN-1"), journal_line(2, serial), journal_line(3, "SN-3"),
                         json.dumps({"port": long_port, "outcome": "failed", "serial": "SN-4"})]
                folder = self.folder("shift-%d" % len(os.listdir(self.workdir)), lines)
                status, output = self.send(folder, connection=self.pg.connection(database=database))
                self.assertEqual(status, 1, output)
                self.assertIn("1 line set aside, refused by the database (2: %s: " % state, output)
                self.assertNotIn("every journal line", output)
                rows = self.pg.query("SELECT line_no, journal_line, port FROM %s WHERE station_key LIKE 'archive-%%' "
                                     "ORDER BY line_no" % TABLE, database)
                self.assertEqual([int(r[0]) for r in rows], [1, 3, 4])
                cut = rows[2][1]
                self.assertTrue(cut.endswith(" ...[cut: %d bytes]" % (len(lines[3].encode()) - cut.index(" ...[cut:")))
                                and lines[3].startswith(cut[:cut.index(" ...[cut:")]), cut[-40:])
                self.assertLessEqual(len(cut.encode()), 8000)
                self.assertEqual(rows[2][2], long_port[:255])
                self.pg.query("DELETE FROM %s" % TABLE, database)

    @unittest.skipIf(WINE, "the server stopped with a POSIX signal")
    def test_a_server_that_stops_answering_mid_call_is_down_within_the_bound(self):
        folder = self.folder("shift", [journal_line(n) for n in range(5)])
        process = self.start_on(folder, "--records-db", self.pg.connection())
        self.wait_rows(5)
        self.pg.signal(signal.SIGSTOP)  # its TCP still taken: only a deadline of our own notices
        self.append(folder, [journal_line(n) for n in range(5, 8)])
        self.wait_state(lambda r: not r["up"] and r["behind_lines"] == 3 and r["behind_from"] == 6 and
                        "no answer from the database for 15 s" in r["message"], "down, 3 lines behind", timeout=60)
        self.append(folder, [journal_line(8)])  # counted while it is down
        self.wait_state(lambda r: r["behind_lines"] == 4, "4 lines behind")
        metrics = self.metrics(folder)
        self.assertIn('fwupgrade_records_db_up{folder="%s"} 0' % folder, metrics)
        self.assertIn('fwupgrade_records_db_behind_lines{folder="%s"} 4' % folder, metrics)
        self.pg.signal(signal.SIGCONT)
        self.wait_rows(9)
        self.wait_state(lambda r: r["up"] and r["behind_lines"] == 0, "up, caught up")
        process.send_signal(signal.SIGINT)
        self.ended(process, 0)
        self.assert_rows_are_the_journal(folder)

    def test_serve_reads_only_and_never_doubles_an_archive(self):
        lines = [journal_line(n, "R-%d" % n) for n in range(4)]
        station = self.folder("bench-9", lines)
        with open(os.path.join(station, "records-db-key"), "w") as f:
            f.write("bench-9\n")
        self.assertEqual(self.send(station)[0], 0)
        archives = [self.folder("copy-without-its-key", lines),  # sent before under the station's key
                    self.folder("an-earlier-copy", lines[:2]),  # a prefix of the station's rows
                    self.folder("never-sent", [journal_line(n, "S-%d" % n) for n in range(4)])]
        for archive in [station] + archives:
            os.chmod(os.path.join(archive, "journal.jsonl"), 0o444)
            os.chmod(archive, 0o555)
            self.addCleanup(lambda a=archive: os.path.isdir(a) and os.chmod(a, 0o755))  # root's suite removed it already
        listing = {archive: sorted((e.name, e.stat().st_mtime_ns) for e in os.scandir(archive))
                   for archive in [station] + archives}
        for attempt in range(2):
            for archive in [station] + archives:
                status, output = self.send(archive)
                self.assertEqual(status, 0, output)
                with open(os.path.join(archive, "journal.jsonl")) as f:
                    count = len(f.readlines())
                self.assertIn("every journal line in the plant's database (%d lines" % count, output)
        self.assertEqual({archive: sorted((e.name, e.stat().st_mtime_ns) for e in os.scandir(archive))
                          for archive in listing}, listing)
        self.assertEqual(len(self.rows()), 8)
        self.assertEqual([r[2] for r in self.rows("bench-9")], lines)
        self.assert_rows_are_the_journal(archives[2])

    @unittest.skipIf(WINE, "links and FIFOs are native")
    def test_serve_with_no_journal_to_read_has_sent_nothing(self):
        real = self.folder("real", [journal_line(0, "L-1")])
        cases = {"no such folder": os.path.join(self.workdir, "mistyped")}
        for kind, make in (("a link", lambda p: os.symlink(os.path.join(real, "journal.jsonl"), p)),
                           ("a FIFO", os.mkfifo), ("a folder", os.mkdir)):
            cases[kind] = os.path.join(self.workdir, kind.replace(" ", "-"))
            os.mkdir(cases[kind])
            make(os.path.join(cases[kind], "journal.jsonl"))
        for kind, folder in cases.items():
            with self.subTest(kind):
                status, output = self.send(folder)
                self.assertEqual(status, 1, output)
                self.assertIn("ERROR: nothing to send", output)
                self.assertNotIn("every journal line", output)
        # A folder's name and its key are shown as text, never as the terminal's commands.
        hostile = self.folder("f\x1b[31m\nFAKE: every journal line", [journal_line(0, "H-1")])
        with open(os.path.join(hostile, "records-db-key"), "w") as f:
            f.write("k\x1b]0;pwned\x07\n")
        status, output = self.send(hostile)
        self.assertEqual(status, 1, output)
        self.assertNotIn("\x1b", output)
        self.assertNotIn("\nFAKE", output)
        self.assertEqual(self.rows(), [])

    @unittest.skipIf(WINE, "a program that ends at once can leave Wine's desktop, which it started, holding the pipe")
    def test_what_to_install_or_fix_is_exit_2_at_the_start(self):
        cases = [("Driver={No Such Driver};Pwd=hunter22", "Can't open lib 'No Such Driver'"),
                 ("DSN=nowhere;PWD=hunter22", "Data source name not found")]
        for connection, why in cases:
            with self.subTest(connection):
                self.logs = os.path.join(self.workdir, "station")
                output, status = run_fwupgrade(["--station", "--ports", "/nonexistent/slot", "--log-dir", self.logs,
                                                "--no-pause", "--records-db", connection], timeout=60)
                self.assertEqual(status, 2, output)
                self.assertIn(why, output)
                self.assertIn("install the database's ODBC driver", output)
                self.assertNotIn("hunter22", output)
                self.assertFalse(os.path.exists(os.path.join(self.logs, "journal.jsonl")) and
                                 os.path.getsize(os.path.join(self.logs, "journal.jsonl")) > 0)


if __name__ == "__main__":
    main()

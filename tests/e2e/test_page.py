#!/usr/bin/env python3
"""End-to-end tests of --serve: a station's folder over HTTP, read by a real browser (headless
Chromium), a real Prometheus and hostile clients. The folders are generated here; the harness
(the program, Wine, the environment) is harness.py's.

Environment: as harness.py's, and WEB_ARTIFACTS, a folder that keeps the page's screenshot.
"""
import fcntl
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from harness import (E2E, FWUPGRADE, RUN_IN_PREFIX, RUN_LIMIT_S, Unit, WINE, main, process_tree, read_bytes,
                     run_fwupgrade)

ARTIFACTS = os.environ.get("WEB_ARTIFACTS", "")
if ARTIFACTS:
    os.makedirs(ARTIFACTS, exist_ok=True)
# Every wait of these tests has this bound; none of them measures time.
WAIT_S = 60
HOSTILE = '<script>document.title="owned"</script><b id="injected">bold</b> "q" \\ \x01\x1b[31m'
SERIAL = "<img src=x onerror=alert(1)>\"';--"  # a serial number off a label: any printable text
OUTCOMES = ["updated and verified", "already current", "failed", "not confirmed", "stopped"]
SECRET = "secret-outside-the-folder"


# ---------------------------------------------------------------- a station's folder, generated

def iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03d+00:00" % int(seconds * 1000 % 1000)


def port_state(slot, label, state, text, unit=None, percent=None, last="", message=""):
    return {"slot": slot, "label": label, "name": "/dev/serial/by-path/usb-0:%d:1.0-port0" % (slot + 1),
            "path": "/dev/ttyUSB%d" % slot, "com": slot + 3, "state": state, "text": text,
            "phase": "FPGA image" if percent is not None else None, "percent": percent, "unit": unit,
            "since": iso(time.time() - 65), "last": last, "message": message}


def outcome_of(i):
    """The i-th unit's outcome: mostly updated, every kind of end among them."""
    return {3: "failed", 7: "not confirmed", 9: "already current", 11: "stopped"}.get(i % 13, "updated and verified")


def journal_line(i, start, label):
    outcome = outcome_of(i)
    left = {"failed": "update again", "not confirmed": "check before use", "stopped": "update again"}
    return {"port": "/dev/ttyUSB0", "label": label, "com": 3, "path": "/dev/ttyUSB0",
            "started": iso(start + 60 * i), "ended": iso(start + 60 * i + 20 + i % 3 * 100), "kind": "TX",
            "before": {"firmware": "1.0.3", "fpga": "1.03"}, "after": {"firmware": "1.0.4", "fpga": "1.04"},
            "outcome": outcome, "unit_left": left.get(outcome, "updated"),
            "summary": "FAILED during the FPGA image: update it again" if outcome == "failed" else outcome,
            "exit_status": 1 if outcome == "failed" else 0, "log": "unit-%d.log" % i,
            "report": "unit-%d.report.json" % i, "records_unwritten": []}


class Folder:
    """A station's folder as the station leaves it: its live state, its journal, unit files."""

    def __init__(self, path, units=30):
        self.path = path
        self.start = time.time() - 60 * units - 120
        os.makedirs(path, exist_ok=True)
        self.lines = []
        labels = ["A1", HOSTILE, "C3"]
        for i in range(units):
            self.lines.append(json.dumps(journal_line(i, self.start, labels[i % 3])))
        self.lines[1] = self.lines[1][:40]  # cut by a full disk: skipped, its number kept
        newest = json.loads(self.lines[-1])
        newest.update(kind=HOSTILE, summary=HOSTILE, outcome="failed")
        self.lines[-1] = json.dumps(newest)
        with open(os.path.join(path, "journal.jsonl"), "w") as f:
            f.write("".join(line + "\n" for line in self.lines))
        for n in (1, units):  # journal lines 1 and the newest have their files
            i = n - 1
            with open(os.path.join(path, "unit-%d.log" % i), "w") as f:
                f.write("log of unit %d\n" % i)
            with open(os.path.join(path, "unit-%d.report.json" % i), "w") as f:
                json.dump({"unit": i}, f)
        self.ports = [port_state(0, "A1", "working", "FPGA image 45 %", {"kind": "TX", "before": "1.0.3 1.03"}, 45),
                      port_state(1, HOSTILE, "remove the unit", "remove the unit",
                                 {"kind": HOSTILE, "before": HOSTILE}, last="updated and verified"),
                      port_state(2, "C3", "waiting for a unit", "waiting for a unit"),
                      port_state(3, "D4", "no port", "no port",
                                 message="no permission: add the user to the dialout group")]
        self.events = [{"id": 200 + k, "type": "port", "port": self.ports[k % 4]} for k in range(10)]
        self.write_state()

    def valid_lines(self):
        return [n + 1 for n, line in enumerate(self.lines) if line.endswith("}")]

    def counts(self):
        counts = {o: 0 for o in OUTCOMES}
        for n in self.valid_lines():
            counts[json.loads(self.lines[n - 1])["outcome"]] += 1
        return counts

    def write_state(self, **newer):  # newer: keys a state older than serial numbers lacks
        counts = self.counts()
        state = {"format": 1, "run": "4242-1765180711900",
                 "station": {"id": "station 4242 started %s on bench-3" % iso(self.start), "pid": 4242,
                             "host": "bench-3", "program": {"name": "FwUpgrade", "version": "1.0.0"},
                             "firmware": {"version": "1.0.4", "images": "sample", "time_divisor": 10,
                                          "carried": [{"kind": "mcu", "file": "K482915_MCU_61_1_04.hex",
                                                       "sha256": "32fd" * 16, "length": 127384,
                                                       "checksum": 4274523457}]},
                             "started": iso(self.start), "updated": iso(time.time()), "stage": "running",
                             "note": ""},
                 "counts": dict(handled=sum(counts.values()), units_per_hour=None, **counts),
                 "ports": self.ports, "journal": {"lines": len(self.lines)}, "events": self.events[-256:]}
        state.update(newer)
        temporary = os.path.join(self.path, "station-state.json.tmp")
        with open(temporary, "w") as f:
            json.dump(state, f)
        os.replace(temporary, os.path.join(self.path, "station-state.json"))

    def give_serials(self, serials):
        """Journal line n gets serials[n]; the others stay without the key, as older journals wrote them."""
        for n, serial in serials.items():
            self.lines[n - 1] = json.dumps(dict(json.loads(self.lines[n - 1]), serial=serial))
        with open(os.path.join(self.path, "journal.jsonl"), "w") as f:
            f.write("".join(line + "\n" for line in self.lines))

    def change_port(self, slot, **fields):
        self.ports[slot] = dict(self.ports[slot], **fields)
        self.events.append({"id": self.events[-1]["id"] + 1, "type": "port", "port": self.ports[slot]})
        self.write_state()

    def add_unit(self, outcome):
        line = journal_line(len(self.lines), self.start, "A1")
        line["outcome"] = outcome
        with open(os.path.join(self.path, "journal.jsonl"), "a") as f:
            f.write(json.dumps(line) + "\n")
        self.lines.append(json.dumps(line))
        self.events.append({"id": self.events[-1]["id"] + 1, "type": "unit", "line": len(self.lines)})
        self.write_state()


# ---------------------------------------------------------------- the server and its clients

class Server:
    """FwUpgrade --serve on a free loopback port; stopped with SIGINT (exit 130) at the end."""

    def __init__(self, test, *folders, address="127.0.0.1", port=0):
        command = ([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + ["--serve", *folders, "--http",
                                                                            "%s:%d" % (address, port)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        test.addCleanup(lambda: self.process.poll() is not None or self.process.kill())
        self.first = self.read_line(test)
        found = re.search(r" at http://%s:(\d+)/$" % re.escape(address), self.first)
        test.assertIsNotNone(found, self.first)
        self.port = int(found.group(1))

    def read_line(self, test):
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(WAIT_S)
        test.assertTrue(line, "the server never said where it listens")
        return line[0].decode("utf-8", "replace").rstrip("\r\n")

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        # Its end, not its output's: a wineserver that outlives it may hold that open a while.
        self.process.wait(timeout=WAIT_S)
        os.set_blocking(self.process.stdout.fileno(), False)
        return self.process.returncode, (self.process.stdout.read() or b"").decode("utf-8", "replace")

    def request(self, path, method="GET", headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_S)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def json(self, path):
        status, headers, body = self.request(path)
        if status != 200:
            raise AssertionError("%s: %d %s" % (path, status, body[:200]))
        return json.loads(body)

    def connect(self, source="127.0.0.1"):  # any loopback address: a client of its own
        return socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S, source_address=(source, 0))


def cpu_seconds(pid):
    """The processor time a process has used so far (user and system)."""
    fields = read_bytes("/proc/%d/stat" % pid).rsplit(b")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def received_until_closed(sock, limit=1 << 20):
    data = b""
    while len(data) < limit:
        try:
            piece = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not piece:
            break
        data += piece
    return data


class Web(E2E):
    def setUp(self):
        super().setUp()
        os.chmod(self.workdir, 0o755)  # the station's folder, and beside it what must never be served
        with open(os.path.join(self.workdir, "outside.txt"), "w") as f:
            f.write(SECRET)
        self.folder = Folder(os.path.join(self.workdir, "station"))

    def serve(self, *folders, port=0):
        server = Server(self, *(folders or [self.folder.path]), port=port)
        self.servers = getattr(self, "servers", []) + [server]
        return server

    def tearDown(self):
        for server in getattr(self, "servers", []):
            if server.process.poll() is None:
                status, output = server.stop()
                self.assertEqual(status, 130, output)
        super().tearDown()


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class Api(Web):
    def test_the_station_as_its_state_file_tells_and_a_journal_read_by_pages(self):
        server = self.serve()
        station = server.json("/api/v1/station")
        self.assertEqual(station["station"]["host"], "bench-3")
        self.assertEqual(station["station"]["firmware"]["carried"][0]["sha256"], "32fd" * 16)
        self.assertEqual([p["text"] for p in station["ports"]],
                         ["FPGA image 45 %", "remove the unit", "waiting for a unit", "no port"])
        self.assertEqual(station["ports"][1]["label"], HOSTILE)
        self.assertEqual(station["counts"]["failed"], self.folder.counts()["failed"])
        self.assertEqual(station["journal"], {"lines": 30, "damaged": 1})
        self.assertNotIn("events", station)
        self.assertEqual(station["scans"], [])
        page = server.json("/api/v1/journal?after=0&limit=5")
        self.assertEqual([u["line"] for u in page["units"]], [1, 3, 4, 5, 6])  # line 2 is damaged
        self.assertEqual(page["units"][0]["unit"]["log"], "unit-0.log")
        last = server.json("/api/v1/journal?after=28&limit=1000")
        self.assertEqual([u["line"] for u in last["units"]], [29, 30])
        self.assertEqual(last["units"][1]["unit"]["kind"], HOSTILE)

    def test_parameters_that_are_no_line_number_or_out_of_range_are_refused(self):
        server = self.serve()
        for query, status in (("after=x", 400), ("after=-1", 400), ("after=1e3", 400), ("after=%2B1", 400),
                              ("limit=0", 400), ("limit=1001", 400), ("after=99999999999999999999", 400),
                              ("after=%00", 400), ("after=1000000", 200), ("limit=1000", 200),
                              ("station=1", 404), ("station=a", 400), ("serial=", 400), ("serial=" + "x" * 65, 400),
                              ("serial=" + "%C3%A9", 400), ("serial=a&serial=b", 400)):
            with self.subTest(query=query):
                self.assertEqual(server.request("/api/v1/journal?" + query)[0], status)

    def test_several_folders_are_a_list_of_stations(self):
        yesterday = os.path.join(self.workdir, "yesterday")
        os.makedirs(yesterday)
        with open(os.path.join(yesterday, "journal.jsonl"), "w") as f:
            f.write(json.dumps(journal_line(0, time.time(), "A1")) + "\n")
        server = self.serve(self.folder.path, yesterday)
        self.assertIn("folders " + self.folder.path + " " + yesterday, server.first)
        stations = server.json("/api/v1/station")["stations"]
        self.assertEqual([s["folder"] for s in stations], [self.folder.path, yesterday])
        self.assertIsNone(stations[1]["station"])  # no live state: what its journal tells
        self.assertEqual(stations[1]["counts"]["updated and verified"], 1)
        self.assertEqual(server.json("/api/v1/station?station=1")["folder"], yesterday)
        summary = server.json("/api/v1/summary?station=0")
        self.assertEqual(sum(p["handled"] for p in summary["ports"]), len(self.folder.valid_lines()))
        self.assertEqual(sum(h["failed"] for h in summary["hours"]), self.folder.counts()["failed"])

    def test_an_address_beyond_this_machine_is_said_to_be_on_the_network(self):
        loopback = Server(self, self.folder.path)
        self.assertNotIn("network", loopback.first)
        everywhere = Server(self, self.folder.path, address="0.0.0.0")
        self.servers = [loopback, everywhere]
        self.assertRegex(everywhere.read_line(self), r"^The page is on the network: .* Point a browser at "
                                                     r"http://[^/:]+:%d/$" % everywhere.port)
        self.assertEqual(everywhere.json("/api/v1/station")["journal"]["lines"], 30)

    def test_usage_errors_and_a_port_already_taken(self):
        for args in (["--http", "8080"], ["--serve", self.folder.path], ["--serve", "--http", "0"],
                     ["--serve", self.folder.path, "--http", "65536"], ["--serve", self.folder.path, "--http", "x:1:2"],
                     ["--serve", self.folder.path, "--http", "0", "--station"]):
            with self.subTest(args=args):
                self.assertEqual(run_fwupgrade(args)[1], 2)
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        output, status = run_fwupgrade(["--serve", self.folder.path, "--http", "127.0.0.1:%d" % port])
        self.assertEqual(status, 1)
        self.assertEqual(output, "ERROR: cannot listen on 127.0.0.1:%d: Address already in use.\n" % port)


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class UnitFiles(Web):
    def test_a_units_log_and_report(self):
        server = self.serve()
        status, headers, body = server.request("/units/1/log")
        self.assertEqual((status, headers["Content-Type"], body), (200, "text/plain; charset=utf-8", b"log of unit 0\n"))
        status, headers, body = server.request("/units/30/report")
        self.assertEqual((status, headers["Content-Type"], json.loads(body)), (200, "application/json", {"unit": 29}))

    def test_nothing_outside_the_folder_is_ever_read(self):
        names = ["../outside.txt", os.path.join(self.workdir, "outside.txt"), "link.log", "sub/unit-0.log", "..",
                 ".", "", "unit-0.log\x00x", "C:unit-0.log", "..\\outside.txt", "dir.log"]
        os.symlink(os.path.join(self.workdir, "outside.txt"), os.path.join(self.folder.path, "link.log"))
        os.makedirs(os.path.join(self.folder.path, "sub", "unit-0.log"))
        os.makedirs(os.path.join(self.folder.path, "dir.log"))
        for name in names:
            self.folder.add_unit("failed")
            line = json.loads(self.folder.lines[-1])
            line["log"] = line["report"] = name
            self.folder.lines[-1] = json.dumps(line)
        with open(os.path.join(self.folder.path, "journal.jsonl"), "w") as f:
            f.write("".join(line + "\n" for line in self.folder.lines))
        server = self.serve()
        first = len(self.folder.lines) - len(names) + 1
        paths = [("/units/%d/%s" % (n, kind), 404) for n in range(first, len(self.folder.lines) + 1)
                 for kind in ("log", "report")]
        paths += [("/units/2/log", 404), ("/units/0/log", 404), ("/units/999/log", 404),
                  ("/units/x/log", 400), ("/units/-1/log", 400), ("/units/1.0/log", 400), ("/units//log", 400),
                  ("/units/99999999999999999999/log", 400), ("/units/%2e%2e/log", 400),
                  ("/units/..%2f..%2foutside.txt/log", 404), ("/units/1/../../outside.txt", 404),
                  ("/../outside.txt", 404), ("/%2e%2e/outside.txt", 404), ("//etc/passwd", 404),
                  ("/" + urllib.parse.quote(os.path.join(self.workdir, "outside.txt")), 404)]
        for path, expected in paths:
            with self.subTest(path=path):
                status, _, body = server.request(path)
                self.assertEqual(status, expected, body[:200])
                self.assertNotIn(SECRET.encode(), body)


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class HostileClients(Web):
    def test_only_reading_methods_are_served(self):
        server = self.serve()
        for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS"):
            with self.subTest(method=method):
                status, headers, _ = server.request("/api/v1/station", method=method)
                self.assertEqual((status, headers.get("Allow")), (405, "GET, HEAD"))
        status, headers, body = server.request("/api/v1/station", method="HEAD")
        self.assertEqual((status, body), (200, b""))
        # A page elsewhere whose name was made to lead here (DNS rebinding) is not answered, even
        # one whose name merely begins like a loopback address.
        for host in ("rebound.example", "127.attacker.example", "127.0.0.1.nip.io", "localhost.example"):
            status, _, body = server.request("/api/v1/station", headers={"Host": "%s:%d" % (host, server.port)})
            self.assertEqual(status, 421, host)
            self.assertNotIn(b"bench-3", body)
        self.assertEqual(sorted(os.listdir(self.folder.path)), sorted(os.listdir(self.folder.path)))

    def test_two_hosts_are_a_bad_request(self):
        server = self.serve()
        sock = server.connect()
        sock.sendall(b"GET /api/v1/station HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: rebound.example\r\n\r\n")
        self.assertEqual(received_until_closed(sock)[:13], b"HTTP/1.1 400 ")

    def test_a_port_another_server_holds_is_refused(self):
        server = self.serve()
        output, status = run_fwupgrade(["--serve", self.folder.path, "--http", "127.0.0.1:%d" % server.port])
        self.assertEqual((status, output.split(":")[0]), (1, "ERROR"))
        self.assertIn("cannot listen on 127.0.0.1:%d" % server.port, output)
        self.assertEqual(server.request("/api/v1/station")[0], 200)

    def test_a_fifo_in_place_of_the_folders_files_holds_nothing(self):
        """Never opened: the server listens, answers from what it can read, and a stop ends it."""
        for name in ("station-state.json", "journal.jsonl"):
            with self.subTest(name=name):
                folder = os.path.join(self.workdir, "fifo-" + name)
                os.makedirs(folder)
                os.mkfifo(os.path.join(folder, name))
                server = self.serve(folder)
                self.assertEqual(server.request("/api/v1/station")[0], 200)
                self.assertEqual(server.stop()[0], 130)

    def test_a_flood_is_refused_at_once_and_streams_end_with_their_clients(self):
        """Slow clients beyond the connections served are told 503 at once, not queued; once they
        are gone the page answers again within seconds; the threads of event streams that never
        read end when their clients close."""
        server = self.serve()
        threads = lambda: len(os.listdir("/proc/%d/task" % server.process.pid))
        before = threads()
        flood = [server.connect() for _ in range(700)]
        for sock in flood:
            sock.sendall(b"G")  # and never more
        self.assertIn(server.request("/api/v1/station")[0], (200, 503))  # within the request's own bound
        for sock in flood:
            sock.close()
        streams = []
        for _ in range(100):
            sock = server.connect()
            sock.sendall(b"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            streams.append(sock)  # never read
        time.sleep(1)
        for sock in streams:
            sock.close()
        # A stream's thread looks at its client at least once a second: gone with it within a few.
        deadline = time.monotonic() + 8
        while threads() > before + 8:
            self.assertLess(time.monotonic(), deadline, "%d threads, %d before the flood" % (threads(), before))
            time.sleep(0.5)
        deadline = time.monotonic() + WAIT_S
        while server.request("/")[0] != 200:
            self.assertLess(time.monotonic(), deadline, "the page never answered again after the flood")
            time.sleep(0.5)

    def test_past_512_connections_each_is_refused_at_once_while_they_are_held(self):
        server = self.serve()
        held = [Stream(server, source="127.0.0.%d" % (2 + i // 64)) for i in range(512)]  # 8 clients' shares
        self.assertEqual({stream.next()[1] for stream in held}, {"state"})
        for _ in range(20):
            began, sock = time.monotonic(), server.connect(source="127.0.1.1")
            self.assertEqual(received_until_closed(sock)[:13], b"HTTP/1.1 503 ")  # asked nothing: told at once
            self.assertLess(time.monotonic() - began, 1)
        self.assertEqual(server.request("/api/v1/station")[0], 503)

    def test_one_client_holds_64_event_streams_at_most(self):
        """Its next is refused (429); another client's stream and its own requests are served."""
        server = self.serve()
        streams = [Stream(server) for _ in range(64)]
        self.assertEqual({stream.next()[1] for stream in streams}, {"state"})
        refused = Stream(server)
        self.assertEqual((refused.next(), refused.buffered[:13]), (None, b"HTTP/1.1 429 "))
        self.assertEqual((Stream(server, source="127.0.0.2").next()[1], server.request("/")[0]), ("state", 200))
        for stream in streams:
            stream.close()
        deadline = time.monotonic() + WAIT_S
        while Stream(server).next() is None:  # given back as the streams' threads end, within seconds
            self.assertLess(time.monotonic(), deadline)

    def test_a_journal_of_100_gb_of_zeros_is_one_damaged_line_read_once(self):
        path = os.path.join(self.folder.path, "journal.jsonl")
        os.truncate(path, 100 << 30)
        with open(path, "a") as f:  # as a station appends after a cut line: on a line of its own
            f.write("\n" + self.folder.lines[0] + "\n")
        server = self.serve()
        deadline = time.monotonic() + WAIT_S
        while server.json("/api/v1/station")["journal"] != {"lines": 32, "damaged": 2}:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.5)
        before = cpu_seconds(server.process.pid)
        time.sleep(4)
        self.assertLess(cpu_seconds(server.process.pid) - before, 0.4)  # its refreshes read nothing again

    def test_every_answer_carries_the_security_headers(self):
        server = self.serve()
        for path in ("/", "/app.js", "/api/v1/station", "/metrics", "/units/1/log", "/nowhere"):
            with self.subTest(path=path):
                headers = server.request(path)[1]
                self.assertTrue(headers["Content-Security-Policy"].startswith("default-src 'self'"))
                self.assertEqual(headers["X-Content-Type-Options"], "nosniff")
                self.assertEqual(headers["Cache-Control"], "no-store")

    def test_a_head_too_large_is_refused(self):
        server = self.serve()
        for headers in ({"X-Big": "a" * 9000}, {"X-%d" % i: "b" * 100 for i in range(100)}):
            with self.subTest(size=sum(len(v) for v in headers.values())):
                self.assertEqual(server.request("/", headers=headers)[0], 431)
        self.assertEqual(server.request("/" + "a" * 9000)[0], 431)
        self.assertEqual(server.request("/")[0], 200)

    def test_hundreds_of_idle_connections_and_streams_leave_a_request_answered(self):
        server = self.serve()
        idle = [server.connect() for _ in range(300)]
        streams = [Stream(server) for _ in range(50)]
        self.assertEqual(streams[-1].next()[1], "state")
        self.assertEqual(server.request("/api/v1/station")[0], 200)
        for sock in idle + [stream.sock for stream in streams]:
            sock.close()

    def test_a_slow_drip_is_cut_off(self):
        server = self.serve()
        sock = server.connect()
        sent, closed = 0, False
        deadline = time.monotonic() + WAIT_S
        while not closed and time.monotonic() < deadline:
            try:
                sock.sendall(b"GET / HTTP/1.1\r\nX: "[sent % 19:sent % 19 + 1] if sent < 19 else b"a")
                sent += 1
            except OSError:
                closed = True
            time.sleep(0.5)
            try:
                sock.setblocking(False)
                closed = closed or sock.recv(1) == b""
            except BlockingIOError:
                pass
            except OSError:
                closed = True
            finally:
                sock.setblocking(True)
        sock.close()
        self.assertTrue(closed, "a client sending a byte every half second was never cut off")
        self.assertEqual(server.request("/")[0], 200)


class Stream:
    """An event stream read as the browser reads it: events kept whole across reads."""

    def __init__(self, server, last_event_id=None, source="127.0.0.1"):
        self.sock, self.buffered = server.connect(source), b""
        extra = "Last-Event-ID: %d\r\n" % last_event_id if last_event_id is not None else ""
        self.sock.sendall(("GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % extra).encode())

    def next(self):
        """The next event: (id or None, type, data), or None when the stream ended."""
        while b"\n\n" not in self.buffered:
            piece = self.sock.recv(65536)
            if not piece:
                return None
            self.buffered += piece
        block, self.buffered = self.buffered.split(b"\n\n", 1)
        fields = {}
        for line in block.decode("utf-8").split("\n"):
            if line.startswith("id: "):
                fields["id"] = int(line[4:])
            elif line.startswith("event: "):
                fields["event"] = line[7:]
            elif line.startswith("data: "):
                fields["data"] = json.loads(line[6:])
        return (fields.get("id"), fields["event"], fields.get("data")) if "event" in fields else self.next()

    def events(self, count, skip=()):
        """The next `count` events but those of the types in skip."""
        events = []
        while len(events) < count:
            event = self.next()
            if event is None:
                break
            if event[1] not in skip:
                events.append(event)
        return events

    def close(self):
        self.sock.close()


def sse_events(stream, count, skip=()):
    return stream.events(count, skip)


def open_stream(server, last_event_id=None):
    return Stream(server, last_event_id)


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class Events(Web):
    def test_changes_come_as_events_and_a_reconnection_gets_what_it_missed(self):
        server = self.serve()
        stream = open_stream(server)
        [(first_id, kind, state)] = sse_events(stream, 1)
        self.assertEqual((first_id, kind, len(state["ports"])), (209, "state", 4))
        self.folder.change_port(2, state="working", text="checking", unit={"kind": "RX", "before": "1.0.3 1.03"})
        self.folder.add_unit("updated and verified")
        events = sse_events(stream, 2)
        self.assertEqual([(i, k) for i, k, _ in events], [(210, "port"), (211, "unit")])
        self.assertEqual(events[0][2]["port"]["text"], "checking")
        self.assertEqual((events[1][2]["line"], events[1][2]["unit"]["outcome"]), (31, "updated and verified"))
        stream.close()
        self.folder.change_port(0, text="MCU image 3 %")
        again = open_stream(server, last_event_id=209)
        # (the stage and note may come too, as a "station" event: the client cannot say what it saw)
        self.assertEqual([(i, k) for i, k, _ in sse_events(again, 3, skip=("station",))],
                         [(210, "port"), (211, "unit"), (212, "port")])
        again.close()

    def test_a_client_too_far_behind_or_from_another_run_is_told_to_reload(self):
        server = self.serve()
        for last in (5, 198, 999):
            with self.subTest(last_event_id=last):
                stream = open_stream(server, last_event_id=last)
                events = sse_events(stream, 2)
                self.assertEqual([(i, k) for i, k, _ in events], [(None, "reload"), (209, "state")])
                stream.close()
        stream = open_stream(server, last_event_id=199)  # the oldest event kept is the next: none missed
        self.assertEqual([(i, k) for i, k, _ in sse_events(stream, 10)], [(200 + k, "port") for k in range(10)])
        stream.close()
        # A stream opened before the run's first event is told that event, not to reload.
        self.folder.events = []
        self.folder.ports[0] = dict(self.folder.ports[0], text="before the first event")
        self.folder.write_state()
        deadline = time.monotonic() + WAIT_S
        while server.json("/api/v1/station")["ports"][0]["text"] != "before the first event":  # read by the server
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        stream = open_stream(server)
        self.assertEqual([(i, k) for i, k, _ in sse_events(stream, 1)], [(None, "state")])
        self.folder.events = [{"id": 210, "type": "port", "port": self.folder.ports[2]}]
        self.folder.write_state()
        self.assertEqual([(i, k) for i, k, _ in sse_events(stream, 1, skip=("station",))], [(210, "port")])
        stream.close()


    def test_a_state_file_of_the_wrong_shapes_is_served_without_a_fault(self):
        shapes = [{"format": 1, "events": [1, {"id": "x"}, {"id": 5, "type": "unit", "line": "y"}], "ports": [3],
                   "station": [], "counts": "many"},
                  {"format": 1, "events": {"id": 1}, "ports": {"slot": 0}, "station": {"stage": 5, "program": 1}},
                  {"format": "1"}, [], {"format": 1, "events": [{"id": 1, "type": "port"}, {"id": 2, "type": "unit"}]}]
        server = self.serve()
        for shape in shapes:
            with self.subTest(shape=shape):
                with open(os.path.join(self.folder.path, "station-state.json.tmp"), "w") as f:
                    json.dump(shape, f)
                os.replace(os.path.join(self.folder.path, "station-state.json.tmp"),
                           os.path.join(self.folder.path, "station-state.json"))
                time.sleep(0.6)  # read within a quarter of a second: this shape is the one served
                stream = open_stream(server)
                self.assertEqual(stream.next()[1], "state")
                stream.close()
                for path in ("/api/v1/station", "/api/v1/summary", "/metrics", "/units/1/log"):
                    self.assertEqual(server.request(path)[0], 200, path)


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class Metrics(Web):
    def setUp(self):
        super().setUp()
        # A folder name that must be escaped as a label: a quote and a backslash.
        hostile = os.path.join(self.workdir, 'bench "3" \\ line')
        os.rename(self.folder.path, hostile)
        self.folder.path = hostile

    def test_the_format_is_what_promtool_accepts(self):
        server = self.serve()
        status, headers, body = server.request("/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
        check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, timeout=WAIT_S)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        text = body.decode()
        label = 'folder="%s"' % self.folder.path.replace("\\", "\\\\").replace('"', '\\"')
        self.assertIn('fwupgrade_units_total{%s,outcome="failed"} %d' % (label, self.folder.counts()["failed"]), text)
        self.assertIn('fwupgrade_ports{%s,state="working"} 1' % label, text)
        self.assertIn('fwupgrade_unit_duration_seconds_count{%s} %d' % (label, len(self.folder.valid_lines())), text)
        self.assertIn('fwupgrade_station_info{%s,host="bench-3",program_version="1.0.0",firmware_version="1.0.4"'
                      % label, text)

    def test_a_prometheus_scrapes_it_and_answers_the_count_of_units_updated(self):
        server = self.serve()
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        web_port = probe.getsockname()[1]
        probe.close()
        config = os.path.join(self.workdir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: station\n"
                    "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % server.port)
        prometheus = subprocess.Popen(["prometheus", "--config.file=" + config,
                                       "--storage.tsdb.path=" + os.path.join(self.workdir, "tsdb"),
                                       "--web.listen-address=127.0.0.1:%d" % web_port],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: prometheus.poll() is not None or (prometheus.kill(), prometheus.wait()))
        query = urllib.parse.quote('sum(fwupgrade_units_total{outcome="updated and verified"})')
        deadline, value = time.monotonic() + WAIT_S, None
        while value is None and time.monotonic() < deadline:
            time.sleep(0.5)
            try:
                connection = http.client.HTTPConnection("127.0.0.1", web_port, timeout=5)
                connection.request("GET", "/api/v1/query?query=" + query)
                result = json.loads(connection.getresponse().read())["data"]["result"]
                value = int(result[0]["value"][1]) if result else None
            except (OSError, ValueError, KeyError):
                pass
            finally:
                connection.close()
        self.assertEqual(value, self.folder.counts()["updated and verified"])


def above_4(fd):
    """fd moved past 4: the shell that starts the browser puts the pipes at 3 and 4, one after the
    other (a pipe already at 3 or 4 would be overwritten). It is bash: dash takes no fd past 9."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 5)
    os.close(fd)
    return moved


class Browser:
    """Headless Chromium driven over its DevTools pipe: the page's live DOM once it shows what a
    condition asks for (the page keeps its event stream open, so it never "finishes loading")."""

    def __init__(self, test):
        self.profile = tempfile.mkdtemp(prefix="fwupgrade-chromium-")
        commands, self.to_browser = os.pipe()
        self.from_browser, replies = os.pipe()
        commands, replies = above_4(commands), above_4(replies)
        os.set_inheritable(commands, True)
        os.set_inheritable(replies, True)
        # The browser reads commands on its fd 3 and writes replies on its fd 4.
        launcher = "exec 3<&%d 4>&%d; exec chromium \"$@\"" % (commands, replies)
        self.process = subprocess.Popen(
            ["bash", "-c", launcher, "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + self.profile, "--remote-debugging-pipe", "about:blank"],
            pass_fds=(commands, replies), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands)
        os.close(replies)
        test.addCleanup(self.close)
        self.next_id, self.buffered = 0, b""
        pages = [t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
        self.session = self.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session or getattr(self, "session", None):
            message["sessionId"] = session or self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            while b"\0" in self.buffered:
                text, self.buffered = self.buffered.split(b"\0", 1)
                reply = json.loads(text)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise AssertionError("%s: %s" % (method, reply["error"]))
                    return reply["result"]
            piece = os.read(self.from_browser, 1 << 20)
            if not piece:
                break
            self.buffered += piece
        raise AssertionError("the browser never answered " + method)

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def open(self, url, ready, width=1400, height=1400):
        """Opens url at that window size; the DOM once the script `ready` is true."""
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                  mobile=width < 600)
        self.call("Page.navigate", url=url)
        self.until(ready)
        return self.evaluate("document.documentElement.outerHTML")

    def until(self, condition):
        """Waits until the script condition is true."""
        deadline = time.monotonic() + WAIT_S
        while not self.evaluate(condition):
            if time.monotonic() > deadline:
                raise AssertionError("the page never showed " + condition)
            time.sleep(0.2)

    def screenshot(self, path):
        import base64
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", format="png",
                                               captureBeyondViewport=False)["data"]))

    def close(self):
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class Page(Web):
    def test_the_page_in_a_browser(self):
        self.folder = Folder(self.folder.path, units=120)
        server = self.serve()
        browser = Browser(self)
        url = "http://127.0.0.1:%d/" % server.port
        ready = ("document.querySelectorAll('tr.unit').length > 0 && document.querySelector('rect.bar') !== null"
                 " && document.querySelector('tr.tally-row') !== null")
        dom = browser.open(url, ready)
        rows = re.findall(r'<tr class="port [^"]*" data-slot="(\d)">', dom)
        self.assertEqual(rows, ["0", "1", "2", "3"])
        self.assertIn("FPGA image 45 %", dom)
        self.assertIn("no permission: add the user to the dialout group", dom)
        counts = self.folder.counts()
        for key, value in (("handled", sum(counts.values())), ("failed", counts["failed"])):
            self.assertRegex(dom, r'data-key="%s"><span class="n">%d</span>' % (key, value))
        self.assertEqual(len(re.findall(r'<tr class="unit ', dom)), 50)  # one page of the newest
        self.assertIn('data-line="120"', dom)
        self.assertNotIn('data-line="70"', dom)
        self.assertIn("update again", dom)  # what to do with a failed unit
        self.assertIn('href="/units/120/log?station=0"', dom)
        self.assertGreater(len(re.findall(r'<rect class="bar fill-', dom)), 2)
        self.assertEqual(len(re.findall(r'<tr class="tally-row">', dom)), 3)
        # The hostile text is shown as text: escaped in the document, never an element or a script.
        self.assertIn("&lt;script&gt;document.title=\"owned\"&lt;/script&gt;&lt;b id=\"injected\"&gt;", dom)
        self.assertNotIn('<b id="injected">', dom)
        self.assertEqual(browser.evaluate("document.title"), "FwUpgrade station")
        if ARTIFACTS:
            browser.screenshot(os.path.join(ARTIFACTS, "station-page.png"))
        # Live: a port's change reaches its row through the event stream.
        self.folder.change_port(0, text="MCU image 7 %")
        deadline = time.monotonic() + WAIT_S
        while browser.evaluate("document.querySelector('tr.port[data-slot=\"0\"] td.state').textContent") \
                != "MCU image 7 %":
            self.assertLess(time.monotonic(), deadline, "the row never showed the port's change")
            time.sleep(0.2)
        if ARTIFACTS:
            browser.open(url, ready, width=420, height=1600)
            browser.screenshot(os.path.join(ARTIFACTS, "station-page-phone.png"))


@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class Serials(Web):
    def test_a_serial_number_is_shown_as_text_and_the_search_box_finds_it_in_every_folder(self):
        self.folder.give_serials({25: SERIAL, 28: "SN 0028", 30: SERIAL})
        scans = [{"serial": "SN 0031", "slot": "C3"}, {"serial": SERIAL, "slot": None}]
        self.folder.ports[1]["serial"] = SERIAL
        self.folder.write_state(scans=scans)
        other = os.path.join(self.workdir, "bench-2")  # the same unit, a day earlier at another bench
        os.makedirs(other)
        with open(os.path.join(other, "journal.jsonl"), "w") as f:
            f.write(json.dumps(dict(journal_line(0, time.time() - 86400, "B1"), serial=SERIAL)) + "\n")
        server = self.serve(self.folder.path, other)
        station = server.json("/api/v1/station?station=0")
        self.assertEqual((station["ports"][1]["serial"], station["scans"]), (SERIAL, scans))
        browser = Browser(self)
        serials = "[...document.querySelectorAll('%s td.serial')].map((td) => td.textContent)"
        browser.open("http://127.0.0.1:%d/" % server.port, "document.querySelector('#station-0 tr.unit') !== null")
        self.assertEqual(browser.evaluate(serials % "#station-0 tr.port"), ["", SERIAL, "", ""])
        self.assertEqual(browser.evaluate(serials % "#station-0 tr.unit")[:6], [SERIAL, "", "SN 0028", "", "", SERIAL])
        browser.evaluate("{ const f = document.getElementById('serial-search'); f.elements.serial.value = %s; "
                         "f.requestSubmit(); }" % json.dumps(SERIAL))
        browser.until("document.querySelectorAll('#serial-found tr.unit').length > 0")
        self.assertEqual(browser.evaluate("[...document.querySelectorAll('#serial-found tr.unit')]"
                                          ".map((row) => [row.cells[0].textContent, row.dataset.line])"),
                         [[self.folder.path, "30"], [self.folder.path, "25"], [other, "1"]])
        self.assertEqual(browser.evaluate("document.querySelectorAll('img').length"), 0)  # text, never an element

@unittest.skipIf(WINE, "natively; under Wine one request is asked")
class LiveStation(Web):
    def test_a_running_station_seen_through_its_folder(self):
        """A real station with one emulated unit: its port's changes and its unit come as events."""
        link = os.path.join(self.workdir, "by-path-slot1")
        unit = Unit(self.workdir, "unit1", "--unit", "tx", "--plug-after", "0", "--pull-after", "-1", link=link)
        self.ports.units.append(unit)
        logs = os.path.join(self.workdir, "live")
        station = subprocess.Popen([FWUPGRADE, "--station", "--ports", "A1=" + link, "--log-dir", logs, "--units", "1",
                                    "--no-pause"], stdout=subprocess.PIPE)
        self.addCleanup(lambda: station.poll() is not None or station.kill())
        server = self.serve(logs)  # the folder may not be there yet: served as it comes
        stream, seen = None, []
        deadline = time.monotonic() + RUN_LIMIT_S
        while not any(kind == "unit" for _, kind, _ in seen):
            self.assertLess(time.monotonic(), deadline, "no unit event came: %s" % seen[-5:])
            if stream is None and os.path.exists(os.path.join(logs, "station-state.json")):
                stream = open_stream(server)
            if stream is None:
                time.sleep(0.1)
                continue
            stream.sock.settimeout(max(1, deadline - time.monotonic()))
            seen += sse_events(stream, 1)
        stream.close()
        ids = [i for i, _, _ in seen if i is not None]
        self.assertEqual(ids, list(range(ids[0], ids[0] + len(ids))), ids[:5])  # none missed
        texts = [data["port"]["text"] for _, kind, data in seen if kind == "port"]
        self.assertTrue(any(t.startswith("FPGA image") for t in texts), texts)
        [(_, _, finished)] = [event for event in seen if event[1] == "unit"]
        self.assertEqual((finished["line"], finished["unit"]["outcome"], finished["unit"]["label"]),
                         (1, "updated and verified", "A1"))
        self.assertEqual(station.communicate(timeout=RUN_LIMIT_S)[0].count(b"updated and verified") > 0, True)
        self.assertEqual(station.returncode, 0)
        state = server.json("/api/v1/station")
        self.assertEqual((state["counts"]["handled"], state["ports"][0]["label"]), (1, "A1"))
        self.assertEqual(server.request("/units/1/log")[0], 200)
        self.assertEqual(server.json("/units/1/report")["outcome"], "updated and verified")


    def test_a_stations_own_page_killed_mid_update_comes_back_and_touches_nothing(self):
        """--station --http: its server, killed while a unit updates, is started again on the same port; the
        update, the journal and the exit status are as without it."""
        link = os.path.join(self.workdir, "by-path-slot1")
        unit = Unit(self.workdir, "unit1", "--unit", "tx", "--plug-after", "0", "--pull-after", "-1", link=link)
        self.ports.units.append(unit)
        logs = os.path.join(self.workdir, "live")
        station = subprocess.Popen([FWUPGRADE, "--station", "--ports", "A1=" + link, "--log-dir", logs, "--units", "1",
                                    "--http", "127.0.0.1:0", "--no-pause"], stdout=subprocess.PIPE)
        self.addCleanup(lambda: station.poll() is not None or station.kill())
        lines = [station.stdout.readline() for _ in range(4)]  # its heading, the server's line among them
        [port] = [int(m.group(1)) for m in (re.search(rb" at http://127\.0\.0\.1:(\d+)/", l) for l in lines) if m]
        self.wait_for(unit, "announce kind=fpga")
        [server] = [p for p in process_tree(station.pid) if b"--serve" in read_bytes("/proc/%d/cmdline" % p)]
        os.kill(server, signal.SIGKILL)
        deadline = time.monotonic() + WAIT_S
        while True:  # back on the same port while the unit still updates
            try:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT_S)
                connection.request("GET", "/api/v1/station")
                state = json.loads(connection.getresponse().read())
                connection.close()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the page's server never came back")
                time.sleep(0.1)
        self.assertEqual(state["ports"][0]["label"], "A1")
        output = station.communicate(timeout=RUN_LIMIT_S)[0]
        self.assertEqual(station.returncode, 0, output[-1500:])
        with open(os.path.join(logs, "journal.jsonl")) as f:
            [line] = [json.loads(l) for l in f]
        self.assertEqual(line["outcome"], "updated and verified")


@unittest.skipUnless(WINE, "the Windows .exe")
class Windows(Web):
    def test_the_exe_answers_the_station(self):
        server = self.serve()
        station = server.json("/api/v1/station")
        self.assertEqual(station["station"]["host"], "bench-3")
        self.assertEqual(station["journal"]["lines"], 30)
        self.assertEqual(len(server.json("/api/v1/journal?after=0&limit=3")["units"]), 3)

    def test_a_port_held_is_refused_and_one_let_go_is_listened_on_again_at_once(self):
        server = self.serve()
        for _ in range(5):  # each closed by the server first: TIME_WAIT on its side
            server.request("/", headers={"Connection": "close"})
        second = subprocess.Popen(([RUN_IN_PREFIX, FWUPGRADE] if WINE else [FWUPGRADE]) + ["--serve", self.folder.path,
                                  "--http", "127.0.0.1:%d" % server.port], stdout=subprocess.DEVNULL)
        self.assertEqual(second.wait(timeout=WAIT_S), 1)
        self.assertEqual(server.stop()[0], 130)
        self.assertEqual(self.serve(port=server.port).request("/")[0], 200)


if __name__ == "__main__":
    main(long=("LiveStation.test_a_running_station_seen_through_its_folder",
               "LiveStation.test_a_stations_own_page_killed_mid_update_comes_back_and_touches_nothing"))

#!/usr/bin/env python3
"""The release artifacts: programs that rebuild byte for byte, the two packages' contents
against the image files and the programs, and the FIRMWARE_DIR a build must refuse.

Usage: release_test.py   (from the test command, once the windows and native presets are built)
Runs scripts/check-reproducible.sh and scripts/make-release.sh (sample images).
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build")
RELEASE = os.path.join(BUILD, "release")
NATIVE = os.path.join(BUILD, "native", "FwUpgrade")
IMAGE_DIR = os.path.join(BUILD, "native", "sample-firmware")
NAMES = ("K482915_MCU_61_1_04.hex", "K482915_TX_XC7A75_1_04.mcs", "K482915_RX_XC7A75_1_04.mcs")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def versions(version_text):
    """(program version, carried firmware version) as --version prints them."""
    program = re.match(r"FwUpgrade (\S+)\n", version_text).group(1)
    firmware = re.search(r"^Firmware carried: (\S+)$", version_text, re.M).group(1)
    return program, firmware


def drop_ins(text, indent):
    """The drop-ins a README gives to `systemctl edit fwupgrade-station`: the lines after it that
    begin with indent, each block without it."""
    blocks, block = [], None
    for line in text.splitlines():
        if block is not None and line.startswith(indent):
            block.append(line[len(indent):])
            continue
        if block:
            blocks.append("\n".join(block) + "\n")
        block = [] if line.strip().startswith("sudo systemctl edit fwupgrade-station") else None
    return blocks + (["\n".join(block) + "\n"] if block else [])


def sums(text):
    """{name: sha256} of a text in sha256sum's format."""
    return {name: digest for digest, name in (line.split("  ", 1) for line in text.splitlines())}


class Reproducible(unittest.TestCase):
    def test_two_builds_in_two_folders_give_identical_programs(self):
        # The presets' own builds are the first ones: each program is built once more, elsewhere.
        result = run([os.path.join(ROOT, "scripts", "check-reproducible.sh"), "--against-checkout", "windows", "native"])
        print(result.stdout[-1200:])
        self.assertEqual(result.returncode, 0, result.stdout[-3000:] + result.stderr[-2000:])
        self.assertEqual(result.stdout.count("\nidentical\n"), 2)


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        result = run([os.path.join(ROOT, "scripts", "make-release.sh")])
        assert result.returncode == 0, result.stdout + result.stderr
        cls.program, cls.firmware = versions(run([NATIVE, "--version"], check=True).stdout)
        cls.version = "%s+fw%s~sample" % (cls.program, cls.firmware)
        cls.images = {name: sha256(os.path.join(IMAGE_DIR, name)) for name in NAMES}
        cls.zip = os.path.join(RELEASE, "FwUpgrade-%s-windows-x64.zip" % cls.version)
        cls.deb = os.path.join(RELEASE, "fwupgrade_%s_amd64.deb" % cls.version)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="fwupgrade-release-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def test_zip_holds_the_program_a_readme_the_images_and_the_sums_of_all(self):
        top = "FwUpgrade-%s-windows-x64/" % self.version
        with zipfile.ZipFile(self.zip) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             [top + n for n in ("FwUpgrade.exe", "IMAGES-SHA256.txt", "README.txt", "SHA256SUMS")])
            archive.extractall(self.tmp)
        folder = os.path.join(self.tmp, top)
        with open(os.path.join(folder, "FwUpgrade.exe"), "rb") as f, \
                open(os.path.join(BUILD, "windows", "FwUpgrade.exe"), "rb") as built:
            self.assertTrue(f.read() == built.read(), "the zip's program is the build's")
        with open(os.path.join(folder, "SHA256SUMS")) as f:
            self.assertEqual(sums(f.read()), {n: sha256(os.path.join(folder, n))
                                              for n in ("FwUpgrade.exe", "README.txt", "IMAGES-SHA256.txt")})
        with open(os.path.join(folder, "IMAGES-SHA256.txt")) as f:
            self.assertEqual(sums(f.read()), self.images)
        with open(os.path.join(folder, "README.txt"), newline="") as f:
            self.assertTrue(f.read().startswith("FwUpgrade %s for Windows, carrying firmware %s (SAMPLE"
                                                % (self.program, self.firmware)))

    def test_deb_metadata_names_both_versions_the_libraries_and_the_dialout_group(self):
        fields = {name: run(["dpkg-deb", "-f", self.deb, name], check=True).stdout.strip()
                  for name in ("Package", "Version", "Architecture", "Depends", "Description")}
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]),
                         ("fwupgrade", self.version, "amd64"))
        self.assertRegex(fields["Depends"], r"^libc6 \(>= [\d.]+\), .*libstdc\+\+6")
        self.assertIn("FwUpgrade %s " % self.program, fields["Description"])
        self.assertIn("firmware %s " % self.firmware, fields["Description"])
        self.assertIn("dialout group", fields["Description"])
        self.assertIn("Version: " + self.version, run(["dpkg-deb", "-I", self.deb], check=True).stdout)

    def test_deb_unpacked_into_a_fresh_root_runs_and_names_its_images(self):
        listing = run(["dpkg-deb", "-c", self.deb], check=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        self.assertEqual(files, ["./lib/systemd/system/fwupgrade-station.service",
                                 "./usr/bin/FwUpgrade", "./usr/share/doc/fwupgrade/IMAGES-SHA256.txt",
                                 "./usr/share/doc/fwupgrade/README.txt", "./usr/share/man/man1/FwUpgrade.1.gz"])
        run(["dpkg", "-x", self.deb, self.tmp], check=True)
        program = os.path.join(self.tmp, "usr", "bin", "FwUpgrade")
        text = run([program, "--version"], check=True).stdout
        self.assertEqual(versions(text), (self.program, self.firmware))
        self.assertEqual(re.findall(r"^  SHA-256: (\w+)$", text, re.M), [self.images[n] for n in NAMES])
        man = run(["zcat", os.path.join(self.tmp, "usr", "share", "man", "man1", "FwUpgrade.1.gz")], check=True).stdout
        for words in ["dialout", "\\-\\-write\\-image", ".TP\n130\nstopped"] + list(self.images.values()):
            self.assertIn(words, man)
        with open(os.path.join(self.tmp, "usr", "share", "doc", "fwupgrade", "README.txt")) as f:
            readme = f.read()
        self.assertIn("sudo adduser USER dialout", readme)
        self.assertIn("systemctl edit fwupgrade-station", readme)
        # A run's report and log name the same images and versions.
        report, log = os.path.join(self.tmp, "r.json"), os.path.join(self.tmp, "r.log")
        run([program, "--info", "--ports", "/dev/null", "--no-pause", "--report", report, "--log", log], cwd=self.tmp)
        with open(report) as f:
            document = json.load(f)
        self.assertEqual((document["program"]["version"], document["firmware"]["version"]), (self.program, self.firmware))
        self.assertEqual([(c["file"], c["sha256"]) for c in document["firmware"]["carried"]],
                         [(n, self.images[n]) for n in NAMES])
        with open(log) as f:
            self.assertEqual(len(re.findall(r" image (mcu|tx|rx) carried: \S+, sha256 [0-9a-f]{64}, ", f.read())), 3)

    def test_deb_station_service_passes_systemd_analyze_verify_and_is_not_enabled(self):
        run(["dpkg", "-x", self.deb, self.tmp], check=True)
        # The units it names (targets, the journal's socket) are this machine's systemd's; its
        # program and man page are the package's.
        shutil.copytree("/usr/lib/systemd/system", os.path.join(self.tmp, "usr", "lib", "systemd", "system"),
                        symlinks=True, dirs_exist_ok=True)
        unit = "/lib/systemd/system/fwupgrade-station.service"
        verify = lambda: run(["systemd-analyze", "verify", "--root=" + self.tmp, unit],
                             env=dict(os.environ, MANPATH=os.path.join(self.tmp, "usr", "share", "man")))
        result = verify()
        # A key it does not know or a value it cannot parse is only a warning there: nothing may be said.
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        # With each drop-in the READMEs give (the ports named; the plant's database's string handed
        # over as a credential, which the unit's own user may read where root's file it may not).
        with open(os.path.join(self.tmp, "usr", "share", "doc", "fwupgrade", "README.txt")) as f:
            blocks = drop_ins(f.read(), " " * 6)
        with open(os.path.join(ROOT, "README.md")) as f:
            blocks += drop_ins(f.read(), "#   ")
        self.assertEqual(len(blocks), 4)
        self.assertEqual(sum("LoadCredential=records-db:/etc/fwupgrade/records-db\n" in b and
                             " --records-db @%d/records-db\n" in b for b in blocks), 2)
        folder = os.path.join(self.tmp, "etc", "systemd", "system", "fwupgrade-station.service.d")
        os.makedirs(folder)
        for block in blocks:
            with open(os.path.join(folder, "override.conf"), "w") as f:
                f.write(block)
            with self.subTest(block):
                result = verify()
                self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        with open(self.tmp + unit) as f:
            lines = f.read().splitlines()
        for line in ("ExecStart=/usr/bin/FwUpgrade --station --no-pause --log-dir /var/lib/fwupgrade/station",
                     "StateDirectory=fwupgrade", "SupplementaryGroups=dialout", "KillMode=mixed",
                     "StandardOutput=journal", "Restart=on-abnormal", "WantedBy=multi-user.target"):
            self.assertIn(line, lines)
        # Long enough for the drain of a whole update at the release timings (410 s at worst).
        [timeout] = [int(l.split("=")[1]) for l in lines if l.startswith("TimeoutStopSec=")]
        self.assertGreaterEqual(timeout, 410)
        # Installing it enables nothing: no maintainer script.
        self.assertNotRegex(run(["dpkg-deb", "-I", self.deb], check=True).stdout, r"\b(postinst|preinst|prerm|postrm)\b")


class FirmwareDir(unittest.TestCase):
    """A release build from a folder of images it cannot carry stops, naming the file."""

    def break_line(self, folder):
        path = os.path.join(folder, NAMES[1])
        with open(path, "rb") as f:
            lines = f.read().split(b"\r\n")
        lines[99] = lines[99][:-2] + (b"00" if lines[99][-2:] != b"00" else b"01")  # a wrong checksum
        with open(path, "wb") as f:
            f.write(b"\r\n".join(lines))

    def test_missing_or_broken_image_fails_configure_or_build_with_its_name(self):
        cases = [("missing", lambda d: os.remove(os.path.join(d, NAMES[0])), "configure",
                  NAMES[0]),
                 ("broken line", self.break_line, "build",
                  NAMES[1] + ":100: not a usable Intel HEX image: checksum")]
        for name, spoil, stage, message in cases:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="fwupgrade-firmware-") as tmp:
                images, build = os.path.join(tmp, "images"), os.path.join(tmp, "build")
                subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make_sample_images.py"), images], check=True)
                spoil(images)
                configure = run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                 "-DFWUPGRADE_TESTS=OFF", "-DFIRMWARE_DIR=" + images])
                if stage == "configure":
                    self.assertNotEqual(configure.returncode, 0)
                    self.assertIn(message, configure.stderr)
                    continue
                self.assertEqual(configure.returncode, 0, configure.stderr)
                built = run(["cmake", "--build", build, "-j2", "--target", "FwUpgrade"])
                self.assertNotEqual(built.returncode, 0)
                self.assertIn(message, built.stdout + built.stderr)
                self.assertFalse(os.path.exists(os.path.join(build, "FwUpgrade")))


if __name__ == "__main__":
    unittest.main(verbosity=2)

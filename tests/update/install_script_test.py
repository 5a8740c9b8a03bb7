"""scripts/install against real releases of scripts/release, in a sandboxed HOME.

Needs VANTREL_BUILD_DIR: a build folder whose `bundle` target is built (the releases reuse it).
"""

import fcntl
import hashlib
import io
import os
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
INSTALL = os.path.join(CHECKOUT, "scripts", "install")
RELEASE = os.path.join(CHECKOUT, "scripts", "release")
INFO = "VantrelAgent/Info.json"


def run(command, **options):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          **options)


def snapshot(folder):
    """Every entry of a tree with its type, mode and content, and the tree's own inode."""
    entries = {".": os.lstat(folder).st_ino}
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            content = os.readlink(path) if os.path.islink(path) else None
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as file:
                    content = hashlib.sha256(file.read()).hexdigest()
            entries[os.path.relpath(path, folder)] = (info.st_mode, content)
    return entries


def add_bytes(tar, name, data, mode=0o444):
    info = tarfile.TarInfo(name)
    info.size, info.mode = len(data), mode
    tar.addfile(info, io.BytesIO(data))


def read_lines(*path):
    with open(os.path.join(*path), encoding="utf-8") as file:
        return file.read().splitlines()


class InstallScriptTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        build = os.environ.get("VANTREL_BUILD_DIR", "")
        if not os.path.isfile(os.path.join(build, "VantrelAgent", "bin", "VantrelAgent")):
            raise RuntimeError("VANTREL_BUILD_DIR must name a build folder with a built bundle")
        cls.work = tempfile.TemporaryDirectory(prefix="vantrel-install-test-")
        cls.dir = cls.work.name
        cls.build = build
        # In parallel: each release spends seconds compressing.
        cls.v1, cls.v2, cls.foreign = cls.releases(("1.0", "ours"), ("2.0", "ours"), ("2.0", "theirs"))
        cls.changed = cls.rewrite(cls.v2, "changed",
                                  replace={INFO: b'{"CFBundleShortVersionString": "9.0"}\n'})
        cls.added = cls.rewrite(cls.v2, "added",
                                extra={"VantrelAgent/Resources/extra.txt": b"x\n"})

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    @classmethod
    def releases(cls, *versions_and_signers):
        for signer in {signer for _, signer in versions_and_signers}:
            key = os.path.join(cls.dir, signer)
            subprocess.run(["/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", signer,
                            "-f", key], check=True)
            with open(key + ".pub", encoding="utf-8") as public, open(key + ".signers", "w") as out:
                out.write(f'QK4TR8MZ2V namespaces="vantrel-release" {public.read()}')
        running, archives = [], []
        for version, signer in versions_and_signers:
            key, out = os.path.join(cls.dir, signer), os.path.join(cls.dir, f"{signer}-{version}")
            running.append(subprocess.Popen(
                [RELEASE, "--version", version, "--key", key, "--signers", key + ".signers",
                 "--base-url", "http://127.0.0.1:1/r", "--out", out],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                env=dict(os.environ, VANTREL_RELEASE_PREBUILT=cls.build)))
            archives.append(os.path.join(out, f"VantrelAgent-{version}.tar.gz"))
        for release in running:
            _, errors = release.communicate()
            assert release.returncode == 0, errors
        return archives

    @classmethod
    def rewrite(cls, archive, name, replace=None, extra=None):
        """A copy of a signed archive with files changed or added after signing."""
        out = os.path.join(cls.dir, f"{name}.tar.gz")
        with tarfile.open(archive, "r:gz") as source, \
                tarfile.open(out, "w:gz", compresslevel=0, format=tarfile.PAX_FORMAT) as copy:
            for member in source:
                if member.name in (replace or {}):
                    add_bytes(copy, member.name, replace[member.name])
                else:
                    copy.addfile(member, source.extractfile(member) if member.isreg() else None)
            for extra_name, data in (extra or {}).items():
                add_bytes(copy, extra_name, data)
        return out

    def setUp(self):
        sandbox = tempfile.TemporaryDirectory(prefix="vantrel-install-home-", dir=self.dir)
        self.addCleanup(sandbox.cleanup)
        # A space and a quote, so that the desktop entry must quote its Exec path.
        self.home = os.path.join(sandbox.name, "home of o'neil")
        os.makedirs(self.home)
        self.env = {key: value for key, value in os.environ.items() if key != "XDG_DATA_HOME"}
        self.env["HOME"] = self.home
        self.env["XDG_RUNTIME_DIR"] = os.path.join(sandbox.name, "run")
        self.opt = os.path.join(self.home, ".local", "opt")
        self.live = os.path.join(self.opt, "VantrelAgent")
        self.data = os.path.join(self.home, ".local", "share")

    def install(self, archive):
        return run([INSTALL, archive], env=self.env, cwd=self.home)

    def installed(self, archive):
        result = self.install(archive)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, self.live + "\n")
        self.assertEqual(os.listdir(self.opt), ["VantrelAgent"])

    def version(self):
        with open(os.path.join(self.live, "Info.json"), encoding="utf-8") as info:
            return info.read()

    def assertRefused(self, archive, message):
        before = snapshot(self.live) if os.path.exists(self.live) else None
        result = self.install(archive)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(message, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertEqual(snapshot(self.live) if os.path.exists(self.live) else None, before)
        leftovers = os.listdir(self.opt) if os.path.exists(self.opt) else []
        self.assertEqual(leftovers, ["VantrelAgent"] if before else [])

    def test_first_install_has_a_launcher_and_a_user_unit_that_run_it(self):
        self.installed(self.v1)
        self.assertIn('"1.0"', self.version())
        executable = os.path.join(self.live, "bin", "VantrelAgent")
        entry = read_lines(self.data, "applications", "vantrel-agent.desktop")
        self.assertEqual(entry[0], "[Desktop Entry]")
        for line in ("Type=Application", "Name=Vantrel Agent", "Icon=vantrel-agent",
                     f'Exec="{executable}"'):
            self.assertIn(line, entry)
        self.assertEqual(run(shlex.split(f'"{executable}"') + ["--help"], env=self.env).returncode, 0)
        icons = os.path.join(self.data, "icons", "hicolor", "64x64", "apps")
        self.assertEqual(os.listdir(icons), ["vantrel-agent.png"])
        with open(os.path.join(icons, "vantrel-agent.png"), "rb") as installed, \
                open(os.path.join(self.build, "VantrelAgent", "Resources", "menubar.png"), "rb") as built:
            self.assertEqual(installed.read(), built.read())
        unit = os.path.join(self.data, "systemd", "user", "vantrel-agent.service")
        # This home has a quote, which systemd refuses in an executable's path.
        for line in (f"ExecStart=/bin/sh -c 'exec \"$$0\" --headless' \"{executable}\"",
                     "Restart=on-failure", "KillMode=control-group", "WantedBy=default.target"):
            self.assertIn(line, read_lines(unit))
        if shutil.which("systemd-analyze"):
            verified = run(["systemd-analyze", "verify", "--user", unit], env=self.env)
            self.assertNotIn("vantrel-agent.service:", verified.stderr)

    def test_only_a_release_of_the_same_signers_replaces_an_install(self):
        self.installed(self.v1)
        self.assertRefused(self.foreign, "wrong signer")
        self.installed(self.v2)
        self.assertIn('"2.0"', self.version())
        # Any signer's release installs afresh, its launcher in the XDG data folder.
        shutil.rmtree(os.path.join(self.home, ".local"))
        self.env["XDG_DATA_HOME"] = os.path.join(self.home, "data")
        self.installed(self.foreign)
        self.assertTrue(os.path.isfile(os.path.join(self.home, "data", "applications",
                                                    "vantrel-agent.desktop")))
        self.assertFalse(os.path.exists(self.data))

    def test_refusals_change_nothing_and_say_why(self):
        garbage = self.archive_of(b"not an archive")
        with open(self.v1, "rb") as whole:
            truncated = self.archive_of(whole.read(os.path.getsize(self.v1) // 2), "truncated")
        missing = os.path.join(self.home, "missing.tar.gz")
        # archive, message, whether 1.0 is installed first; a first install checks the archive
        # against its own signers, and some faults show only while unpacking over an install.
        cases = [(self.changed, "does not match its signed file list", False),
                 (self.changed, "does not match its signed file list", True),
                 (self.added, "does not match its signed file list", True),
                 (missing, "no readable archive", False), (missing, "no readable archive", True),
                 (garbage, "not a readable .tar.gz", False), (garbage, "not a readable .tar.gz", True),
                 (truncated, "cannot be read", True)]
        for archive, message, upgrade in cases:
            with self.subTest(archive=os.path.basename(archive), upgrade=upgrade):
                if upgrade:
                    self.installed(self.v1)
                self.assertRefused(archive, message)
                shutil.rmtree(os.path.join(self.home, ".local"), ignore_errors=True)

    def test_unsafe_members_are_refused_before_anything_is_written(self):
        f, l, h = "file", tarfile.SYMTYPE, tarfile.LNKTYPE
        unsafe = {
            "parent": [(f, "../evil")], "parent inside": [(f, "VantrelAgent/../../evil")],
            "absolute": [(f, os.path.join(self.home, "evil"))], "other folder": [(f, "Other/evil")],
            "link out": [(l, "VantrelAgent/evil", "../../x")],
            "absolute link": [(l, "VantrelAgent/evil", "/etc")],
            "hard link": [(h, "VantrelAgent/evil", INFO)],
            "fifo": [(tarfile.FIFOTYPE, "VantrelAgent/evil")],
            "device": [(tarfile.CHRTYPE, "VantrelAgent/evil")],
            "behind a link": [(l, "VantrelAgent/l", "Resources"), (f, "VantrelAgent/l/evil")],
            "trailing slash": [(l, "VantrelAgent/a/", "../../x")],
            "through a link": [(l, "VantrelAgent/x", "."), (l, "VantrelAgent/y", "x/x/x/../..")],
            "twice": [(f, INFO)],
        }
        for name, members in unsafe.items():
            with self.subTest(member=name):
                archive = os.path.join(self.home, "unsafe.tar.gz")
                with tarfile.open(archive, "w:gz") as tar:
                    for kind, member, *target in [(tarfile.DIRTYPE, "VantrelAgent"), (f, INFO)] + members:
                        if kind == f:
                            add_bytes(tar, member, b"{}")
                        else:
                            info = tarfile.TarInfo(member)
                            info.type, info.linkname, info.mode = kind, "".join(target), 0o755
                            tar.addfile(info)
                self.assertRefused(archive, "unsafe member")
                for place in (os.path.join(self.home, ".local"), os.path.join(self.home, "evil"),
                              os.path.join(os.path.dirname(self.home), "evil")):
                    self.assertFalse(os.path.lexists(place))

    def test_a_running_copy_or_a_missing_tool_is_refused_before_anything_is_created(self):
        os.makedirs(self.env["XDG_RUNTIME_DIR"])
        with open(os.path.join(self.env["XDG_RUNTIME_DIR"], "vantrel-agent.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self.assertRefused(self.v1, "Vantrel Agent is running")
        tools = os.path.join(self.home, "bin")
        os.makedirs(tools)
        os.symlink(sys.executable, os.path.join(tools, "python3"))
        self.env["PATH"] = tools
        self.assertRefused(self.v1, "missing ssh-keygen")
        self.assertFalse(os.path.exists(os.path.join(self.home, ".local")))

    def test_an_interrupted_swap_is_finished_or_undone_keeping_the_installed_signers(self):
        # The old swap's two renames, cut between them: no bundle at the install path.
        self.installed(self.v1)
        os.rename(self.live, os.path.join(self.opt, ".VantrelAgent-previous"))
        result = self.install(self.foreign)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("wrong signer", result.stderr)
        self.assertIn('"1.0"', self.version())
        self.assertEqual(os.listdir(self.opt), ["VantrelAgent"])
        # A complete staged 2.0, cut before its exchange: finished, then replaced again.
        staged = os.path.join(self.opt, ".VantrelAgent-incoming")
        shutil.copytree(self.live, staged, symlinks=True)
        with open(os.path.join(staged, "Info.json"), "w") as info:
            info.write('{"CFBundleShortVersionString": "2.0"}')
        with open(staged + ".version", "w") as marker:
            marker.write("2.0")
        self.installed(self.v2)
        self.assertIn('"2.0"', self.version())

    def archive_of(self, data, name="garbage"):
        path = os.path.join(self.home, f"{name}.tar.gz")
        with open(path, "wb") as file:
            file.write(data)
        return path


if __name__ == "__main__":
    unittest.main()

"""The rules a release is made and checked by, in one place: scripts/release writes releases by
them, scripts/install checks them (the installer a release carries has this module written into
it), and scripts/deb assembles its packages by them."""

import hashlib
import os
import stat
import tempfile

BUNDLE = "VantrelAgent"
# Who signs releases, and for what: `ssh-keygen -Y sign/verify`'s principal and namespace.
PRINCIPAL = "QK4TR8MZ2V"
NAMESPACE = "vantrel-release"
# Every entry of the bundle with its SHA-256 and mode, the signature over that list, and the
# signers a copy accepts its updates from.
FILE_LIST = "Resources/release-files.json"
SIGNATURE = FILE_LIST + ".sig"
SIGNERS = "Resources/release-signers"
# Info.json's key naming the architecture a release runs on, the machines' names for them, and the
# ELF header's.
ARCHITECTURE_KEY = "VantrelArchitecture"
MACHINE_ARCHITECTURES = {"x86_64": "amd64", "aarch64": "arm64"}
ELF_ARCHITECTURES = {62: "amd64", 183: "arm64"}


class LinkLeaves(ValueError):
    """A link of the bundle whose target lies outside it."""


def link_stays_inside(link, root):
    """Whether a relative link's target, resolved, lies inside `root`."""
    target = os.readlink(link)
    if os.path.isabs(target):
        return False
    resolved = os.path.realpath(os.path.join(os.path.dirname(link), target))
    return os.path.commonpath([resolved, os.path.realpath(root)]) == os.path.realpath(root)


def describe(bundle):
    """The bundle as the signed list records it: files by SHA-256 and mode, folders, and links by
    target; raises LinkLeaves for a link that leaves the bundle."""
    entries = {}
    for parent, folders, files in os.walk(bundle):
        for name in folders + files:
            path = os.path.join(parent, name)
            relative = os.path.relpath(path, bundle)
            if relative in (FILE_LIST, SIGNATURE):
                continue
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                if not link_stays_inside(path, bundle):
                    raise LinkLeaves(f"{relative}: a link that leaves the bundle")
                entries[relative] = {"type": "link", "target": os.readlink(path)}
            elif stat.S_ISDIR(info.st_mode):
                entries[relative] = {"type": "dir"}
            else:
                with open(path, "rb") as file:
                    digest = hashlib.file_digest(file, "sha256").hexdigest()
                entries[relative] = {"type": "file", "mode": f"{info.st_mode & 0o7777:04o}",
                                     "sha256": digest}
    return entries


def write_whole(path, write):
    """Writes through a temporary name beside `path` (made if missing), synced, then renamed into
    place: a reader sees the old file or the new one, never a part."""
    folder, name = os.path.split(path)
    os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise

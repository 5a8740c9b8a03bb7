"""The package's own apt source: a deb822 file naming the project's signed repository and the
keyring that signs it, so that the package manager updates the packages from there.

The repository base and its keyring are build settings. A build without them names the loopback
test repository (http://127.0.0.1:8791/debian) and the tests' own key, so that no test build ever
points at a production host; a release build passes the production base and the signer's public
keyring (VANTREL_APT_BASE, VANTREL_APT_KEYRING for scripts/deb).
"""

import os

CHECKOUT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
LOOPBACK_BASE = "http://127.0.0.1:8791/debian"
TEST_KEYRING = os.path.join(CHECKOUT, "tests", "package", "apt-test-keyring.gpg")
SOURCES = "etc/apt/sources.list.d/vantrel-agent.sources"
KEYRING = "usr/share/keyrings/vantrel-agent.gpg"
PACKAGE = "vantrel-agent"
# A vendor's package adding its own repository is the point here, not a mistake.
OVERRIDES = (f"usr/share/lintian/overrides/{PACKAGE}",
             "# The package manager updates this package from the project's own repository.\n"
             f"{PACKAGE}: package-installs-apt-sources [{SOURCES}]\n"
             "# apt's Signed-By takes a binary keyring, which Debian's own keyrings name .gpg too.\n"
             f"{PACKAGE}: openpgp-file-has-implementation-specific-extension [{KEYRING}]\n")
COMPONENT = "main"


def sources(base, suite):
    """The deb822 source: one suite of one repository, trusted only with its own keyring."""
    return (f"Types: deb\nURIs: {base}\nSuites: {suite}\nComponents: {COMPONENT}\n"
            f"Signed-By: /{KEYRING}\n")


def stage(root, suite, base=None, keyring=None):
    """Writes the source, the keyring and lintian's note under the package root `root` of the
    package vantrel-agent; returns the conffiles
    (dpkg removes them on purge, and keeps a user's edit of the source across upgrades)."""
    base = base or LOOPBACK_BASE
    with open(keyring or TEST_KEYRING, "rb") as file:
        key = file.read()
    # The package's other overrides may be there already: lintian's note is added to them.
    for relative, data, mode in ((SOURCES, sources(base, suite).encode("utf-8"), "wb"),
                                 (KEYRING, key, "wb"),
                                 (OVERRIDES[0], OVERRIDES[1].encode("utf-8"), "ab")):
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
        with open(path, mode) as out:
            out.write(data)
        os.chmod(path, 0o644)
    return [f"/{SOURCES}"]


def build_suite():
    """The Debian release the package is built in, which its source names."""
    with open("/etc/os-release", encoding="utf-8") as release:
        for line in release:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    raise OSError("/etc/os-release names no VERSION_CODENAME")

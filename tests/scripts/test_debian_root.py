# SPDX-License-Identifier: GPL-2.0-or-later
"""scripts/debian-root.sh never deletes what is mounted into a root, nor a folder it did not make."""
import fcntl
import os
import subprocess
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(ROOT, "scripts", "debian-root.sh")


@unittest.skipUnless(os.geteuid() == 0, "mounting needs root")
class RootRemoval(unittest.TestCase):
    def setUp(self):
        self.cache = tempfile.mkdtemp(prefix="orvane-roots-")
        self.addCleanup(subprocess.run, ["rm", "-rf", "--one-file-system", self.cache])
        self.root = os.path.join(self.cache, "trixie")
        # What a killed run leaves: the project (here a stand-in checkout) bind-mounted inside the root.
        self.checkout = tempfile.mkdtemp(prefix="orvane-checkout-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.checkout])
        with open(os.path.join(self.checkout, "precious"), "w") as precious:
            precious.write("work\n")
        self.inside = os.path.join(self.root, self.checkout.lstrip("/"))
        os.makedirs(self.inside)
        subprocess.run(["mount", "--bind", self.checkout, self.inside], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", self.inside], stderr=subprocess.DEVNULL)

    def remove(self):
        return subprocess.run([SCRIPT, "trixie", "--remove"], env=dict(os.environ, ORVANE_ROOTS=self.cache),
                              capture_output=True, text=True)

    def test_a_stamped_root_goes_and_what_was_mounted_in_it_stays(self):
        with open(os.path.join(self.root, ".orvane-root"), "w") as stamp:
            stamp.write("an old package list\n")
        outcome = self.remove()
        self.assertEqual(outcome.returncode, 0, outcome.stderr)
        self.assertFalse(os.path.exists(self.root))
        with open(os.path.join(self.checkout, "precious")) as precious:
            self.assertEqual(precious.read(), "work\n")

    def test_removal_waits_for_a_run_in_the_root(self):
        with open(os.path.join(self.root, ".orvane-root"), "w") as stamp:
            stamp.write("an old package list\n")
        subprocess.run(["umount", self.inside], check=True)
        # A run holds the root's use lock while it may bind the checkout in, as scripts/in-root.sh does.
        with open(os.path.join(self.cache, ".trixie.in-use"), "w") as in_use:
            fcntl.flock(in_use, fcntl.LOCK_SH)
            removal = subprocess.Popen([SCRIPT, "trixie", "--remove"], env=dict(os.environ, ORVANE_ROOTS=self.cache))
            time.sleep(1)
            subprocess.run(["mount", "--bind", self.checkout, self.inside], check=True)
            self.assertIsNone(removal.poll(), "removed while a run held the root")
            subprocess.run(["umount", self.inside], check=True)
        self.assertEqual(removal.wait(timeout=30), 0)
        self.assertFalse(os.path.exists(self.root))
        with open(os.path.join(self.checkout, "precious")) as precious:
            self.assertEqual(precious.read(), "work\n")

    def test_a_folder_without_the_stamp_is_refused_and_kept(self):
        outcome = self.remove()
        self.assertNotEqual(outcome.returncode, 0)
        self.assertIn("has no .orvane-root stamp: not deleting it", outcome.stderr)
        self.assertTrue(os.path.exists(os.path.join(self.inside, "precious")))


if __name__ == "__main__":
    unittest.main()

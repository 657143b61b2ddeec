# SPDX-License-Identifier: GPL-2.0-or-later
"""Installing as a streamer does: the Debian package with apt into OBS's system plug-in folders, and the
per-user install script; each loads in the release's OBS, and removing it leaves nothing behind.
Needs the package built (ORVANE_DEB, from scripts/package.sh) and root for apt; the test command runs the
package's case in a root of its release that has only OBS."""
import os
import re
import shutil
import subprocess
import unittest

from obs_harness import ROOT, ObsRun, closed_port, obs_version, raw_exchange

DEB = os.environ.get("ORVANE_DEB", "")
INSTALL = os.path.join(ROOT, "scripts", "install.sh")


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake:
        return re.search(r"project\(orvane VERSION ([0-9.]+)", cmake.read()).group(1)


def package_version():
    """The changelog's newest version, that the release's name follows (1.0.0+1~deb13)."""
    with open(os.path.join(ROOT, "debian", "changelog")) as changelog:
        return re.match(r"obs-orvane \(([^)]+)\)", changelog.readline()).group(1)


def scratch_obs():
    """An OBS run whose HOME has no per-user Orvane plug-in."""
    return ObsRun(env={"ORVANE_CLOUD_URL": "http://127.0.0.1:%d" % closed_port()}, install_module=False)


def apt(*arguments):
    subprocess.run(["apt-get", "-y", "-q", "-o", "Dpkg::Use-Pty=0", *arguments], check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)


def loads_and_serves(test, run):
    """OBS loads the module (from wherever it was installed: the run has no other copy) and it serves."""
    test.addCleanup(run.stop)
    run.start()
    port = run.dock_port()
    test.assertEqual(run.log().count("[orvane] loaded (version %s)" % project_version()), 1)
    test.assertTrue(raw_exchange(port, b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
                    .startswith(b"HTTP/1.1 200 OK"))
    test.assertIn("[orvane] Orvane dock: showing the page in its own web view", run.log())
    test.assertEqual(run.stop(), 0)


@unittest.skipUnless(DEB and os.geteuid() == 0, "needs the package (ORVANE_DEB) and root for apt")
class DebianPackage(unittest.TestCase):
    def test_package_fields_and_files(self):
        info = subprocess.run(["dpkg-deb", "--info", DEB], capture_output=True, text=True, check=True).stdout
        self.assertRegex(info, r"Package: obs-orvane\n")
        self.assertRegex(info, r"Version: %s~(deb12|deb13|sid)\n" % re.escape(package_version()))
        major = obs_version()[0]
        self.assertRegex(info, r"Depends: libc6 .*libobs0(t64)? .*obs-studio \(>= %d\), obs-studio \(<< %d\)\n"
                         % (major, major + 1))
        self.assertRegex(info, r"Recommends: .*libqt[56]webenginewidgets")
        contents = subprocess.run(["dpkg-deb", "--contents", DEB], capture_output=True, text=True,
                                  check=True).stdout
        for path in ("./usr/lib/x86_64-linux-gnu/obs-plugins/orvane.so",
                     "./usr/lib/x86_64-linux-gnu/obs-plugins/orvane/orvane-webview.so",
                     "./usr/share/obs/obs-plugins/orvane/locale/en-US.ini",
                     "./usr/share/doc/obs-orvane/copyright"):
            self.assertIn(path, contents)

    def test_installs_loads_from_the_system_folder_and_removes_cleanly(self):
        # apt brings what the package recommends: the Qt WebEngine that shows the page in the dock.
        apt("install", os.path.abspath(DEB))
        self.addCleanup(subprocess.run, ["dpkg", "-r", "obs-orvane"], stdout=subprocess.DEVNULL)
        files = [line for line in subprocess.run(["dpkg", "-L", "obs-orvane"], capture_output=True, text=True,
                                                 check=True).stdout.splitlines() if "orvane" in line]
        loads_and_serves(self, scratch_obs())

        apt("remove", "obs-orvane")
        self.assertEqual([path for path in files if os.path.exists(path)], [])


@unittest.skipUnless(shutil.which("obs"), "needs an installed OBS")
class PerUserInstall(unittest.TestCase):
    def test_install_uninstall_and_purge(self):
        run = scratch_obs()
        env = dict(os.environ, HOME=run.home)
        env.pop("XDG_CONFIG_HOME", None)
        plugin = os.path.join(run.config_dir, "plugins", "orvane")
        settings = run.plugin_config()

        subprocess.run([INSTALL], env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(os.path.isfile(os.path.join(plugin, "bin", "64bit", "orvane.so")))
        self.assertTrue(os.path.isfile(os.path.join(plugin, "bin", "64bit", "orvane-webview.so")))
        refused = subprocess.run([INSTALL, "--qt", "6"], env=env, capture_output=True, text=True)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("uses Qt 5", refused.stderr)

        loads_and_serves(self, run)
        run.start()
        run.dock_port()
        busy = subprocess.run([INSTALL, "--uninstall"], env=env, capture_output=True, text=True)
        self.assertEqual(busy.returncode, 1)
        self.assertIn("OBS is running", busy.stderr)
        self.assertEqual(run.stop(), 0)

        subprocess.run([INSTALL, "--uninstall"], env=env, check=True, stdout=subprocess.DEVNULL)
        self.assertFalse(os.path.exists(plugin))
        self.assertTrue(os.path.isdir(settings), "uninstall keeps the settings")
        purge = subprocess.run([INSTALL, "--purge"], env=env, check=True, capture_output=True, text=True)
        self.assertIn("signs you out", purge.stdout)
        self.assertFalse(os.path.exists(settings))


class BuildPackages(unittest.TestCase):
    def test_refuses_a_system_it_does_not_know(self):
        with open(os.path.join(ROOT, "build", "os-release-elsewhere"), "w") as os_release:
            os_release.write('NAME="Fedora Linux"\nID=fedora\nVERSION_ID=41\n')
        refused = subprocess.run([os.path.join(ROOT, "scripts", "build-deps.sh"), "6"], capture_output=True, text=True,
                                 env=dict(os.environ, ORVANE_OS_RELEASE=os_release.name))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("this system (fedora) is none of them", refused.stderr)


if __name__ == "__main__":
    unittest.main()

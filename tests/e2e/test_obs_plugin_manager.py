# SPDX-License-Identifier: GPL-2.0-or-later
"""OBS 32's plug-in manager lists the module by its name and version, and can turn it off and on."""
import json
import os
import unittest

from obs_harness import ObsRun, obs_version, wait_until


@unittest.skipUnless(obs_version() >= (32, 0, 0), "OBS before 32 has no plug-in manager")
class PluginManager(unittest.TestCase):
    def test_listed_as_orvane_and_turned_off_and_on_there(self):
        obs = ObsRun()
        self.addCleanup(obs.stop)
        os.makedirs(obs.plugin_config(), exist_ok=True)
        with open(obs.plugin_config("account.json"), "w") as account:
            json.dump({"token": "signed-in-token"}, account)
        modules_file = os.path.join(obs.config_dir, "plugin_manager", "modules.json")

        def modules():
            with open(modules_file) as listing:
                return {entry["module_name"]: entry for entry in json.load(listing)}

        obs.start()
        obs.dock_port()
        wait_until(lambda: os.path.exists(modules_file) and "orvane" in modules(), what="OBS to list its modules")
        self.assertEqual(obs.stop(), 0)
        entry = modules()["orvane"]
        self.assertEqual((entry["display_name"], entry["version"], entry["enabled"]), ("Orvane", "1.0.0", True))

        # Turned off there: OBS starts without it, and the streamer's settings and sign-in stay.
        listing = [dict(module, enabled=name != "orvane") for name, module in modules().items()]
        with open(modules_file, "w") as changed:
            json.dump(listing, changed)
        obs.start()
        obs.wait_for_log(r"Startup complete")
        self.assertEqual(obs.stop(), 0)
        self.assertNotIn("[orvane]", obs.log())
        self.assertTrue(os.path.exists(obs.plugin_config("account.json")))

        listing = [dict(module, enabled=True) for module in modules().values()]
        with open(modules_file, "w") as changed:
            json.dump(listing, changed)
        obs.start()
        obs.dock_port()
        self.assertEqual(obs.stop(), 0)


if __name__ == "__main__":
    unittest.main()

import pytest

import end_to_end
import harness


@pytest.mark.parametrize("form", ["profile", "package"])
def test_install_update_restart_uninstall_in_the_blender_executable(form):
    # "package": the host as users install it, the extension from Blender 4.2 on, else the legacy zip.
    package = None if form == "profile" else "extension" if harness.blender_version() >= (4, 2) else "legacy"
    # "profile": the demo's path, with the starts between that find the server out of reach.
    offline_starts = end_to_end.OFFLINE_STARTS if form == "profile" else ()
    end_to_end.check(end_to_end.run(package=package, offline_starts=offline_starts))

import end_to_end


def test_install_update_restart_uninstall_in_the_blender_executable():
    end_to_end.check(end_to_end.run())

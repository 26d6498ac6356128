import end_to_end


def test_install_update_restart_uninstall_in_blender_3_4():
    end_to_end.check(end_to_end.run())

import blender_checks


def test_module_frame_in_the_bpy_module(blender_home):
    blender_checks.install_host(blender_home / "scripts")
    facts = blender_checks.frame_facts()
    assert facts["blender"][0] >= 4
    blender_checks.assert_frame_facts(facts)

import blender_checks


def test_module_frame_in_blender_4(blender_home):
    blender_checks.install_host(blender_home / "scripts")
    facts = blender_checks.frame_facts()
    assert facts["blender"][0] >= 4
    blender_checks.assert_frame_facts(facts, "zh_HANS")

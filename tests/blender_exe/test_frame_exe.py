import harness


def test_module_frame_in_the_blender_executable(tmp_path):
    run = harness.run_blender("""
        import blender_checks
        blender_checks.install_host(blender_checks.user_scripts())
        report(facts=blender_checks.frame_facts())
    """, tmp_path)
    facts = run["facts"]
    assert tuple(facts["blender"]) == harness.blender_version()
    import blender_checks
    blender_checks.assert_frame_facts(facts)

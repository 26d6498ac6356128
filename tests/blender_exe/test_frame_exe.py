import harness


def test_module_frame_in_blender_3_4(tmp_path):
    run = harness.run_blender("""
        import blender_checks
        blender_checks.install_host(blender_checks.user_scripts())
        report(facts=blender_checks.frame_facts())
    """, tmp_path)
    facts = run["facts"]
    assert facts["blender"][:2] == [3, 4]
    import blender_checks
    blender_checks.assert_frame_facts(facts, "zh_CN")

import harness
import order_checks


def test_order_registers_in_the_blender_executable(tmp_path):
    run = harness.run_blender("""
        import order_checks
        report(facts=order_checks.order_facts())
    """, tmp_path)
    facts = run["facts"]
    assert tuple(facts["blender"]) == harness.blender_version()
    order_checks.assert_order_facts(facts)

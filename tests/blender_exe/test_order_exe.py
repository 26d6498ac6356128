import harness
import order_checks


def test_order_registers_in_blender_3_4(tmp_path):
    run = harness.run_blender("""
        import order_checks
        report(facts=order_checks.order_facts())
    """, tmp_path)
    facts = run["facts"]
    assert facts["blender"][:2] == [3, 4]
    order_checks.assert_order_facts(facts)

import order_checks


def test_order_registers_in_the_bpy_module():
    facts = order_checks.order_facts()
    assert facts["blender"][0] >= 4
    order_checks.assert_order_facts(facts)

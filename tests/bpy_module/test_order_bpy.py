import order_checks


def test_order_registers_in_blender_4():
    facts = order_checks.order_facts()
    assert facts["blender"][0] >= 4
    order_checks.assert_order_facts(facts)

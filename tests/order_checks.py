"""The registration order inside a real Blender, either one: an add-on's modules with
real property groups, operators, panels and menus are ordered by corvane.vesk and
registered in that order, then unregistered in reverse. Blender itself refuses a
pointer to an unregistered property group and a panel whose parent is missing, so
every round checks the order."""

import types


def addon_modules(bpy, round_number):
    """Two fresh modules of one add-on (new class objects each round, so the set order varies)."""
    props, types_ = bpy.props, bpy.types
    suffix = f"r{round_number}"

    class ORD_PG_leaf(types_.PropertyGroup):
        value: props.IntProperty()

    class ORD_PG_branch(types_.PropertyGroup):
        leaf: props.PointerProperty(type=ORD_PG_leaf)
        leaves: props.CollectionProperty(type=ORD_PG_leaf)

    class ORD_PG_root(types_.PropertyGroup):
        branch: props.PointerProperty(type=ORD_PG_branch)
        name_: props.StringProperty()

    class Mixin:
        bl_options = {"REGISTER"}

        def execute(self, context):
            return {"FINISHED"}

    class ORD_OT_use(Mixin, types_.Operator):
        bl_idname = f"ord.use_{suffix}"
        bl_label = "Use"
        root: props.PointerProperty(type=ORD_PG_root)
        leaves: props.CollectionProperty(type=ORD_PG_leaf)

    class ORD_OT_derived(ORD_OT_use):  # only an add-on class as direct base: left alone
        bl_idname = f"ord.derived_{suffix}"

    class PanelBase:
        bl_space_type = "VIEW_3D"
        bl_region_type = "UI"
        bl_category = "Order"

        def draw(self, context):
            pass

    # The top panel declares no bl_idname: Blender knows it by its class name.
    main = type(types_.Panel)(f"ORD_PT_main_{suffix}", (PanelBase, types_.Panel), {"bl_label": "Main"})
    sub = type(types_.Panel)(f"ORD_PT_sub_{suffix}", (PanelBase, types_.Panel), {
        "bl_label": "Sub", "bl_idname": f"ORD_PT_sub_{suffix}", "bl_parent_id": main.__name__})
    subsub = type(types_.Panel)(f"ORD_PT_subsub_{suffix}", (PanelBase, types_.Panel), {
        "bl_label": "SubSub", "bl_idname": f"ORD_PT_subsub_{suffix}", "bl_parent_id": sub.bl_idname})
    side = type(types_.Panel)(f"ORD_PT_side_{suffix}", (PanelBase, types_.Panel), {
        "bl_label": "Side", "bl_parent_id": main.__name__})

    class ORD_MT_menu(types_.Menu):
        bl_idname = f"ORD_MT_menu_{suffix}"
        bl_label = "Menu"

        def draw(self, context):
            pass

    class ORD_PG_known(types_.PropertyGroup):  # registered before the add-on's turn
        flag: props.BoolProperty()

    class ORD_OT_known_user(types_.Operator):
        bl_idname = f"ord.known_user_{suffix}"
        bl_label = "Known user"
        known: props.PointerProperty(type=ORD_PG_known)

    data = types.ModuleType(f"ord_addon_{suffix}.data")
    for cls in (ORD_PG_leaf, ORD_PG_branch, ORD_PG_root, ORD_PG_known):
        setattr(data, cls.__name__, cls)
    data.IntProperty = props.IntProperty
    ui = types.ModuleType(f"ord_addon_{suffix}.ui")
    for cls in (subsub, side, ORD_OT_use, ORD_OT_derived, sub, main, ORD_MT_menu, ORD_OT_known_user, Mixin,
                PanelBase, ORD_PG_root):  # the last one imported from the data module
        setattr(ui, cls.__name__, cls)
    ui.bpy = bpy
    expected = {ORD_PG_leaf, ORD_PG_branch, ORD_PG_root, ORD_OT_use, main, sub, subsub, side, ORD_MT_menu,
                ORD_OT_known_user}
    edges = [(ORD_PG_branch, ORD_PG_leaf), (ORD_PG_root, ORD_PG_branch), (ORD_OT_use, ORD_PG_root),
             (ORD_OT_use, ORD_PG_leaf), (sub, main), (subsub, sub), (side, main)]
    return [data, ui], ORD_PG_known, expected, edges


def order_facts(rounds=5):
    """Orders, registers and unregisters a fresh add-on `rounds` times; plain values back."""
    import bpy
    import corvane.vesk as vesk

    facts = {"blender": list(bpy.app.version), "rounds": []}
    for round_number in range(rounds):
        modules, known, expected, edges = addon_modules(bpy, round_number)
        bpy.utils.register_class(known)
        ordered = vesk.__get_ordered_classes__(modules)
        position = {cls: at for at, cls in enumerate(ordered)}
        entry = {
            "names": [cls.__name__ for cls in ordered],
            "as_expected": len(ordered) == len(expected) and set(ordered) == expected,
            "edges_kept": all(position[a] > position[b] for a, b in edges),
        }
        for cls in ordered:
            bpy.utils.register_class(cls)
        entry["registered"] = all(cls.is_registered for cls in ordered)
        for cls in reversed(ordered):
            bpy.utils.unregister_class(cls)
        bpy.utils.unregister_class(known)
        entry["unregistered"] = not any(cls.is_registered for cls in [*ordered, known])
        facts["rounds"].append(entry)

    # Without the class-name entry the sub panel could come first: Blender refuses that.
    modules, known, expected, edges = addon_modules(bpy, rounds)
    # The module reads pointers from (function, keywords) pairs before Blender 3.2.
    facts["declaration"] = type(modules[0].ORD_PG_leaf.__annotations__["value"]).__name__
    main, sub = edges[4][1], edges[4][0]
    try:
        bpy.utils.register_class(sub)
        facts["child_first_refused"] = False
        bpy.utils.unregister_class(sub)
    except RuntimeError as error:
        facts["child_first_refused"] = "not found" in str(error)
    return facts


def assert_order_facts(facts):
    assert facts["rounds"]
    for entry in facts["rounds"]:
        assert entry == {**entry, "as_expected": True, "edges_kept": True, "registered": True,
                         "unregistered": True}, entry
    assert facts["child_first_refused"]
    assert (facts["declaration"] == "tuple") == (tuple(facts["blender"]) < (3, 2)), facts["declaration"]

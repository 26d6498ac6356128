"""The host add-on's buttons in Debian's Blender: results and errors reach the user as reports."""

import harness


def test_host_buttons_report_results_and_errors(tmp_path):
    harness.session.install_into_profile(tmp_path)
    run = harness.run_blender("""
        import addon_utils, bpy
        bpy.utils.refresh_script_paths()
        addon_utils.modules_refresh()
        assert addon_utils.enable("corvane_host", default_set=True) is not None
        prefs = bpy.context.preferences.addons["corvane_host"].preferences
        report(records=list(prefs.addons.keys()), titles=[r.title for r in prefs.addons])
        report(version=list(bpy.ops.corvane.action(action="version")))
        # No distribution server answers: the install fails, and says so as an error report,
        # which Blender raises to a Python caller.
        try:
            bpy.ops.corvane.action(action="install")
            report(install="no error")
        except RuntimeError as error:
            report(install=str(error))
        report(status=prefs.addons[0].status)
        report(preferences=list(bpy.ops.corvane.action(action="preferences")),
               search=bpy.context.window_manager.addon_search)
        addon_utils.disable("corvane_host")
        report(disabled=True)
    """, tmp_path, env={"VESK_SERVICE_URL": "http://127.0.0.1:9"}, make_scripts=False)
    assert run["records"] == ["tellmora"] and run["titles"] == ["Tellmora"]
    assert run["version"] == ["FINISHED"] and "Version: 0." in run.output
    assert run["install"].startswith("Error: ConnectionError")
    assert run["status"] is False
    assert run["preferences"] == ["FINISHED"] and run["search"] == "Tellmora"
    assert run["disabled"]

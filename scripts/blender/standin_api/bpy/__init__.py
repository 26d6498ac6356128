"""A small stand-in for Blender's Python API.

It offers only what corvane.vesk calls on Blender, written from what the module
expects, and serves the cases a real Blender here cannot show: other Blender
versions and injected faults. Tests change its attributes directly (the module
reads them at the moment of use); `reset()` puts everything back.
"""

from . import app, ops, props, types, utils  # noqa: F401
from . import context  # noqa: F401


def reset():
    """Back to a fresh Blender 4.5 with nothing registered."""
    app.reset()
    props.reset()
    types.reset()
    utils.reset()
    ops.reset()
    context.reset()

"""bpy.props: property declarations.

From Blender 3.2 on a declaration is a `_PropertyDeferred`; before, it is the
2-tuple (function, keywords). `app.version` decides at the moment of the call.
"""

from . import app


class _PropertyDeferred:
    def __init__(self, function, keywords):
        self.function = function
        self.keywords = keywords

    def __repr__(self):
        return f"<_PropertyDeferred, {self.function.__name__}, {self.keywords}>"


def _declare(function, keywords):
    if tuple(app.version[:2]) >= (3, 2):
        return _PropertyDeferred(function, keywords)
    return (function, keywords)


def StringProperty(**keywords):
    return _declare(StringProperty, keywords)


def BoolProperty(**keywords):
    return _declare(BoolProperty, keywords)


def IntProperty(**keywords):
    return _declare(IntProperty, keywords)


def PointerProperty(**keywords):
    return _declare(PointerProperty, keywords)


def CollectionProperty(**keywords):
    return _declare(CollectionProperty, keywords)


def reset():
    pass

"""bpy.app: the version and the translation registry."""

version = (4, 5, 0)


class _Translations:
    def __init__(self):
        self.tables = {}
        self.calls = []
        self.refuse = None  # an exception to raise from register()

    def register(self, name, table):
        self.calls.append(("register", name))
        if self.refuse is not None:
            raise self.refuse
        if name in self.tables:
            # Blender refuses a second registration under the same name.
            raise ValueError(f"bpy.app.translations.register(): add-on '{name}' already registered!")
        self.tables[name] = table

    def unregister(self, name):
        self.calls.append(("unregister", name))
        self.tables.pop(name, None)


translations = _Translations()


def reset():
    global version
    version = (4, 5, 0)
    translations.__init__()

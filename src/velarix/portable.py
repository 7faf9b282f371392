"""Portable objects: a process-wide identity, a configuration, and serialisation."""

from .imp import ConstantsImp, PortableImp


class Portable:
    """Base of every framework object with an id and a configuration."""

    class Configuration(dict):
        class Keys:
            ID = "id"

        class ReservedKeys:
            pass

        def __init__(self, **entries):
            entries.setdefault(self.Keys.ID, ConstantsImp.ID_TO_BE_GENERATED)
            super().__init__(**entries)

    _imp_class = PortableImp

    def __init__(self, **entries):
        self._imp = self._imp_class(self.Configuration(**entries))

    def __getattr__(self, name):
        # Only reached when normal lookup fails: costs nothing once initialised.
        if name == "_imp":
            from .errors import NodeNotInitializedError

            cls = type(self).__name__
            raise NodeNotInitializedError(
                f"{cls} is not initialised: {cls}.__init__() must call "
                f"super().__init__(**entries) before the object is used."
            )
        raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'", name=name, obj=self)

    @property
    def config(self):
        return self._imp.config

    def serialize(self):
        return self._imp.serialize(self)

    @staticmethod
    def deserialize(data):
        return PortableImp.deserialize(data)

    @staticmethod
    def get_by_id(id):
        return PortableImp.get_by_id(id)

    @staticmethod
    def reset():
        return PortableImp.reset()

    @staticmethod
    def add_preinstalled_module(module):
        return PortableImp.add_preinstalled_module(module)

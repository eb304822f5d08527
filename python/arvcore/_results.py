"""Result envelopes whose data is made from the core's table when first read.

A call such as ``_load`` answers a whole table, which most callers only check for its result
code. Its envelope carries the table in the core's form and converts it to Python objects on
the first read of ``RetData``; in every other way it is a ``RetType``.
"""

from arvcore.VLNUtils import RetType

__all__ = ["LazyRetType"]


class LazyRetType(RetType):
    """A RetType whose RetData is produced by ``produce()`` on first read."""

    def __init__(self, code, msg, produce):
        super().__init__(code, msg)
        self.__dict__["_produce"] = produce

    @property
    def RetData(self):
        state = self.__dict__
        produce = state.get("_produce")
        if produce is not None:
            state["_data"] = produce()
            del state["_produce"]
        return state.get("_data")

    @RetData.setter
    def RetData(self, value):
        self.__dict__.pop("_produce", None)
        self.__dict__["_data"] = value

    def __reduce__(self):
        # Copies and pickles are plain envelopes holding the data itself.
        return (RetType, (self.RetCode, self.RetMsg, self.RetData))

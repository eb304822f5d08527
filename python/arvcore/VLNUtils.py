"""Result envelope and small helpers shared by the SDK's components."""

import os

from arvcore.VLNPublic import RetCode

__all__ = ["RetType", "_Utils"]


class RetType:
    """Result code, message and data of one operation.

    RetType()                      -> OK, '', None
    RetType(code, msg)             -> an error or warning answer
    RetType(code, msg=...)         -> the same, message by keyword
    RetType(msg=...)               -> OK with a message
    RetType(data=...)              -> OK carrying data
    All three fields are assignable afterwards.
    """

    def __init__(self, code=RetCode.OK, msg="", data=None):
        if isinstance(code, int) and not isinstance(code, (bool, RetCode)):
            code = RetCode(code)
        self.RetCode = code
        self.RetMsg = msg
        self.RetData = data

    def __repr__(self):
        return "RetType(RetCode={}, RetMsg={!r}, RetData={!r})".format(
            self.RetCode, self.RetMsg, self.RetData
        )

    __str__ = __repr__

    def __eq__(self, other):
        if not isinstance(other, RetType):
            return NotImplemented
        return (
            self.RetCode == other.RetCode
            and self.RetMsg == other.RetMsg
            and self.RetData == other.RetData
        )

    # Mutable: not usable as a dict key.
    __hash__ = None  # type: ignore[assignment]


class _Utils:
    @staticmethod
    def _get_files_dir():
        """The SDK's data directory: $ARVCORE_FILES_DIR when set and not empty, else "files"
        under the current working directory."""
        path = os.environ.get("ARVCORE_FILES_DIR", "")
        if path:
            return path
        return os.path.join(os.getcwd(), "files")

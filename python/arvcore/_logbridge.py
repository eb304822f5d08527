"""Bridge between the core's loggers and Python's ``logging``.

Every record the core writes becomes a genuine record of ``logging.getLogger(name)``, so the
host's levels, filters, handlers and propagation apply. The core skips records whose level is
off without formatting them; to keep that check cheap and right, the lowest level each logger
has enabled is pushed to the core whenever ``logging`` drops its level caches (setLevel,
disable, basicConfig, dictConfig all do).
"""

import builtins
import logging

# The module's loggers; other names may be added with track().
_names = ["CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB"]
_LEVELS = (logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR)
_OFF = logging.CRITICAL + 1
_set_level = None

# The core names failures "TypeName: message"; "Error: ..." is its generic failure, which may
# wrap a Python one ("Error: ZeroDivisionError: division by zero").
_GENERIC = "Error"


def _lowest_enabled(name):
    # Loggers are not created here: a host that configures logging after importing the
    # package (fileConfig/dictConfig disable the loggers that exist by then) must find them
    # as it would before the first manager takes them.
    manager = logging.Logger.manager
    logger = manager.loggerDict.get(name)
    if isinstance(logger, logging.Logger):
        enabled = logger.isEnabledFor
    else:
        ancestor = logging.root
        parts = name.split(".")
        for i in range(len(parts) - 1, 0, -1):
            candidate = manager.loggerDict.get(".".join(parts[:i]))
            if isinstance(candidate, logging.Logger):
                ancestor = candidate
                break
        effective = ancestor.getEffectiveLevel()

        def enabled(level):
            return manager.disable < level and level >= effective

    for level in _LEVELS:
        if enabled(level):
            return level
    return _OFF


def _sync():
    if _set_level is None:
        return
    for name in list(_names):
        _set_level(name, _lowest_enabled(name))


def track(name):
    """Keeps the core logger ``name`` in step with Python's levels too."""
    if name not in _names:
        _names.append(name)
    _sync()


def _install(set_level):
    global _set_level
    _set_level = set_level
    manager_cls = logging.Manager
    if not getattr(manager_cls._clear_cache, "_arvcore_sync", False):
        original = manager_cls._clear_cache

        def _clear_cache(self):
            original(self)
            _sync()

        _clear_cache._arvcore_sync = True
        manager_cls._clear_cache = _clear_cache
    _sync()


def _builtin_failure(kind, message):
    cls = getattr(builtins, kind, None)
    if not (isinstance(cls, type) and issubclass(cls, Exception)):
        return None
    try:
        return (cls, cls(message), None)
    except TypeError:  # a class that needs more than a message
        return None


def _exception(text):
    kind, sep, message = text.partition(": ")
    if sep and kind == _GENERIC:
        inner_kind, inner_sep, inner_message = message.partition(": ")
        found = _builtin_failure(inner_kind, inner_message) if inner_sep else None
        return found or (RuntimeError, RuntimeError(message), None)
    found = _builtin_failure(kind, message) if sep else None
    return found or (RuntimeError, RuntimeError(text), None)


def _failure(text):
    """exc_info for a failure text written by the core, so handlers print it as Python would.

    Its first line names the failure; what follows is a note the core added to it (where a
    parse failed, say), which tracebacks print after the failure's own line.
    """
    head, sep, note = text.partition("\n")
    exc_info = _exception(head)
    if sep:
        exc = exc_info[1]
        if hasattr(exc, "add_note"):
            exc.add_note(note)
        else:  # before Python 3.11: the note joins the message
            exc.args = (f"{exc.args[0] if exc.args else ''}\n{note}",)
    return exc_info


def _emit(name, level, msg, exc_text):
    logger = logging.getLogger(name)
    if not logger.isEnabledFor(level):
        return
    exc_info = _failure(exc_text) if exc_text else None
    # stacklevel=2: the record points at the Python code that called into the core.
    logger._log(level, msg, (), exc_info=exc_info, stacklevel=2)

"""Every public module, class, function and method of the package says what it is for."""

import importlib
import inspect
import pkgutil

import arvcore

# The table database's binding is documented with the database.
OWNED_ELSEWHERE = ("arvcore.db", "arvcore._arvcore.TableStore", "arvcore._arvcore.TableDBQueryer")


def public_objects():
    for info in pkgutil.walk_packages(arvcore.__path__, "arvcore."):
        if info.name.rsplit(".", 1)[-1].startswith("_") and info.name != "arvcore._arvcore":
            continue
        module = importlib.import_module(info.name)
        yield info.name, module
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != module.__name__:
                continue
            if inspect.isclass(obj) or callable(obj):
                yield "%s.%s" % (info.name, name), obj
            if inspect.isclass(obj) and not issubclass(obj, BaseException):
                for attr, member in vars(obj).items():
                    if attr.startswith("_") or not (callable(member) or isinstance(member, property)):
                        continue
                    yield "%s.%s.%s" % (info.name, name, attr), member


def test_every_public_name_has_a_docstring():
    missing = [name for name, obj in public_objects()
               if not (inspect.getdoc(obj) or "").strip() and not name.startswith(OWNED_ELSEWHERE)]
    assert not missing, "no docstring: " + ", ".join(missing)

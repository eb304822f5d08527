"""The package's stubs match the compiled module: a method added, renamed or removed in the
binding without its stub fails here, and so does a parameter whose name, kind or default
differs. The checker can compare parameters only because every compiled function carries a
text signature, which `inspect.signature` (and help(), and IDEs) read."""

import enum
import importlib
import inspect
import os
import re
import subprocess
import sys
import types

import pytest

import arvcore
from arvcore import _arvcore, _testing
from arvcore.vlndev.VLNTableManager import (
    AAKitTableManager,
    BeamPatternTableManager,
    BTModeFilter,
    CalibrationTableManager,
    fake_rf_layout,
)

HERE = os.path.dirname(os.path.abspath(__file__))
ENUM_STUBS = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "enum-stubs.py")
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(arvcore.__file__)))


def run_stubtest(package_root, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(package_root), MYPY_CACHE_DIR=str(tmp_path / "cache"))
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "arvcore", "--allowlist",
         os.path.join(HERE, "stubtest-allowlist.txt"),
         "--mypy-config-file", os.path.join(HERE, "stubtest-mypy.ini")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)


def test_stubs_match_the_package(tmp_path):
    p = run_stubtest(PACKAGE_ROOT, tmp_path)
    assert p.returncode == 0, p.stdout[-4000:] + p.stderr[-2000:]
    assert os.path.exists(os.path.join(PACKAGE_ROOT, "arvcore", "py.typed"))


# (stub text, its drifted form, what the checker must then report); the methods cover a
# fast-lane getter, plain bound methods, a constructor and the database facade.
DRIFTS = [
    ('rf_mode_str: str = "TX", chip: int = 1)', 'rf_mode_str: str = "TX", chip: int = 2)',
     r'_getBoardsOffset is inconsistent, runtime argument "chip" has a default value of 1'),
    ("def _updateAAKit(self, kitName: str)", "def _updateAAKit(self, kit_name: str)",
     r'_updateAAKit is inconsistent, stub argument "kit_name" differs from runtime argument'),
    ('category: str = "GENERAL"', 'category: str = "ALL"',
     r'query is inconsistent, runtime argument "category" has a default value of \'GENERAL\''),
    ('freq: int | float, aakit: str = ""', 'freq: int | float, *, aakit: str = ""',
     r'_load is inconsistent, runtime argument "aakit" is not keyword-only'),
    ("support_dev: Sequence[int] | None = [],", "support_dev: Sequence[int] | None = None,",
     r'AAKitTableManager.__init__ is inconsistent, runtime argument "support_dev" has a default'
     r' value of \[\]'),
]


def test_a_stub_that_drifts_in_parameters_fails(tmp_path):
    # A copy of the package whose stub differs from the binding in one parameter per method.
    root = tmp_path / "pkg"
    for dirpath, dirnames, filenames in os.walk(os.path.join(PACKAGE_ROOT, "arvcore")):
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        target = root / os.path.relpath(dirpath, PACKAGE_ROOT)
        target.mkdir(parents=True)
        for name in filenames:
            (target / name).symlink_to(os.path.join(dirpath, name))
    stub = root / "arvcore" / "_arvcore.pyi"
    text = stub.read_text()
    stub.unlink()
    for before, after, _ in DRIFTS:
        assert text.count(before) == 1, before
        text = text.replace(before, after)
    stub.write_text(text)

    p = run_stubtest(root, tmp_path)
    assert p.returncode != 0
    for _, _, report in DRIFTS:
        assert re.search(report, p.stdout), report + "\n" + p.stdout[-4000:]


def compiled_callables():
    """Every function of the compiled modules (the core and the tests' helpers), and every
    method their classes define (CPython's own slot wrappers, such as a constructor-less
    class's __init__, aside)."""
    not_ours = (type, types.WrapperDescriptorType, str)
    for module in (_arvcore, _testing):
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ != module.__name__:
                continue  # the enumeration classes the module builds for other modules
            if isinstance(value, type):
                for method_name in vars(value):
                    method = getattr(value, method_name)
                    if callable(method) and not isinstance(method, not_ours):
                        yield f"{name}.{method_name}", method
            elif callable(value) and not isinstance(value, not_ours):
                yield name, value


def test_every_compiled_function_and_method_has_a_signature():
    seen = 0
    for name, fn in compiled_callables():
        sig = inspect.signature(fn)  # raises for a function without a text signature
        is_method = "." in name
        params = list(sig.parameters)
        assert (params[:1] == ["self"]) == is_method, (name, sig)
        # help() still shows pybind11's typed line and the method's own text.
        doc = fn.__doc__
        assert doc.startswith(name.rsplit(".", 1)[-1] + "("), (name, doc)
        assert "\n--\n" not in doc, (name, doc)
        seen += 1
    assert seen > 60

    assert "Total dynamic range" in CalibrationTableManager.getDR.__doc__


def test_signatures_of_bound_methods_classes_and_enumeration_defaults(files_dir):
    beam = BeamPatternTableManager("D2230E013-28", 9, 4, fake_rf_layout, None)
    # The instance binds self, for a fast-lane getter as for any other method.
    assert str(inspect.signature(beam.getBeamPattern)) == "(mode, beamId)"
    assert str(inspect.signature(beam._load)) == "(freq, aakit='', callback=None)"
    # A class shows how it is constructed.
    init = inspect.signature(CalibrationTableManager.__init__)
    assert list(inspect.signature(CalibrationTableManager).parameters) == list(init.parameters)[1:]
    assert str(inspect.signature(AAKitTableManager)) == (
        "(devtype, total_ch, path='files/', num_polar=1, support_dev=[], is_web_mode=False)")
    # The default of the batch get is the member itself, not its bare value.
    default = inspect.signature(beam._getBatchBeamPattern).parameters["mode_filter"].default
    assert default is BTModeFilter.ALL


@pytest.mark.parametrize("name, text, defaults", [
    # positional-only, *args, keyword-only after *args, **kwargs; a default inspect cannot
    # read back (a dict) shows as "...".
    ("shapes", "(a, /, b=2, *args, c=Ellipsis, **kwargs)", {"b": 2, "c": ...}),
    # keyword-only with no *args; a plain Enum member is no literal either.
    ("keywords", "(a, *, b=Ellipsis)", {"b": ...}),
    ("unnamed", "(arg0, arg1)", {}),
    ("overloaded", "(*args, **kwargs)", {}),
])
def test_parameter_shapes(name, text, defaults):
    sig = inspect.signature(getattr(_testing, name))
    assert str(sig) == text
    assert {k: p.default for k, p in sig.parameters.items()
            if p.default is not inspect.Parameter.empty} == defaults


def test_enumeration_classes_stubs_and_conversions_follow_the_core_tables(tmp_path):
    tables = _testing.enum_tables()
    assert len(tables) == 10
    for name, (module, flags, members) in tables.items():
        cls = getattr(importlib.import_module(module), name)
        assert (cls.__module__, cls.__qualname__) == (module, name)
        assert type(cls) is enum.EnumType and issubclass(cls, enum.IntFlag if flags else enum.Enum)
        assert [(n, m.value) for n, m in cls.__members__.items()] == members
        assert all(cls(value) is cls[n] for n, value in members)
        numbered = [cls[n] for n, value in members if not isinstance(value, str)]
        assert _testing.enum_round_trip(name) == numbered

    # The stubs hold the same members, and one that drifts from a table is caught.
    def check(package):
        return subprocess.run([sys.executable, ENUM_STUBS, "--check", "--package", package],
                              capture_output=True, text=True)

    assert check(os.path.join(os.path.dirname(os.path.dirname(HERE)), "python")).returncode == 0
    for rel in ("VLNPublic.pyi", "vlndev/VLNTableManager.pyi"):
        copy = tmp_path / "arvcore" / rel
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_text(open(os.path.join(PACKAGE_ROOT, "arvcore", rel)).read())
    module = tmp_path / "arvcore" / "vlndev" / "VLNTableManager.pyi"
    module.write_text(module.read_text().replace("    UI_SAVE_REPLACE = 13\n", ""))
    p = check(str(tmp_path))
    assert p.returncode == 1 and "VLNTableManager.pyi: differs" in p.stdout, p.stdout + p.stderr

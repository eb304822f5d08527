"""The package's stubs match the compiled module: a method added, renamed or removed in the
binding without its stub fails here."""

import os
import subprocess
import sys

import arvcore

HERE = os.path.dirname(os.path.abspath(__file__))


def test_stubs_match_the_package(tmp_path):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(arvcore.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    p = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "arvcore", "--allowlist",
         os.path.join(HERE, "stubtest-allowlist.txt"),
         "--mypy-config-file", os.path.join(HERE, "stubtest-mypy.ini")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stdout[-4000:] + p.stderr[-2000:]
    assert os.path.exists(os.path.join(package_root, "arvcore", "py.typed"))

"""The arvcore wheel: the Python package exactly as the CMake build installs it.

`python3 -m build --wheel --no-isolation` configures and builds the CMake project in build-wheel/
(RelWithDebInfo, the configuration the tests run with; the install strips it), or reuses the
existing build tree named by $ARVCORE_BUILD_DIR as it is, installs its "python" component
(extension, pure-Python modules, stubs, version) into a staging directory and packs what lands
there. The version is the CMake project's.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
WHEEL_WORK = ROOT / "build-wheel"


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*\w+\s+VERSION\s+(\d+\.\d+\.\d+)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt: no project(... VERSION x.y.z)")
    return match.group(1)


def cache_value(build_dir, name):
    for line in (build_dir / "CMakeCache.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise RuntimeError(f"{build_dir}: {name} is not set; configure with the Python package on")


class CMakePackage(build_ext):
    """Puts the CMake-installed `arvcore` package where the wheel is assembled from."""

    def run(self):
        if self.inplace:
            raise RuntimeError("in-place builds are not supported: use PYTHONPATH=build/python")
        build_dir = Path(os.environ.get("ARVCORE_BUILD_DIR") or WHEEL_WORK).resolve()
        if not (build_dir / "CMakeCache.txt").exists():
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DARVCORE_BENCH=OFF",
                            f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_arvcore"], check=True)

        staging = Path(self.build_temp).resolve() / "staging"
        shutil.rmtree(staging, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build_dir), "--component", "python",
                        "--prefix", str(staging), "--strip"], check=True)
        package = staging / cache_value(build_dir, "ARVCORE_PYTHON_INSTALL_DIR") / "arvcore"
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        if not (package / ("_arvcore" + suffix)).exists():
            raise RuntimeError(f"{build_dir} holds no extension for this interpreter ({suffix}); "
                               "build with the Python that builds the wheel")

        target = Path(self.build_lib) / "arvcore"
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(package, target)


(WHEEL_WORK / "setuptools").mkdir(parents=True, exist_ok=True)
setup(
    name="arvcore",
    version=project_version(),
    description="Table management of the arvcore beamformer control SDK "
                "(calibration, antenna-kit, beam-pattern and delta-frequency tables)",
    python_requires=">=3.9",
    # One placeholder extension: the real one comes from the CMake build (CMakePackage).
    ext_modules=[Extension("arvcore._arvcore", sources=[])],
    cmdclass={"build_ext": CMakePackage},
    options={"build": {"build_base": str(WHEEL_WORK / "setuptools")},
             "egg_info": {"egg_base": str(WHEEL_WORK / "setuptools")}},
    zip_safe=False,
)

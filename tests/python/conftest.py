import os
import sys

import pytest

# The suite tests the installed package (scripts/test.sh installs it into the project
# environment); only the benchmark-only extension _quelb_bench, which the boundary tests call,
# comes from the CMake tree build, placed after everything installed. QUELB_TEST_TREE=1 tests the
# tree build's _quelb_core and the package's sources instead (the sanitizer run, quick loops).
_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_build = os.path.abspath(os.environ.get("QUELB_BUILD_DIR") or os.path.join(_root, "build"))
_tree = os.environ.get("QUELB_TEST_TREE") == "1"
if _tree:
    sys.path[:0] = [_build, os.path.join(_root, "python")]
else:
    sys.path.append(_build)

import _quelb_core  # noqa: E402

if not _tree and os.path.dirname(os.path.abspath(_quelb_core.__file__)) == _build:
    pytest.exit(f"_quelb_core is not installed for {sys.executable} (only the tree build's copy "
                "was found): run scripts/test.sh, or set QUELB_TEST_TREE=1 to test the tree build",
                returncode=4)

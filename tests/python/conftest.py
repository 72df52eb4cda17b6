import os
import sys

# The tests import the freshly built extension from the build directory and the Python package
# from the source tree.
_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(_root, "python"))
sys.path.insert(0, os.environ.get("QUELB_BUILD_DIR", os.path.join(_root, "build")))

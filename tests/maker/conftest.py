"""Test the maker's tools from this source tree.

An installed corvane (built with the native module) may be an older copy; its
package path gets src/corvane in front, so corvane.publish and corvane.serve
come from the tree under test while corvane.vesk still comes from the build.
"""

import os
import sys

SRC = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src"))
PACKAGE = os.path.join(SRC, "corvane")

try:
    import corvane
except ImportError:
    sys.path.insert(0, SRC)
else:
    if not any(os.path.normpath(p) == PACKAGE for p in corvane.__path__):
        corvane.__path__.insert(0, PACKAGE)

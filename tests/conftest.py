import sys
from pathlib import Path

# Lets every test folder import the shared harness and the Blender session layer.
sys.path[:0] = [str(Path(__file__).parent), str(Path(__file__).parent.parent / "scripts" / "blender")]

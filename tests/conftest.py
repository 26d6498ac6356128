import sys
from pathlib import Path

# Lets every test folder import the shared harness.
sys.path.insert(0, str(Path(__file__).parent))

# Types of the package: the compiled module's names, and data_path.
from ._tamrix import *
from ._tamrix import __version__ as __version__

def data_path(name: str) -> str: ...

"""What the installed distribution carries: one version, and its type information."""

from importlib import metadata

import zentrel
import zentrel_py


def test_version_is_the_distributions_and_the_module_stays_dev():
    assert zentrel.__version__ == metadata.version("zentrel")
    assert zentrel_py.__version__ == "dev"


def test_type_information_is_installed():
    installed = {str(path).replace("\\", "/") for path in metadata.files("zentrel") or ()}
    assert {"zentrel/py.typed", "zentrel/core/_engine.pyi", "zentrel_py-stubs/__init__.pyi"} <= installed

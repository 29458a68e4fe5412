"""python-can interface ``fdhost``: ``can.Bus(interface="fdhost", channel=...)`` on an adapter or a
virtual bus. python-can finds it through the ``can.interface`` entry point. The Bus runs on the
adapter core ``fdhost_can._native``; importing this package loads no libusb (that happens when a Bus
opens or adapters are listed) and does not import the ``fdhost`` extension module.
"""
from importlib.metadata import PackageNotFoundError, version

from .bus import FdhostBus
from .channels import AdapterChannel, VirtualChannel, parse_channel
from .timing import SetupFields, setup_fields

try:
    __version__ = version("fdhost")
except PackageNotFoundError:  # a source checkout that was not installed
    __version__ = "unknown"

__all__ = ["FdhostBus", "AdapterChannel", "VirtualChannel", "parse_channel", "SetupFields", "setup_fields",
           "__version__"]

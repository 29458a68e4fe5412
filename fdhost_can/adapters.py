"""The adapters pyusb finds, by serial: found and read without claiming anything, so listing
disturbs no program that is using one."""
from __future__ import annotations

import logging

from .usbids import PRODUCT_ID, VENDOR_ID

_log = logging.getLogger("can.fdhost")


def present_serials() -> list[str]:
    """The serial of every adapter connected ("" for one whose serial cannot be read), in the
    order pyusb enumerates them. Raises what pyusb raises when it has no usable libusb."""
    import usb.core
    import usb.util

    serials = []
    for dev in usb.core.find(find_all=True, idVendor=VENDOR_ID, idProduct=PRODUCT_ID):
        serial = ""
        try:
            if dev.iSerialNumber:
                serial = usb.util.get_string(dev, dev.iSerialNumber) or ""
        except (usb.core.USBError, ValueError) as e:  # no access, or a descriptor that does not decode
            _log.debug("serial of the adapter at %s:%s unreadable: %s", dev.bus, dev.address, e)
        finally:
            usb.util.dispose_resources(dev)
        serials.append(serial)
    return serials

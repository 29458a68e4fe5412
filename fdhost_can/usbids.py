"""The adapter's USB identity, for finding it (the Bus, ``list``) and for the udev rule (``udev``)."""

VENDOR_ID = 0x34B7
PRODUCT_ID = 0x6877

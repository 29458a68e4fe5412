"""``FdhostBus``: the python-can Bus of the ``fdhost`` interface.

The Bus opens the adapter through the extension's own ``fdhost`` class (the same discovery, claim,
commands, heartbeat and reader threads as any program using it), with keyword options that turn
the frame paths native: the reader decodes each container, applies the filters and the own-echo
choice and queues the frames without taking the interpreter lock per frame; ``send`` builds and
writes the transmit record. Every line the object would print goes to the logger ``can.fdhost``.
This module adds what python-can expects around that.
"""
from __future__ import annotations

import errno
import logging
import threading
import time
import weakref
from types import ModuleType
from typing import Any, Optional

import can

from . import _native, adapters, channels, filters, virtual
from . import timing as bit_timing
from .log import DropReporter, OpenLines

LOG = logging.getLogger("can.fdhost")

# Frames the native queue holds for a slow reader before it drops the newest.
RECEIVE_QUEUE_FRAMES = 65536
# How a virtual adapter is plugged for a Bus. Its frames are collected for up to half a millisecond
# into one receive container, as a real adapter's are, instead of one transfer per frame: that
# bounds the reader's work per frame on a busy bus, at a latency python-can users do not notice.
# It captures from the moment it is on the bus (where `fdhost-can list` shows it), not only once
# the Bus has finished opening: a frame sent meanwhile waits in its receive buffer.
VIRTUAL_ADAPTER_CONFIG = "flush_us=500;capture=1"
# How long a closing virtual Bus lets its transmit queue drain: in all, and without progress.
DRAIN_LIMIT_S, DRAIN_STALL_S, DRAIN_POLL_S = 5.0, 0.25, 0.001

# The extension's device scan and claim keep their results in module-wide slot lists, which a
# clean-up resets: openings and closings of Buses in one process take turns.
_device_lock = threading.RLock()

_new_message = can.Message.__new__

# Buses still open. The fdhost object's workers are ordinary threads, which the interpreter waits
# for before it exits; a program that never shut its Bus down would hang there, so the Buses left
# open are shut down first (the hook that concurrent.futures uses for its own workers).
_open_buses: "weakref.WeakSet[FdhostBus]" = weakref.WeakSet()


def _shutdown_open_buses() -> None:
    for bus in list(_open_buses):
        bus.shutdown()


if hasattr(threading, "_register_atexit"):
    threading._register_atexit(_shutdown_open_buses)


def message_from_native(item: _native.ReceivedFrame, channel: Any) -> can.Message:
    """A ``can.Message`` from the native receive tuple
    ``(timestamp_s, id, extended, remote, fd, brs, esi, rx, dlc, data)``.

    Fills the slots directly: ``can.Message.__init__`` validates and converts what the native side
    already guarantees, and costs several times the rest of a receive.
    """
    m = _new_message(can.Message)
    (m.timestamp, m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_fd, m.bitrate_switch,
     m.error_state_indicator, m.is_rx, m.dlc, data) = item
    m.data = bytearray(data)
    m.is_error_frame = False
    m.channel = channel
    return m


def _describe_channel(ch: channels.Channel) -> str:
    if isinstance(ch, channels.VirtualChannel):
        return f"fdhost virtual bus {ch.bus!r}"
    return f"fdhost adapter {ch.serial}" if ch.serial is not None else "fdhost adapter"


class FdhostBus(can.BusABC):
    """A CAN / CAN FD bus on an fdhost adapter, or on a virtual bus shared by virtual adapters.

    :param channel: an adapter's serial (any case; a number is matched as its decimal text),
        ``"virtual:<name>"``, or None for the only adapter connected. See :mod:`fdhost_can.channels`.
    :param bitrate: nominal rate in bit/s (default 500000), one the adapter's table offers.
    :param data_bitrate: CAN FD data-phase rate in bit/s; with ``fd=True`` it defaults to ``bitrate``.
    :param fd: open the bus in CAN FD mode.
    :param timing: ``can.BitTiming`` / ``can.BitTimingFd`` for an 80 MHz clock; overrides the rates
        and decides ``fd``. See :mod:`fdhost_can.timing`.
    :param receive_own_messages: also deliver the adapter's reports of our own frames (``is_rx`` False).
    :param can_filters: python-can filters, applied in the native reader (see :mod:`fdhost_can.filters`).

    Other keywords (``single_handle`` from python-can's tools, the timing keys such as ``f_clock``)
    are accepted and ignored. Sending carries the identifier format, remote frames, CAN FD and the
    bitrate switch; the adapter's transmit record has no error-state-indicator bit, so ESI is never
    sent. The adapter's receive record has no bit for the bitrate switch or ESI either: received CAN
    FD frames report ``bitrate_switch`` True when the data bitrate is above the nominal one, and ESI
    False. Virtual adapters report both as the sender set them.

    ``virtual_adapter`` is the index of the virtual adapter a ``virtual:`` channel plugged (for
    :func:`fdhost_can.virtual.controller`), None on hardware.
    """

    # Class defaults, so that shutdown() and __del__ work on an instance whose __init__ never ran.
    _native_bus: Optional[_native.NativeBus] = None
    _drops: Optional[DropReporter] = None
    virtual_adapter: Optional[int] = None

    def __init__(
        self,
        channel: Any = None,
        bitrate: Optional[int] = None,
        data_bitrate: Optional[int] = None,
        fd: bool = False,
        timing: Optional[bit_timing.Timing] = None,
        receive_own_messages: bool = False,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        **kwargs: object,
    ) -> None:
        parsed = channels.parse_channel(channel)
        native = _native.load()
        fields = bit_timing.setup_fields(native, bitrate=bitrate, data_bitrate=data_bitrate, fd=fd, timing=timing)
        # python-can reads the protocol while its own __init__ runs, so it is set first.
        self._can_protocol = can.CanProtocol.CAN_FD if fields.is_fd else can.CanProtocol.CAN_20
        self.channel_info = _describe_channel(parsed)
        # Messages carry the channel as the program named it, so equals() against a sent message works.
        self.channel = channel if channel is not None else str(parsed)
        self._drops = DropReporter()
        self._open(native, parsed, fields, bool(receive_own_messages))
        try:
            # Last: it applies the filters (natively, through _apply_filters) and marks the Bus open.
            super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)
        except BaseException:
            self._close_native()
            raise
        _open_buses.add(self)

    # -- opening ---------------------------------------------------------------------------------

    def _open(self, native: ModuleType, parsed: channels.Channel, fields: bit_timing.SetupFields, receive_own: bool) -> None:
        with _device_lock:
            if isinstance(parsed, channels.VirtualChannel):
                serial = self._plug(parsed)
            else:
                serial = self._find(parsed)
            try:
                self._native_bus = self._construct(native, serial, fields, receive_own)
            except BaseException:
                self._unplug()
                raise
        if isinstance(parsed, channels.AdapterChannel) and parsed.serial is None:
            # The only adapter: name it by what was found.
            self.channel_info = f"fdhost adapter {serial}"
            self.channel = serial

    def _plug(self, parsed: channels.VirtualChannel) -> str:
        """A fresh virtual adapter on the named virtual bus; its serial."""
        try:
            vad = virtual.controller()
            self.virtual_adapter = vad.plug(parsed.bus, VIRTUAL_ADAPTER_CONFIG)
            return vad.serial(self.virtual_adapter)
        except (virtual.VadError, OSError) as e:
            raise can.CanInitializationError(
                f"{self.channel_info}: the virtual adapter cannot be used in this process: {e}"
            ) from e

    def _find(self, parsed: channels.AdapterChannel) -> str:
        try:
            present = adapters.present_serials()
        except Exception as e:  # noqa: BLE001 - pyusb without a libusb, or with a broken one
            raise can.CanInitializationError(f"{self.channel_info}: cannot list adapters: {e}") from e
        try:
            return channels.select_serial(parsed, present)
        except can.CanInitializationError as e:
            lib = virtual.pyusb_library()
            if virtual.is_virtual(lib):
                raise can.CanInitializationError(
                    f"{e}; pyusb in this process runs on the virtual adapter library ({lib._name}), "
                    "which does not see hardware adapters"
                ) from None
            raise

    def _construct(self, native: ModuleType, serial: str, fields: bit_timing.SetupFields,
                   receive_own: bool) -> _native.NativeBus:
        sink = OpenLines()
        try:
            bus: _native.NativeBus = native.fdhost(
                round(fields.nominal_bitrate), round(fields.data_bitrate), serial,
                line_sink=sink, settle=self.virtual_adapter is None, setup=bytes(fields),
                receive_queue=RECEIVE_QUEUE_FRAMES, receive_own=receive_own,
                virtual_adapter=self.virtual_adapter is not None,
            )
        except SystemExit as e:  # the extension ends a failed opening so; its lines say why
            raise can.CanInitializationError(self._failure(sink, f"opening failed ({e.code})")) from None
        except (OSError, ValueError, TypeError) as e:  # pyusb's USBError is an OSError
            raise can.CanInitializationError(self._failure(sink, str(e))) from e
        sink.collecting = False
        if sink.failures:  # a step failed without ending the opening (a halt not cleared ...)
            with _device_lock:
                bus.close()
            raise can.CanInitializationError(self._failure(sink, "opening failed"))
        return bus

    def _failure(self, sink: OpenLines, fallback: str) -> str:
        return f"{self.channel_info}: " + ("; ".join(sink.failures) or fallback)

    # -- receiving -------------------------------------------------------------------------------

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[can.Message], bool]:
        bus = self._live()
        try:
            item = bus.recv_message(-1.0 if timeout is None else timeout)
        except OSError as e:  # no more frames: the adapter went away, or the Bus closed meanwhile
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: {e.strerror or e}") from e
        if self._drops is not None:
            self._drops.update(bus.receive_dropped)
        if item is None:
            return None, True
        # Filtered natively: frames no filter accepts never left the reader thread.
        return message_from_native(item, self.channel), True

    @property
    def dropped_frames(self) -> int:
        """Frames the full receive queue dropped (the newest ones) since the Bus opened."""
        bus = self._native_bus
        return bus.receive_dropped if bus is not None else 0

    def fileno(self) -> int:
        """A descriptor readable while received frames wait (-1 where the platform has none, or once
        shut down), so a ``can.Notifier`` on an asyncio loop needs no thread."""
        bus = self._native_bus
        return bus.receive_fileno() if bus is not None else -1

    def _apply_filters(self, filters_: Optional[can.typechecking.CanFilters]) -> None:
        self._live().set_receive_filters(filters.native_rules(filters_))

    # -- sending ---------------------------------------------------------------------------------

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Sends one frame; ``timeout`` (seconds, None for ever) bounds the wait for room in the
        adapter's transmit queue, after which ``can.CanOperationError`` is raised. A message the
        adapter cannot carry (an identifier out of range, too much data ...) raises ValueError."""
        bus = self._live()
        length = msg.dlc if msg.is_remote_frame else len(msg.data)
        try:
            bus.send_message(msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_fd,
                             msg.bitrate_switch, msg.data, length, -1.0 if timeout is None else timeout)
        except TimeoutError as e:
            raise can.CanOperationError(f"{self.channel_info}: transmit queue still full after {timeout} s") from e
        except OSError as e:  # pyusb's USBError too
            if e.errno == errno.ENODEV:  # unplugged: closed from now on
                self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: sending failed: {e.strerror or e}") from e

    # -- state and life cycle --------------------------------------------------------------------

    @property
    def state(self) -> can.BusState:
        return can.BusState.ACTIVE

    @state.setter
    def state(self, new_state: can.BusState) -> None:
        if new_state != can.BusState.ACTIVE:
            raise can.CanInterfaceNotImplementedError(
                f"the fdhost adapter has no {getattr(new_state, 'name', new_state)} (listen-only) mode; "
                "it always takes part in the bus (acknowledges frames)"
            )

    def shutdown(self) -> None:
        """Closes the Bus; safe to call again, from ``__del__``, and on an unfinished instance."""
        super().shutdown()
        self._close_native()

    def _close_native(self) -> None:
        # Popping from the instance dictionary is atomic, so concurrent closers close once.
        bus = self.__dict__.pop("_native_bus", None)
        if bus is None:
            return
        if threading.current_thread() in (bus.rec_thread, bus.rec_thread2):
            # Collected as garbage on one of its own workers, which cannot wait for itself.
            threading.Thread(target=self._close, args=(bus,), name="fdhost-close").start()
        else:
            self._close(bus)

    def _close(self, bus: _native.NativeBus) -> None:
        self._let_virtual_queue_drain()
        with _device_lock:
            bus.close()  # stops the workers, wakes blocked receivers, releases the adapter
            self._unplug()

    def _let_virtual_queue_drain(self) -> None:
        """Frames a closing virtual Bus has handed to its adapter still go out, as an adapter left
        powered sends what it holds: `fdhost-can send` closes right after its last write. Waits while
        the queue shrinks, up to a limit; a bus that carries none of them meanwhile (another node's
        stream of lower identifiers, a crawling bitrate) keeps the rest."""
        index = self.__dict__.get("virtual_adapter")
        if index is None:
            return
        try:
            vad = virtual.controller()
            queued, progress_at = vad.counter("tx_queued", adapter=index), time.monotonic()
            give_up = progress_at + DRAIN_LIMIT_S
            while queued > 0 and time.monotonic() < min(give_up, progress_at + DRAIN_STALL_S):
                time.sleep(DRAIN_POLL_S)
                now_queued = vad.counter("tx_queued", adapter=index)
                if now_queued < queued:
                    progress_at = time.monotonic()
                queued = now_queued
            if queued:
                LOG.debug("virtual adapter %s: %d frames not sent before closing", index, queued)
        except virtual.VadError as e:  # already gone
            LOG.debug("virtual adapter %s: %s", index, e)

    def _unplug(self) -> None:
        index = self.__dict__.pop("virtual_adapter", None)
        if index is not None:
            try:
                virtual.controller().unplug(adapter=index)
            except virtual.VadError as e:  # already gone (a test's fault, say)
                LOG.debug("virtual adapter %s: %s", index, e)

    def _live(self) -> _native.NativeBus:
        bus = self._native_bus
        if bus is None:
            raise can.CanOperationError(f"{self.channel_info}: the bus is shut down")
        return bus

    @staticmethod
    def _detect_available_configs() -> list[can.typechecking.AutoDetectedConfig]:
        """Every connected adapter by serial; never raises (python-can only expects
        NotImplementedError), and returns an empty list when pyusb finds no libusb."""
        try:
            serials = adapters.present_serials()
        except Exception as e:  # noqa: BLE001 - detection must not fail
            LOG.debug("fdhost adapter detection failed: %s", e)
            return []
        return [{"interface": "fdhost", "channel": serial} for serial in serials if serial]

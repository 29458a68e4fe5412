"""``FdhostBus``: the python-can Bus of the ``fdhost`` interface.

The frame paths are native: the extension's reader thread decodes the adapter's containers, applies
the filters and the own-echo choice, and queues frames without the interpreter lock; ``send`` builds
and writes the transmit record. This module adds what python-can expects around them.

Lines marked ``NATIVE:`` are where the extension's Bus object (``fdhost.CanBus``) is called; until
the extension provides it, opening a Bus raises ``can.CanInitializationError`` saying so.
"""
from __future__ import annotations

import logging
from typing import Any, Optional

import can

from . import _native, channels, filters
from . import timing as bit_timing
from .log import DropReporter, line_sink

LOG = logging.getLogger("can.fdhost")

# Frames the native queue holds for a slow reader before it drops the newest.
RECEIVE_QUEUE_FRAMES = 65536

_new_message = can.Message.__new__


def message_from_native(item: tuple, channel: Any) -> can.Message:
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
    sent. Received CAN FD frames report ``bitrate_switch`` False: the adapter's receive record does
    not say whether the sender switched rates.
    """

    # Class defaults, so that shutdown() and __del__ work on an instance whose __init__ never ran.
    _native_bus: Any = None
    _drops: Optional[DropReporter] = None

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

    def _open(self, native, parsed: channels.Channel, fields: bit_timing.SetupFields, receive_own: bool) -> None:
        can_bus = _native.require(native, "CanBus")
        if isinstance(parsed, channels.VirtualChannel):
            # NATIVE: make pyusb run on the packaged virtual adapter library, plug a fresh virtual
            # adapter onto the bus parsed.bus and take its serial.
            raise can.CanInitializationError("virtual channels are not available in this build")
        serial = channels.select_serial(parsed, native.list_adapters())  # NATIVE: serials, no claim
        # NATIVE: opens without fixed pauses, sends the bit timing, starts the reader; lines go to the sink.
        try:
            self._native_bus = can_bus(serial, bytes(fields), line_sink=line_sink, receive_own=receive_own,
                                       queue_frames=RECEIVE_QUEUE_FRAMES)
        except can.CanError:
            raise
        except Exception as e:  # a refused command, a USB error: python-can expects this one type
            raise can.CanInitializationError(f"{self.channel_info}: {e}") from e
        if parsed.serial is None:  # the only adapter: name it by what was found
            self.channel_info = f"fdhost adapter {serial}"
            self.channel = serial

    # -- receiving -------------------------------------------------------------------------------

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[can.Message], bool]:
        bus = self._live()
        try:
            item = bus.recv(-1.0 if timeout is None else float(timeout))  # NATIVE: None on time-out
        except OSError as e:  # the adapter went away: closed from now on
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: {e}") from e
        self._drops.update(bus.dropped)  # NATIVE: running drop total of the receive queue
        if item is None:
            return None, True
        # Filtered natively: frames no filter accepts never left the reader thread.
        return message_from_native(item, self.channel), True

    @property
    def dropped_frames(self) -> int:
        """Frames the full receive queue dropped (the newest ones) since the Bus opened."""
        bus = self._native_bus
        return bus.dropped if bus is not None else 0  # NATIVE

    def fileno(self) -> int:
        """A descriptor readable while received frames wait (-1 where the platform has none, or once
        shut down), so a ``can.Notifier`` on an asyncio loop needs no thread."""
        bus = self._native_bus
        return bus.fileno() if bus is not None else -1  # NATIVE

    def _apply_filters(self, filters_: Optional[can.typechecking.CanFilters]) -> None:
        rules = filters.native_rules(filters_)
        self._live().set_filters(rules)  # NATIVE: None passes every frame

    # -- sending ---------------------------------------------------------------------------------

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Sends one frame; ``timeout`` (seconds, None for ever) bounds the wait for room in the
        adapter's transmit queue, after which ``can.CanOperationError`` is raised."""
        bus = self._live()
        length = msg.dlc if msg.is_remote_frame else len(msg.data)
        try:
            # NATIVE: builds and validates the transmit record; ValueError names what is invalid.
            bus.send(msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_fd, msg.bitrate_switch,
                     msg.data, length, -1.0 if timeout is None else float(timeout))
        except TimeoutError as e:
            raise can.CanOperationError(f"{self.channel_info}: transmit queue still full after {timeout} s") from e
        except OSError as e:
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: {e}") from e

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
        if bus is not None:
            bus.close()  # NATIVE: stops the reader, wakes blocked recv() calls, releases the adapter

    def _live(self):
        bus = self._native_bus
        if bus is None:
            raise can.CanOperationError(f"{self.channel_info}: the bus is shut down")
        return bus

    @staticmethod
    def _detect_available_configs() -> list[dict]:
        """Every connected adapter by serial; never raises (python-can only expects
        NotImplementedError), and returns an empty list when the extension cannot be used."""
        try:
            serials = _native.load().list_adapters()  # NATIVE: serials only, no claim, no printing
        except Exception as e:  # noqa: BLE001 - detection must not fail
            LOG.debug("fdhost adapter detection failed: %s", e)
            return []
        return [{"interface": "fdhost", "channel": serial} for serial in serials]

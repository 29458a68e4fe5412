"""``FdhostBus``: the python-can Bus of the ``fdhost`` interface.

The Bus runs on the adapter core (``fdhost_can._native``): it finds the adapter by serial, claims it,
starts capture, sets the bit timing, and from then on one native event thread per process serves
every open adapter (queued reads, heartbeats). Received frames are decoded, timed from their header
time stamps, filtered and queued natively; ``recv`` takes them from that queue, waiting with the
interpreter lock released. Reports go to the logger ``can.fdhost``. This module adds what python-can
expects around that.
"""
from __future__ import annotations

import atexit
import errno
import time
import weakref
from typing import Any, Optional

import can

from . import _native, adapter_counters, adapters, channels, detection, filters, virtual
from . import timing as bit_timing
from .counter_watch import CounterWatch
from .log import emit, logger

# Frames the native queue holds for a slow reader before it drops the newest.
RECEIVE_QUEUE_FRAMES = 65536
RECEIVE_QUEUE_MAX = 1 << 24
# How a virtual adapter is plugged for a Bus: it hands each frame out as soon as it has left the bus
# (on a busy bus the core keeps few reads queued while completions gather, so frames come in few
# containers anyway). It captures from the moment it is on the bus (where `fdhost-can list` shows
# it), not only once the Bus has finished opening: a frame sent meanwhile waits in its receive buffer.
VIRTUAL_ADAPTER_CONFIG = "capture=1"
# How long a closing virtual Bus lets its transmit queue drain: in all, and without progress.
DRAIN_LIMIT_S, DRAIN_STALL_S, DRAIN_POLL_S = 5.0, 0.25, 0.001

# Warnings about frames handed to send(); a program with its own account of them (the command
# line's send and gen) leaves these out by their text.
ESI_NOT_SENT = "%s: the adapter's transmit record has no error state indicator: CAN FD frames go out without it (ESI 0)"
UNSENT_AT_CLOSE = "%s: %d frame%s not sent before closing: %s"

_native.set_message_class(can.Message)
_native.set_log_handler(emit)

# Buses still open when the interpreter exits are shut down first: their adapters are released
# and virtual ones unplugged. (The core's threads are native and hold no exit up.)
_open_buses: "weakref.WeakSet[FdhostBus]" = weakref.WeakSet()
# What detection needs of each open Bus.
_detected: "weakref.WeakKeyDictionary[FdhostBus, detection.OpenBus]" = weakref.WeakKeyDictionary()


@atexit.register
def _shutdown_open_buses() -> None:
    for bus in list(_open_buses):
        bus.shutdown()


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
    :param can_filters: python-can filters, applied natively (see :mod:`fdhost_can.filters`).
    :param receive_queue_size: received frames held for a program that does not keep up (default
        65536, up to 16777216); beyond that the newest are dropped and counted in ``dropped_frames``.
    :param ignore_rx_error_frames: on a virtual bus, leave out the error frames (as python-can's
        ``socketcan``); they come from the virtual adapter's error counters (:mod:`fdhost_can.bus_errors`).

    Other keywords (``single_handle`` from python-can's tools, the timing keys such as ``f_clock``)
    are accepted and ignored. Sending carries the identifier format, remote frames, CAN FD and the
    bitrate switch; the adapter's transmit record has no error-state-indicator bit, so ESI is never
    sent. The adapter's receive record has no bit for the bitrate switch or ESI either: received CAN
    FD frames report ``bitrate_switch`` True when the data bitrate is above the nominal one, and ESI
    False. The virtual adapter reports both as the sender set them, also when it is reached through
    the kernel as a USB/IP device (``fdhost-usbip``).

    Each received frame carries its own time: on a virtual bus the moment it ended on the bus (the
    virtual adapter's stamps are microseconds of the host's monotonic clock); on an adapter its
    header time stamp, mapped to the host's clock by a rate and offset learned from the stream, or,
    while that cannot be done, the reception time of its transfer. ``time_source`` tells which.

    ``virtual_adapter`` is the index of the virtual adapter a ``virtual:`` channel plugged (for
    :func:`fdhost_can.virtual.controller`), None on hardware.
    """

    # Class defaults, so that shutdown() and __del__ work on an instance whose __init__ never ran.
    _adapter: Optional[_native.Adapter] = None
    virtual_adapter: Optional[int] = None
    _tx_counters: Optional[adapter_counters.Counters] = None
    _watch: Optional[CounterWatch] = None
    _esi_noted = False

    def __init__(
        self,
        channel: Any = None,
        bitrate: Optional[int] = None,
        data_bitrate: Optional[int] = None,
        fd: bool = False,
        timing: Optional[bit_timing.Timing] = None,
        receive_own_messages: bool = False,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        receive_queue_size: int = RECEIVE_QUEUE_FRAMES,
        ignore_rx_error_frames: bool = False,
        **kwargs: object,
    ) -> None:
        parsed = channels.parse_channel(channel)
        if isinstance(receive_queue_size, bool) or not isinstance(receive_queue_size, int) \
                or not 1 <= receive_queue_size <= RECEIVE_QUEUE_MAX:
            raise can.CanInitializationError(
                f"receive_queue_size {receive_queue_size!r}: give a number of frames from 1 to {RECEIVE_QUEUE_MAX}")
        fields = bit_timing.setup_fields(_native, bitrate=bitrate, data_bitrate=data_bitrate, fd=fd, timing=timing)
        # python-can reads the protocol while its own __init__ runs, so it is set first.
        self._can_protocol = can.CanProtocol.CAN_FD if fields.is_fd else can.CanProtocol.CAN_20
        timing_keys: dict[str, object] = {"bitrate": round(fields.nominal_bitrate), "fd": fields.is_fd}
        if fields.is_fd:
            timing_keys["data_bitrate"] = round(fields.data_bitrate)
        self.channel_info = _describe_channel(parsed)
        # Messages carry the channel as the program named it, so equals() against a sent message works.
        self.channel = channel if channel is not None else str(parsed)
        self._open(parsed, fields, bool(receive_own_messages), receive_queue_size)
        if self.virtual_adapter is not None:
            self._watch = CounterWatch(self.virtual_adapter, self.channel, self.channel_info,
                                       error_frames=not ignore_rx_error_frames)
        try:
            # Last: it applies the filters (natively, through _apply_filters) and marks the Bus open.
            super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)
        except BaseException:
            self._close_native()
            raise
        _open_buses.add(self)
        virtual_bus = parsed.bus if isinstance(parsed, channels.VirtualChannel) else None
        _detected[self] = detection.OpenBus(self._live().serial, virtual_bus, timing_keys)

    # -- opening ---------------------------------------------------------------------------------

    def _open(self, parsed: channels.Channel, fields: bit_timing.SetupFields, receive_own: bool,
              queue_frames: int) -> None:
        library: Optional[str] = None
        if isinstance(parsed, channels.VirtualChannel):
            serial = self._plug(parsed)
            library = str(virtual.library_path())
            self._tx_counters = adapter_counters.read(self.virtual_adapter)
        else:
            serial = self._find(parsed)
        try:
            self._adapter = _native.open(serial, bytes(fields), library=library, queue_frames=queue_frames,
                                         receive_own=receive_own)
        except _native.OpenError as e:
            self._unplug()
            raise can.CanInitializationError(f"{self.channel_info}: {e}") from None
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
                f"{self.channel_info}: the virtual adapter cannot be used: {e}"
            ) from e

    def _find(self, parsed: channels.AdapterChannel) -> str:
        try:
            present = adapters.present_serials()
        except _native.OpenError as e:  # no usable libusb-1.0
            raise can.CanInitializationError(f"{self.channel_info}: cannot list adapters: {e}") from e
        return channels.select_serial(parsed, present)

    # -- receiving -------------------------------------------------------------------------------

    def _recv_internal(self, timeout: Optional[float]) -> tuple[Optional[can.Message], bool]:
        adapter = self._adapter
        if adapter is None:
            raise can.CanOperationError(f"{self.channel_info}: the bus is shut down")
        if timeout is None or timeout == float("inf"):
            native_timeout = -1.0  # for ever
        elif timeout != timeout:
            raise ValueError("recv(nan): give a time-out in seconds, or None to wait for ever")
        else:
            native_timeout = max(timeout, 0.0)  # a negative time-out only looks, as python-can's own buses do
        # Filtered natively: frames no filter accepts never reached the queue.
        watch = self._watch
        if watch is None:
            return self._take(adapter, native_timeout), True
        return self._take_watching(adapter, watch, native_timeout), True

    def _take_watching(self, adapter: _native.Adapter, watch: CounterWatch, timeout: float) -> Optional[can.Message]:
        """The next frame of a virtual adapter, or an error frame its counters give: they are looked
        at every CHECK_S, also while waiting. While frames keep waiting (a busy bus) the clock is not
        even read: the counters are looked at every LOOK_FRAMES frames."""
        channel = self.channel
        try:
            if watch.frames_left and not watch.errors:
                watch.frames_left -= 1
                msg: Optional[can.Message] = adapter.recv(0.0, channel)
                if msg is not None:
                    return msg
            now = time.monotonic()
            deadline = None if timeout < 0 else now + timeout
            while True:
                if now >= watch.check_at:
                    watch.look()
                if watch.errors:
                    return watch.errors.popleft()
                until = watch.check_at if deadline is None or watch.check_at < deadline else deadline
                msg = adapter.recv(until - now if until > now else 0.0, channel)
                if msg is not None:
                    return msg
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    return None
        except _native.AdapterGone as e:
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: {e}") from e

    def _take(self, adapter: _native.Adapter, timeout: float) -> Optional[can.Message]:
        try:
            msg: Optional[can.Message] = adapter.recv(timeout, self.channel)
        except _native.AdapterGone as e:  # no more frames: the adapter went away, or the Bus closed meanwhile
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: {e}") from e
        return msg

    @property
    def dropped_frames(self) -> int:
        """Frames lost to this Bus since it opened: those the full receive queue dropped (the newest
        ones), and on a virtual bus those the bus carried while this process did not look for too long."""
        adapter, watch = self._adapter, self._watch
        if adapter is None:
            return 0
        if watch is None:
            return adapter.dropped
        watch.look()
        return adapter.dropped + watch.missed

    @property
    def time_source(self) -> str:
        """How the latest received frame's ``timestamp`` was obtained: ``"bus clock"`` (a virtual
        bus: the moment it ended on the bus), ``"learned"`` (an adapter's header time stamp, mapped
        to the host's clock by a rate and offset learned from the stream) or ``"arrival"`` (the
        reception time of its transfer: the adapter's stamps are not usable, or not learned yet)."""
        adapter = self._adapter
        return adapter.time_source if adapter is not None else "arrival"

    @property
    def arrival_timed_frames(self) -> int:
        """Frames received so far whose time is their reception time (see ``time_source``)."""
        adapter = self._adapter
        return adapter.arrival_timed if adapter is not None else 0

    def fileno(self) -> int:
        """A descriptor readable while received frames wait, or once the adapter has gone (-1 where
        the platform has none, or once shut down), so a ``can.Notifier`` on an asyncio loop needs no
        thread."""
        adapter = self._adapter
        return adapter.fileno() if adapter is not None else -1

    def _apply_filters(self, filters_: Optional[can.typechecking.CanFilters]) -> None:
        self._live().set_filters(filters.native_rules(filters_))

    # -- sending ---------------------------------------------------------------------------------

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Sends one frame; ``timeout`` (seconds, None for ever) bounds the wait for room in the
        adapter's transmit queue, after which ``can.CanOperationError`` is raised. A message the
        adapter cannot carry (an identifier out of range, too much data ...) raises ValueError."""
        adapter = self._live()
        if msg.is_fd or msg.is_error_frame:
            self._check_special(msg)
        length = msg.dlc if msg.is_remote_frame else len(msg.data)
        try:
            adapter.send(msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.is_fd, msg.bitrate_switch,
                         msg.data, length, -1.0 if timeout is None else timeout)
        except _native.TransmitTimeout as e:
            raise can.CanOperationError(f"{self.channel_info}: transmit queue still full after {timeout} s"
                                        f"{self._why_queue_full()}") from e
        except _native.AdapterGone as e:  # unplugged or closed: closed from now on
            self._close_native()
            raise can.CanOperationError(f"{self.channel_info}: sending failed: {e}") from e
        except OSError as e:
            raise can.CanOperationError(f"{self.channel_info}: sending failed: {e}") from e

    def _check_special(self, msg: can.Message) -> None:
        """Refuses what this Bus cannot put on the bus; says once that ESI is not sent."""
        if msg.is_error_frame:
            raise ValueError("an error frame is signalled by a controller, not sent as a message; "
                             "the adapter sends data and remote frames only")
        if self._can_protocol is can.CanProtocol.CAN_20:
            # As a classic CAN socket refuses an FD frame (EINVAL, which python-can's socketcan
            # raises as CanOperationError): the bus is classic, the message may be fine elsewhere.
            raise can.CanOperationError(f"{self.channel_info}: a CAN FD frame cannot go out on a classic CAN Bus "
                                        "(open it with fd=True)", errno.EINVAL)
        if msg.error_state_indicator and not self._esi_noted:
            self._esi_noted = True
            logger.warning(ESI_NOT_SENT, self.channel_info)

    def _why_queue_full(self) -> str:
        """": <reason>" where the virtual adapter's counters tell what held the queue up since the
        last time they were asked (or the Bus opened); "" on hardware."""
        now = adapter_counters.read(self.virtual_adapter)
        if now is None:
            return ""
        start, self._tx_counters = self._tx_counters, now
        return ": " + adapter_counters.why_not_sent(start, now, str(self.channel))

    # -- state and life cycle --------------------------------------------------------------------

    @property
    def state(self) -> can.BusState:
        """On a virtual bus ERROR while the adapter's controller is error passive (its error
        counters tell); otherwise, and on hardware, ACTIVE."""
        watch = self._watch
        return watch.state() if watch is not None and self._adapter is not None else can.BusState.ACTIVE

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
        adapter = self.__dict__.pop("_adapter", None)
        if adapter is None:
            return
        _detected.pop(self, None)
        self._let_virtual_queue_drain()
        if self._watch is not None:
            self._watch.look()
        adapter.close()  # stops the heartbeat and the reads, wakes blocked receivers, releases the adapter
        self._unplug()

    def _let_virtual_queue_drain(self) -> None:
        """Frames a closing virtual Bus has handed to its adapter still go out, as an adapter left
        powered sends what it holds: `fdhost-can send` closes right after its last write. Waits while
        the queue shrinks, up to a limit; a bus that carries none of them meanwhile (another node's
        stream of lower identifiers, nobody to acknowledge them) keeps the rest, and a warning says
        how many were not sent and why."""
        index = self.__dict__.get("virtual_adapter")
        start = adapter_counters.read(index)
        if start is None:  # hardware, or already gone
            return
        queued, progress_at = start["tx_queued"], time.monotonic()
        give_up, now = progress_at + DRAIN_LIMIT_S, start
        while queued > 0 and time.monotonic() < min(give_up, progress_at + DRAIN_STALL_S):
            time.sleep(DRAIN_POLL_S)
            latest = adapter_counters.read(index)
            if latest is None:
                return
            if latest["tx_queued"] < queued:
                progress_at = time.monotonic()
            now, queued = latest, latest["tx_queued"]
        if queued:
            logger.warning(UNSENT_AT_CLOSE, self.channel_info, queued, "s" if queued != 1 else "",
                           adapter_counters.why_not_sent(start, now, str(self.channel)))

    def _unplug(self) -> None:
        index = self.__dict__.pop("virtual_adapter", None)
        if index is not None:
            try:
                virtual.controller().unplug(adapter=index)
            except virtual.VadError as e:  # already gone (a test's fault, say)
                logger.debug("virtual adapter %s: %s", index, e)

    def _live(self) -> _native.Adapter:
        adapter = self._adapter
        if adapter is None:
            raise can.CanOperationError(f"{self.channel_info}: the bus is shut down")
        return adapter

    @staticmethod
    def _detect_available_configs() -> list[can.typechecking.AutoDetectedConfig]:
        """Every virtual bus of the user and every adapter a Bus could open now (see
        :mod:`fdhost_can.detection`); never raises (python-can only expects NotImplementedError)."""
        return detection.available_configs(list(_detected.values()))  # type: ignore[return-value]

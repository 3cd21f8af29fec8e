"""Reads the frames of a Kestavo relay. Standard library only; Python 3.8 or later.

    import kestavo
    for frame in kestavo.frames("127.0.0.1", 9001):
        if frame.type == kestavo.SAMPLE:
            print(*frame.samples)

The wire format is described in PROTOCOL.md.
"""

import socket
import ssl
import struct
from typing import BinaryIO, Callable, Iterator, NamedTuple, Optional, Tuple

SAMPLE = 0
CONFIGURATION = 1
STOP = 3

_HEAD = struct.Struct("<ii")
_SAMPLE_PACKET = struct.Struct("<HHBBHHH")
_SAMPLE_CONSTANTS = (2, 126, 5, 7, 5, 0)
_CONFIGURATION_SIZE = 264
_CONFIGURATION_ENTRIES = 21


class ProtocolError(Exception):
    """The stream is not a Kestavo relay's: a frame that breaks the format."""


class Frame(NamedTuple):
    type: int
    samples: Tuple[int, ...] = ()  # sample frames: the three samples, 0 to 65535
    active_entry: Optional[int] = None  # configuration frames
    active_code: Optional[int] = None


def _check_sample(body: bytes) -> Frame:
    if len(body) < 14 or len(body) % 2:
        raise ProtocolError(f"sample frame of {len(body) + 8} bytes")
    *head, count = _SAMPLE_PACKET.unpack_from(body)
    if tuple(head) != _SAMPLE_CONSTANTS:
        raise ProtocolError("sample frame with an unexpected packet head")
    if len(body) != 14 + 2 * count:
        raise ProtocolError(f"sample frame of {len(body) + 8} bytes says it holds {count} samples")
    values = struct.unpack_from(f"<{count + 1}H", body, 12)
    if values[-1] != 0:
        raise ProtocolError("sample frame whose word after the last sample is not 0")
    return Frame(SAMPLE, samples=values[:-1])


def _check_configuration(body: bytes) -> Frame:
    if len(body) != _CONFIGURATION_SIZE - 8:
        raise ProtocolError(f"configuration frame of {len(body) + 8} bytes, not 264")
    (counted,) = struct.unpack_from("<i", body)
    active = []
    for i in range(_CONFIGURATION_ENTRIES):
        flag, code, reserved = struct.unpack_from("<iii", body, 4 + 12 * i)
        if flag == 1:
            active.append((i, code))
        elif (flag, code, reserved) != (0, 0, 0):
            raise ProtocolError(f"configuration entry {i} is neither active nor empty")
    if counted != len(active):
        raise ProtocolError(f"configuration frame counts {counted} active entries, holds {len(active)}")
    entry, code = active[-1] if active else (None, None)
    return Frame(CONFIGURATION, active_entry=entry, active_code=code)


def read_frames(read: Callable[[int], bytes]) -> Iterator[Frame]:
    """Yields the frames that read(n) (up to n bytes; b"" at the end) brings, the stop frame last.

    Raises ProtocolError on a malformed frame, and ConnectionError when the stream ends without a stop
    frame.
    """
    buffer = bytearray()

    def take(size: int) -> bytes:
        while len(buffer) < size:
            chunk = read(65536)
            if not chunk:
                raise ConnectionError("the relay closed the connection without a stop frame")
            buffer.extend(chunk)
        piece = bytes(buffer[:size])
        del buffer[:size]
        return piece

    while True:
        kind, length = _HEAD.unpack(take(_HEAD.size))
        if kind not in (SAMPLE, CONFIGURATION, STOP):
            raise ProtocolError(f"unknown frame type {kind}")
        if not _HEAD.size <= length <= _CONFIGURATION_SIZE:
            raise ProtocolError(f"frame of type {kind} claims {length} bytes")
        body = take(length - _HEAD.size)
        if kind == STOP:
            if length != 8:
                raise ProtocolError(f"stop frame of {length} bytes, not 8")
            yield Frame(STOP)
            return
        yield _check_sample(body) if kind == SAMPLE else _check_configuration(body)


def _tls_context(ca: Optional[str], cert: Optional[str], key: Optional[str]) -> ssl.SSLContext:
    context = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=ca)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if cert is not None:
        context.load_cert_chain(cert, key)
    return context


def frames(
    host: str,
    port: int,
    timeout: Optional[float] = None,
    tls: bool = False,
    ca: Optional[str] = None,
    cert: Optional[str] = None,
    key: Optional[str] = None,
) -> Iterator[Frame]:
    """Connects to the relay at host (a name, an IPv4 or IPv6 address) and port, and yields its frames
    until the stop frame, which is yielded last. timeout bounds each wait for data, in seconds.

    With tls=True it speaks TLS to the relay's TLS port: the relay's certificate must be signed by the
    CA in the file ca (else one the system trusts) and name host; cert and key present this client's
    certificate. A certificate turned down on either side raises ssl.SSLError."""
    with socket.create_connection((host, port), timeout=timeout) as connection:
        if not tls:
            yield from read_frames(connection.recv)
            return
        context = _tls_context(ca, cert, key)
        with context.wrap_socket(connection, server_hostname=host) as secured:
            yield from read_frames(secured.recv)


def samples(host: str, port: int, timeout: Optional[float] = None, **tls_options) -> Iterator[Tuple[int, ...]]:
    """The samples of each sample frame, until the relay stops. Takes frames()'s TLS options."""
    for frame in frames(host, port, timeout, **tls_options):
        if frame.type == SAMPLE:
            yield frame.samples


# What the service's outputs say of the transfers in each message (PROTOCOL.md, "Which transfers a
# message holds"). Nothing here needs a NATS or ZeroMQ library: give it what yours received.

_ZMQ_HEADER = struct.Struct("<QIIq")


class Transfers(NamedTuple):
    """The transfers of one message: `count` of them, numbered from `first`, of the dongle's opening
    `opening`; the first read at `time_ns` (ns since the Unix epoch, the service's clock). `dropped`:
    how many the service itself dropped since its previous message (NATS only; 0 otherwise)."""

    opening: int
    first: int
    count: int
    time_ns: int
    dropped: int = 0


class Missed(NamedTuple):
    """Transfers a subscriber did not get: `count` of them from `first`, of opening `opening`; of those,
    `dropped` the service said it dropped itself (the rest were lost on the way, or in flight when a
    server went)."""

    opening: int
    first: int
    count: int
    dropped: int = 0


def nats_transfers(headers) -> Transfers:
    """The Transfers of a NATS message of samples, from its headers (a mapping of names to text, as
    NATS clients give them). Raises ProtocolError when they are missing or malformed."""

    def number(name: str, default: Optional[int] = None) -> int:
        value = headers.get(name)
        if value is None:
            if default is None:
                raise ProtocolError(f"no {name} header")
            return default
        if isinstance(value, (list, tuple)):
            value = value[0]
        text = value.decode() if isinstance(value, bytes) else str(value)
        if not text.strip().isdigit():
            raise ProtocolError(f"{name} is not a number: {text!r}")
        return int(text)

    return Transfers(
        number("Kestavo-Open"),
        number("Kestavo-Seq"),
        number("Kestavo-Count"),
        number("Kestavo-Time"),
        number("Kestavo-Dropped", 0),
    )


def zmq_transfers(header: bytes) -> Transfers:
    """The Transfers of a ZeroMQ message of samples, from its first part (--zmq-header)."""
    if len(header) != _ZMQ_HEADER.size:
        raise ProtocolError(f"ZeroMQ header of {len(header)} bytes, not {_ZMQ_HEADER.size}")
    first, count, opening, time_ns = _ZMQ_HEADER.unpack(header)
    return Transfers(opening, first, count, time_ns)


class GapFinder:
    """Follows one output's messages in the order they arrive and says what was missed between them.

        gaps = kestavo.GapFinder()
        missed = gaps.take(kestavo.nats_transfers(message.headers))
        if missed:
            print(f"missed {missed.count} transfers from {missed.first}")

    Before the first message nothing is known, so nothing before it is missed. When the opening changes
    (the dongle was unplugged and opened again, or the service restarted) the new opening's transfers
    before the message are missed; how many of the old opening's last ones were is not known.
    """

    def __init__(self):
        self.opening: Optional[int] = None
        self.next = 0
        self.missed = 0  # transfers missed in all
        self.dropped = 0  # of them, what the service said it dropped

    def take(self, transfers: Transfers) -> Optional[Missed]:
        """The transfers missed just before these, or None."""
        if self.opening is None:
            gap = None
        elif transfers.opening != self.opening:
            gap = Missed(transfers.opening, 0, transfers.first) if transfers.first > 0 else None
        elif transfers.first > self.next:
            gap = Missed(transfers.opening, self.next, transfers.first - self.next)
        else:
            gap = None
        if gap is not None:
            gap = gap._replace(dropped=min(transfers.dropped, gap.count))
            self.missed += gap.count
            self.dropped += gap.dropped
        if self.opening != transfers.opening or transfers.first + transfers.count > self.next:
            self.next = transfers.first + transfers.count
        self.opening = transfers.opening
        return gap

"""Reads trx_sim's event record and cuts it into exchanges and transfers.

An exchange runs from the first byte of a command the sim received (its RX stamp) to the last byte
of the reply it sent (its TX stamp). A transfer is a run of exchanges of one kind (XL or XS) over
the wire addresses 1000 to 2023 in order.
"""

import dataclasses
import math
import os
import statistics
import time

BYTE_SECONDS = 10 / 9600
SETTINGS = 1024
WIRE_OFFSET = 1000
REPLY_BYTES = {"read": 6, "write": 4}


@dataclasses.dataclass
class Exchange:
    first_rx_us: int
    last_tx_us: int = -1
    command: str = ""
    rx_bytes: int = 0
    tx_bytes: int = 0


@dataclasses.dataclass
class Transfer:
    kind: str  # "read" or "write"
    exchanges: list

    @property
    def start_us(self):
        return self.exchanges[0].first_rx_us

    @property
    def end_us(self):
        return self.exchanges[-1].last_tx_us

    @property
    def wall_seconds(self):
        return (self.end_us - self.start_us) / 1e6

    @property
    def line_bytes(self):
        return sum(e.rx_bytes + e.tx_bytes for e in self.exchanges)

    @property
    def limit_seconds(self):
        """What the line itself needs for exactly these bytes, one after the other."""
        return self.line_bytes * BYTE_SECONDS

    def gaps_ms(self):
        """From the last byte of each reply to the first byte of the next command."""
        pairs = zip(self.exchanges, self.exchanges[1:])
        return [(b.first_rx_us - a.last_tx_us) / 1000 for a, b in pairs]


def parse_exchanges(lines):
    """Exchanges in the order of the record. A new one begins with the first RX after a reply."""
    exchanges = []
    current = None
    for line in lines:
        fields = line.split(" ", 2)
        if len(fields) < 3:
            continue
        stamp, tag, rest = int(fields[0]), fields[1], fields[2].rstrip("\n")
        if tag == "RX":
            if current is None or current.tx_bytes > 0:
                current = Exchange(first_rx_us=stamp)
                exchanges.append(current)
            current.rx_bytes += len(rest) // 2
        elif tag == "CMD" and current is not None:
            current.command = rest
        elif tag == "TX" and current is not None:
            current.tx_bytes += len(rest) // 2
            # Paced stamps are due times; a late wake-up may log them out of order.
            current.last_tx_us = max(current.last_tx_us, stamp)
    return exchanges


def split_transfers(exchanges):
    """Every complete run of 1024 answered exchanges of one kind, addresses in order."""
    transfers = []
    run = []
    for exchange in exchanges:
        kind = {"XL": "read", "XS": "write"}.get(exchange.command[:2])
        answered = exchange.tx_bytes == REPLY_BYTES.get(kind)
        address = _wire_address(exchange.command) - WIRE_OFFSET
        if not answered:
            run = []
            continue
        if run and (kind != _run_kind(run) or address != len(run)):
            run = []
        if not run and address != 0:
            continue
        run.append(exchange)
        if len(run) == SETTINGS:
            transfers.append(Transfer(kind, run))
            run = []
    return transfers


def _run_kind(run):
    return "read" if run[0].command.startswith("XL") else "write"


def _wire_address(command):
    digits = command[2:6]
    return int(digits) if digits.isdigit() else -1


def load(path):
    with open(path, encoding="ascii") as record:
        return split_transfers(parse_exchanges(record))


class Tail:
    """Follows a record as the sim writes it, counting commands and reply bytes."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = ""
        self.commands = 0
        self.tx_bytes = 0

    def poll(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, encoding="ascii") as record:
            record.seek(self.offset)
            text = record.read()
            self.offset = record.tell()
        text = self.partial + text
        lines = text.split("\n")
        self.partial = lines.pop()
        for line in lines:
            fields = line.split(" ", 2)
            if len(fields) < 3:
                continue
            if fields[1] == "CMD":
                self.commands += 1
            elif fields[1] == "TX":
                self.tx_bytes += len(fields[2]) // 2

    def wait(self, done, timeout, interval=0.001):
        """Polls until done(self) holds; False at the time limit."""
        deadline = time.monotonic() + timeout
        while True:
            self.poll()
            if done(self):
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(interval)


def percentile(values, fraction):
    """Nearest rank: the smallest value with at least this fraction of values at or below it."""
    ordered = sorted(values)
    return ordered[max(1, math.ceil(len(ordered) * fraction)) - 1]


def gap_summary(transfer):
    gaps = transfer.gaps_ms()
    return {
        "median": statistics.median(gaps),
        "p99": percentile(gaps, 0.99),
        "max": max(gaps),
    }

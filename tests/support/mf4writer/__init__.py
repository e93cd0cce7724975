"""A small, deterministic writer of MF4 bus-logging files for the tests,
the benchmarks and the demo, with the messages a correct reader yields for
every file it writes (test support, not part of the installed module).

    log = build_mf4([DataGroup([CanFrame(0.5, 0x123, b"\\x01\\x02")])])
    log.data        # the file's bytes
    log.expected()  # the messages MdfFile yields, as can.Message kwargs

Containers: compress(), encrypt() wrap any file (or container) bytes.
"""
from .comments import Prop, expected_metadata, header_comment, history_comment
from .containers import compress, container_header, encrypt
from .frames import (CanErrorFrame, CanFrame, CanRemoteFrame, FrameTable,
                     LinErrorFrame, LinFrame, Sample, dlc_for_length,
                     random_traffic)
from .layouts import (CAN_DATA, CAN_ERROR, CAN_REMOTE, LIN_ERRORS, LIN_FRAME,
                      TIMESTAMP, Channel, GroupLayout, Linear, ValueTable,
                      can_data_big_endian_layout, can_data_layout,
                      can_error_layout, can_remote_layout, lin_error_layout,
                      lin_layout, signal_layout, timestamp_channel)
from .truth import UNKNOWN_BUS_TYPE, merged, message_fields
from .writer import (DEFAULT_START_NS, DataGroup, FileHistory, Mf4Log,
                     build_mf4, default_layout)

__all__ = [
    "Prop", "expected_metadata", "header_comment", "history_comment",
    "compress", "container_header", "encrypt",
    "CanErrorFrame", "CanFrame", "CanRemoteFrame", "FrameTable",
    "LinErrorFrame", "LinFrame", "Sample", "dlc_for_length",
    "random_traffic",
    "CAN_DATA", "CAN_ERROR", "CAN_REMOTE", "LIN_ERRORS", "LIN_FRAME",
    "TIMESTAMP", "Channel", "GroupLayout", "Linear", "ValueTable",
    "can_data_big_endian_layout", "can_data_layout", "can_error_layout",
    "can_remote_layout",
    "lin_error_layout", "lin_layout", "signal_layout", "timestamp_channel",
    "UNKNOWN_BUS_TYPE", "merged", "message_fields",
    "DEFAULT_START_NS", "DataGroup", "FileHistory", "Mf4Log", "build_mf4",
    "default_layout",
]

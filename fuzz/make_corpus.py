"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/)
with the project's MF4 writer (tests/support/mf4writer).

Small files (a few frames each) of every shape the reader handles, so that
the fuzzer mutates structure rather than bulk records. The output is
deterministic; tests/support/test_fixtures.py checks that the committed
seeds are exactly what this script writes.

Run: build/venv/main/bin/python fuzz/make_corpus.py [DIR]
"""
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from support.mf4writer import (CAN_DATA, CAN_ERROR, CAN_REMOTE,  # noqa: E402
                               LIN_ERRORS, LIN_FRAME, CanFrame, DataGroup,
                               FileHistory, LinFrame, Prop, build_mf4,
                               compress, encrypt, random_traffic)

# What the fuzz targets unwrap with (fuzz/fuzz_paths.h).
PASSWORD = "fuzz"
ITERATIONS = 16
TARGETS = ("plain", "container", "finalize", "columns", "signals")
# The last byte's bits the targets read (fuzz/fuzz_paths.h).
LARGE_FILL = 0x06
OVERLAP, SMALL_BATCHES, LAYOUTS, SOME_ROWS = 0x02, 0x04, 0x08, 0x10
SPLIT, PREFETCH_MARK = 0x20, 0xA5
LAYOUT_BYTES = 48
METADATA = {"serial": Prop("0001E240", ro=True),
            "CAN1": {"bitrate": Prop("500", type="integer", unit="kbit/s")}}
KINDS = (CAN_DATA, CAN_REMOTE, CAN_ERROR, LIN_FRAME)


def traffic(count, seed, kinds=KINDS, fd=False):
    return random_traffic(count, seed, kinds=kinds, fd=fd)


def logs(finalized=True):
    """{name: file bytes}: one data group shape per file."""
    return {
        "sorted": build_mf4([DataGroup(traffic(6, 1, (CAN_DATA,)),
                                       record_id_size=0)],
                            metadata=METADATA, header_text="seed",
                            finalized=finalized),
        "unsorted_cg": build_mf4([DataGroup(traffic(8, 2, fd=True),
                                            record_id_size=1, vlsd="cg")],
                                 finalized=finalized),
        "unsorted_sd": build_mf4([DataGroup(traffic(8, 3, (CAN_DATA, LIN_FRAME)),
                                            record_id_size=2,
                                            vlsd="sd")],
                                 finalized=finalized),
        "lin_errors": build_mf4([DataGroup(
            traffic(6, 4, (LIN_FRAME,) + tuple(LIN_ERRORS)),
            record_id_size=4)], finalized=finalized),
        "two_groups": build_mf4([
            DataGroup(traffic(4, 5, (CAN_DATA,)), record_id_size=0),
            DataGroup(traffic(6, 6, (CAN_DATA, LIN_FRAME)), record_id_size=8,
                      vlsd="cg")], finalized=finalized),
    }


def stored(finalized=True):
    """{name: file bytes}: records in data lists (DL) of data blocks, of
    deflated blocks (DZ) and under a header list (HL), in blocks of 64
    bytes; "other_writer" names another tool in its file history and ends
    in an odd byte, which opens it as a file of any writer (the fuzz
    targets' switch, fuzz/fuzz_paths.h)."""
    files = {
        "data_list": build_mf4([DataGroup(traffic(6, 11, (CAN_DATA,)),
                                          record_id_size=0, storage="dl")],
                               finalized=finalized),
        "deflated": build_mf4([DataGroup(traffic(8, 12, fd=True),
                                         record_id_size=1, vlsd="sd",
                                         storage="dz")],
                              finalized=finalized),
        "header_list": build_mf4([
            DataGroup(traffic(4, 13, (CAN_DATA,)), record_id_size=0,
                      storage="hl"),
            DataGroup(traffic(6, 14, (CAN_DATA, LIN_FRAME)),
                      record_id_size=2, vlsd="cg", storage="dz")],
            finalized=finalized),
        "other_writer": build_mf4([DataGroup(traffic(8, 15),
                                             record_id_size=1, storage="dz")],
                                  file_history=(FileHistory("other"),),
                                  finalized=finalized),
    }
    out = {name: log.data for name, log in files.items()}
    out["other_writer"] += b"\x01"
    return out


def signal_frames():
    """CAN frames of the signal target's layouts (fuzz/fuzz_signals.cpp):
    standard ids of each of its five messages (id % 5), the multiplexer's
    values that select each branch, extended ids it knows and one it does
    not, CAN FD payloads up to 64 bytes, frames on channel 2 (the second
    database, where 0x124 is no message), and a LIN frame (no CAN data,
    left out of sorted groups, which hold one kind)."""
    rng = random.Random(20)

    def payload(length):
        return bytes(rng.randrange(256) for _ in range(length))

    frames = []
    for number, length in enumerate((8, 3, 8, 0, 12, 9, 64, 12, 16, 1)):
        frames.append(CanFrame(0, 0x0A + number % 5, payload(length),
                               fd=length > 8))
    # The multiplexer (byte 0) and the nested one (the low four bits of
    # byte 2, signed: 0xF is -1).
    for mux, nested in ((1, 0x0F), (1, 0x02), (4, 0x00), (2, 0), (3, 0),
                        (200, 0), (0, 0), (4, 0x0F)):
        data = bytearray(payload(8))
        data[0], data[2] = mux, (data[2] & 0xF0) | nested
        frames.append(CanFrame(0, 0x0D, bytes(data)))
    frames += [CanFrame(0, 0x100, payload(8), extended=True),
               CanFrame(0, 0x18FEF100, payload(64), extended=True, fd=True),
               CanFrame(0, 0x1ABCDE, bytes((1, 0, 0x0F)) + payload(5),
                        extended=True),
               CanFrame(0, 0x7FF, payload(9), extended=True, fd=True),
               CanFrame(0, 0x1234567, payload(8), extended=True),
               CanFrame(0, 0x100, payload(2), channel=2),
               CanFrame(0, 0x101, payload(8), channel=2),
               CanFrame(0, 0x123, payload(4), channel=2),
               CanFrame(0, 0x124, payload(8), channel=2),
               CanFrame(0, 0x100, payload(8), extended=True, channel=2),
               LinFrame(0, 0x10, payload(4))]
    for number, frame in enumerate(frames):
        frame.timestamp = 0.001 * (number + 1)
    return frames


def signal_layout_changes():
    """The bytes before the last that change the signal target's layouts
    (fuzz/fuzz_signals.cpp: operation, index, value bytes), to layouts the
    plan accepts: signal 3 scaled by 0.5 with an infinite offset, signal 5
    from bit 16, signal 0 big endian, signal 1 scaled, signal 7 of 33
    bits, signal 20 from a bit far beyond any payload; then zeros (signal
    0 from bit 0, as it is)."""
    changes = bytes((7, 3, 2, 6, 0, 5, 16, 0, 2, 0, 0, 4, 1, 0, 1, 7, 33,
                     0x82, 20, 5, 0))
    return changes + bytes(LAYOUT_BYTES - len(changes))


def build():
    """{target: {file name: bytes}}."""
    plain = {name: log.data for name, log in logs().items()}
    plain.update(stored())
    unfinalized = {name: log.data for name, log in logs(False).items()}
    small = plain["sorted"]
    inner = plain["unsorted_cg"]
    containers = {
        "compressed_crc": compress(small),
        "compressed_plain": compress(inner, crc=False),
        "compressed_wide": compress(small, window_bits=8, lookahead_bits=5),
        "encrypted": encrypt(small, PASSWORD, iterations=ITERATIONS),
        "encrypted_compressed": encrypt(compress(inner), PASSWORD,
                                        iterations=ITERATIONS, seed=1),
        "compressed_encrypted": compress(encrypt(
            small, PASSWORD, iterations=ITERATIONS, seed=2), crc=False),
        "no_container": small,
        "compressed_deflated": compress(plain["deflated"]),
    }
    # Three groups whose times interleave (the column path's merge of more
    # than two groups): CAN FD, remote and error frames, LIN frames and
    # errors.
    three_groups = build_mf4([
        DataGroup(traffic(5, 7, (CAN_DATA,), fd=True), record_id_size=1),
        DataGroup(traffic(6, 8, (CAN_REMOTE, CAN_ERROR, LIN_FRAME)),
                  record_id_size=2),
        DataGroup(traffic(8, 10, (CAN_DATA, LIN_FRAME, LIN_ERRORS[0])),
                  record_id_size=1, vlsd="cg")]).data
    signals = signal_frames()
    sorted_signals = build_mf4([DataGroup(
        [f for f in signals if isinstance(f, CanFrame)],
        record_id_size=0)]).data
    return {
        "signals": {
            "sorted.mf4": sorted_signals + bytes((0,)),
            "sorted_overlap.mf4": sorted_signals + bytes((OVERLAP,)),
            "sorted_prefetch.mf4": sorted_signals
            + bytes((PREFETCH_MARK, OVERLAP | SPLIT)),
            "unsorted_cg.mf4": build_mf4([DataGroup(
                signals, record_id_size=1, vlsd="cg")]).data
            + bytes((OVERLAP | SMALL_BATCHES,)),
            "two_groups.mf4": build_mf4([
                DataGroup(signals[::2], record_id_size=2, vlsd="sd"),
                DataGroup(signals[1::2], record_id_size=1,
                          storage="dz")]).data
            + bytes((SMALL_BATCHES | SOME_ROWS,)),
            "layouts.mf4": sorted_signals + signal_layout_changes()
            + bytes((LAYOUTS | OVERLAP,)),
        },
        "columns": {name + ".mf4": data for name, data in
                    {"sorted": plain["sorted"],
                     "unsorted_sd": plain["unsorted_sd"],
                     "two_groups": plain["two_groups"],
                     "three_groups": three_groups,
                     "header_list": plain["header_list"],
                     "other_writer": plain["other_writer"],
                     "helper": three_groups + bytes((LARGE_FILL,))}.items()},
        "plain": {name + ".mf4": data for name, data in
                  {**plain, "unfinalized": unfinalized["unsorted_cg"]}.items()},
        "container": {name + ".bin": data for name, data in containers.items()},
        "finalize": {name + ".mf4": data
                     for name, data in {**unfinalized,
                                        **stored(False)}.items()},
    }


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "corpus"
    for target, files in build().items():
        (out / target).mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (out / target / name).write_bytes(data)

"""SVF and XSVF played from Python on the virtual board's chain (adapter 0:
TDI -> TAP1 (IR 6) -> TAP0 (IR 4) -> TDO), through the device library's
player: the same transfers as orvtool's, the failed check as integers, a
malformed file refused before anything is sent."""

import os

import pytest

import orv
from conftest import COMMAND_OUT, DATA_IN, SOURCE

FILES = os.path.join(SOURCE, "tests", "svf", "files")


def path(name):
    return os.path.join(FILES, name)


def test_a_file_plays_with_the_transfers_its_dry_run_counts(adapter, count):
    port = adapter.jtag()
    planned = port.play_svf(path("chain.svf"), dry_run=True)
    with count() as sent:
        played = port.play_svf(path("chain.svf"))
    # As orvtool reports the same file (tests/cli/golden/jtag_svf.txt).
    assert (played.statements, played.scan_bits, played.checks_passed, played.statements_played) == (42, 454, 10, 42)
    assert (played.out_transfers, played.stream_bytes, played.readback_exchanges, played.readback_bytes) == (
        4, 185, 1, 38)
    assert played.tck_hz == 1_000_000 and played.seconds > 0 and not played.dry_run
    # The summary counts what the adapter saw; the dry run what it would.
    assert (sent.delta[COMMAND_OUT], sent.delta[DATA_IN]) == (played.out_transfers, played.readback_exchanges)
    for field in ("statements", "scan_bits", "checks", "tck_clocks", "out_transfers", "stream_bytes",
                  "readback_exchanges", "readback_bytes"):
        assert getattr(planned, field) == getattr(played, field), field
    assert planned.dry_run and planned.seconds == 0 and planned.estimated_seconds > 0
    # The port goes on with its own scans afterwards.
    port.reset()
    assert port.shift_dr(0, 64, capture=True) == 0x03727093_4BA00477


def test_text_progress_and_a_stop(adapter):
    port = adapter.jtag()
    with open(path("chain.svf")) as f:
        text = f.read()
    heard = []
    summary = port.play_svf(text, progress=lambda done, total: heard.append((done, total)), tck_khz=7000)
    assert summary.checks_passed == 10 and summary.tck_hz == 60_000_000 // 9
    assert heard and heard[-1] == (len(text), len(text))
    assert all(a[0] <= b[0] for a, b in zip(heard, heard[1:]))
    # 1-byte read-back exchanges: a batch each, and a stop after the first.
    with pytest.raises(orv.Stopped):
        port.play_svf(text, progress=lambda done, total: False, max_readback=1)

    class Boom(Exception):
        pass

    def fail(done, total):
        raise Boom()

    with pytest.raises(Boom):
        port.play_svf(text, progress=fail, max_readback=1)
    assert port.play_svf(text).checks_passed == 10


def test_a_failed_check_is_raised_with_its_place_and_values(adapter):
    port = adapter.jtag()
    with pytest.raises(orv.SvfMismatch) as raised:
        port.play_svf(path("chain_fail.svf"))
    e = raised.value
    assert isinstance(e, orv.Mismatch)
    assert (e.command, e.line, e.bits) == ("SDR", 43, 32)
    assert (e.expected, e.actual, e.mask, e.differing) == (0x12345679, 0x12345678, 0xFFFFFFFF, 1)
    assert (e.statements_played, e.checks_passed) == (22, 6)
    assert e.summary.checks_passed == 6 and "line 43" in str(e)


def test_the_vendor_pair_fails_at_the_same_scan_in_both_formats(adapter):
    """iMPACT's SVF and XSVF of one CoolRunner-II design, on a chain without
    that part: both stop at the IDCODE check, with the same values."""
    port = adapter.jtag()
    with pytest.raises(orv.SvfMismatch) as svf:
        port.play_svf(path("hackrf_cpld.svf"))
    with open(path("hackrf_cpld.xsvf"), "rb") as f:
        data = f.read()
    with pytest.raises(orv.SvfMismatch) as xsvf:
        port.play_xsvf(data)
    a, b = svf.value, xsvf.value
    assert (a.expected, a.mask, a.bits) == (b.expected, b.mask, b.bits) == (0xF6E5F093, 0x0FFF8FFF, 32)
    assert a.actual & a.mask == b.actual & b.mask
    assert a.line == 21 and a.column == 1 and b.line is None and b.offset > 0 and b.index > 0
    # Their dry runs count what orvtool's do.
    assert port.play_xsvf(path("hackrf_cpld.xsvf"), dry_run=True).statements == 2606
    assert port.play_svf(path("hackrf_cpld.svf"), dry_run=True).scan_bits == \
        port.play_xsvf(data, dry_run=True).scan_bits


@pytest.mark.parametrize(
    "play, source, fields",
    [
        ("play_svf", "SIR 4 TDI (E);\n! fine so far\nSDR 32 TDI (00000000) TDO (4BA0O477);\n",
         {"line": 3, "column": 32, "offset": None}),
        ("play_svf", "SIR 4 TDI (E)\n", {"line": 1, "column": 1}),
        ("play_xsvf", b"\x12\x01\x08\x00", {"offset": 3, "index": 1, "line": None}),
        ("play_xsvf", b"\xee", {"offset": 0, "index": 0}),
    ],
)
def test_a_malformed_file_is_refused_with_its_place_before_anything_is_sent(adapter, count, play, source, fields):
    port = adapter.jtag()
    with count() as sent:
        with pytest.raises(orv.InputFileError) as raised:
            getattr(port, play)(source)
    assert sent.delta[COMMAND_OUT] == 0
    for name, value in fields.items():
        assert getattr(raised.value, name) == value, name
    assert raised.value.reason


def test_arguments_and_limits_are_checked_before_anything_is_sent(adapter, count, tmp_path):
    port = adapter.jtag()
    with count() as sent:
        with pytest.raises(ValueError):
            port.play_svf(path("chain.svf"), max_readback=0)
        with pytest.raises(orv.InputFileError):
            port.play_svf(path("chain.svf"), max_size=100)
        with pytest.raises(orv.InputFileError) as slow:
            port.play_svf("RUNTEST 10 SEC;\n", max_seconds=5)
        with pytest.raises(orv.InputFileError) as missing:
            port.play_svf(str(tmp_path / "none.svf"))
        with pytest.raises(TypeError):
            port.play_xsvf(42)
    assert sent.delta[COMMAND_OUT] == 0
    assert "time limit" in str(slow.value) and missing.value.file.endswith("none.svf")

"""The SPI flash through the device library, on the default board's
W25Q32-like flash (JEDEC ID EF 40 16, 4 MiB, SFDP, 4/32/64 KiB erases, W25Q
block protection)."""

import random

import pytest

import orv
from conftest import SERIALS, urbs
from orv.simcontrol import DATA_IN

MiB = 1 << 20
WRSR, WREN = 0x01, 0x06


@pytest.fixture
def flash(adapter):
    return orv.SpiFlash(adapter.spi(clock_khz=30000))


def image(seed, n):
    return random.Random(seed).randbytes(n)


@pytest.mark.parametrize(
    "overrides, part, size, source",
    [
        (dict(), "Winbond W25Q32", 4 * MiB, "sfdp"),
        (dict(part="W25Q64"), "Winbond W25Q64", 8 * MiB, "override"),
        (dict(size=MiB), "Winbond W25Q32", MiB, "sfdp"),
    ],
)
def test_identify_tells_the_part_its_parameters_source_and_takes_overrides(
    adapter, overrides, part, size, source
):
    flash = orv.SpiFlash(adapter.spi(clock_khz=30000), **overrides)
    info = flash.identify()
    assert (info.jedec_id, info.manufacturer, info.part) == (bytes.fromhex("ef4016"), "Winbond", part)
    erase_sizes = (4096, 32768, 65536)
    assert (info.size, info.page_size, info.erase_sizes, info.source) == (size, 256, erase_sizes, source)
    assert (info.addressing, info.clock_hz) == ("3-byte", 30000000)
    assert flash.jedec_id() == info.jedec_id
    assert repr(info).startswith("FlashInfo(jedec_id=ef 40 16, manufacturer='Winbond'")


def test_the_smart_write_erases_and_programs_what_differs_and_then_nothing(flash, count):
    # 0x10F00..0x12000: the end of one 4 KiB block and all of the next. Both
    # are erased; the first block's other 15 pages are programmed back.
    flash.write(0x10000, image(0, 0x2000))
    before = flash.read(0x10000, 0x2000)
    addr, data = 0x10F00, image(1, 0x1100)
    report = flash.write(addr, data)
    assert (report.erased, report.programmed_pages, report.verified) == ({4096: 2}, 17 + 15, True)
    assert report.range == (0x10000, 0x2000)
    assert flash.read(0x10000, 0x2000) == before[:0xF00] + data
    with count() as sent:
        again = flash.write(addr, data)
    assert (again.unchanged_bytes, again.erased, again.programmed_pages) == (len(data), {}, 0)
    assert again.verified
    out, polls, reads = urbs(sent)
    assert reads == out  # reads only: one exchange per chunk, no write enable, erase or program


def test_one_changed_byte_costs_one_page_and_where_only_bits_fall_no_erase(flash):
    addr, data = 0x40000, image(2, 0x1000)
    flash.write(addr, data)
    changed = bytearray(data)
    changed[0x234] &= 0x0F  # bits fall only: program without erase
    report = flash.write(addr, bytes(changed))
    assert (report.erased, report.programmed_pages, report.unchanged_bytes) == ({}, 1, len(data) - 1)
    changed[0x234] = 0xFF  # a bit rises: the 4 KiB block is erased and programmed again
    changed[0x235] ^= 0xFF
    report = flash.write(addr, bytes(changed))
    assert report.erased == {4096: 1}
    assert flash.read(addr, len(data)) == bytes(changed)


def test_verify_raises_the_first_difference_and_erase_leaves_ff(flash):
    flash.write(0x50000, b"\x00" * 16)
    flash.verify(0x50000, b"\x00" * 16)
    with pytest.raises(orv.Mismatch) as raised:
        flash.verify(0x50000, b"\x00" * 4 + b"\x11\x22" + b"\x00" * 10)
    e = raised.value
    assert (e.addr, e.expected, e.found, e.count) == (0x50004, 0x11, 0x00, 2)
    report = flash.erase(0x50000, 0x1000)
    assert (report.erased, report.chip_erased, report.checked_bytes) == ({4096: 1}, False, 4096)
    assert flash.read(0x50000, 16) == b"\xff" * 16


def test_protection_refuses_a_write_until_unprotect_clears_it(adapter, flash):
    spi = adapter.spi()
    spi.transfer(cmd=WREN)
    spi.transfer(cmd=WRSR, write=bytes([0x04]))  # BP0: the top 64 KiB
    status = flash.status()
    assert (status.bp, status.tb, status.protected) == (1, False, (0x3F0000, 0x400000))
    with pytest.raises(orv.FlashProtected) as raised:
        flash.write(0x3F0000, b"locked")
    assert raised.value.hint
    assert flash.unprotect() == (0x04, 0x00)
    assert flash.status().protected is None
    flash.write(0x3F0000, b"open")
    assert flash.read(0x3F0000, 4) == b"open"


def test_a_stop_from_the_progress_callback_ends_cleanly_and_says_how_far(flash, adapter):
    addr, old, data = 0x60000, image(3, 0x2000), image(4, 0x2000)
    flash.write(addr, old)
    around = flash.read(0x5F000, 0x4000)
    seen = []

    def stop_in_the_program_stage(done, total, stage):
        seen.append((stage, done, total))
        return not (stage == "write" and done >= 0x800)

    with pytest.raises(orv.Stopped) as raised:
        flash.write(addr + 0x80, data[:0x1F00], progress=stop_in_the_program_stage)
    e = raised.value
    assert [s for s in dict.fromkeys(stage for stage, _, _ in seen)] == ["read", "erase", "write"]
    assert 0 < e.partial.programmed_pages < 0x2000 // 256 and not e.partial.verified
    assert any(d.action == "programmed" for d in e.done)
    # What was erased outside the range is back, and the adapter goes on.
    now = flash.read(0x5F000, 0x4000)
    assert now[:0x1080] == around[:0x1080] and now[0x2F80:] == around[0x2F80:]
    assert flash.write(addr + 0x80, data[:0x1F00]).verified

    # A callback that raises stops the operation the same way, then its
    # exception goes on up.
    class Interrupted(Exception):
        pass

    def interrupt(done, total):
        raise Interrupted

    with pytest.raises(Interrupted) as interrupted:
        flash.read(0, 0x10000, progress=interrupt)
    assert isinstance(interrupted.value.__cause__, orv.Stopped)
    # Nor may the callback use the adapter the operation holds.
    i2c = adapter.i2c()
    with pytest.raises(RuntimeError, match="progress callback"):
        flash.read(0, 0x10000, progress=lambda done, total: i2c.probe(0x50))
    assert i2c.read_reg(0x68, 0x75) == b"\x68"


def test_a_write_that_fails_after_its_erase_loses_nothing_and_the_next_read_is_true(flash, sim, tmp_path):
    # The adapter gone for the first busy poll of the first page program
    # (once: the flash is left busy, and the restore must wait for it), or for
    # good (the restore fails too: the blocks go to a recovery file named for
    # this adapter).
    addr = 0x70000
    for count in (1, -1):
        flash.write(addr, image(5, 0x1000))
        around = flash.read(addr - 0x1000, 0x3000)

        def fail_programs(done, total, stage):
            if stage == "write" and done == 0:
                sim.fault("unplugged", DATA_IN, count=count)
            return True

        data = image(6, 0x40)
        with pytest.raises(orv.UsbError) as raised:
            flash.write(addr + 0x100, data, progress=fail_programs, recovery_dir=tmp_path)
        sim.clear()
        e = raised.value
        now = flash.read(addr - 0x1000, 0x3000)  # at once, on the same handle
        assert now[:0x1000] == around[:0x1000] and now[0x2000:] == around[0x2000:]
        if count == 1:
            assert now[0x1000:0x1100] + now[0x1140:0x2000] == around[0x1000:0x1100] + around[0x1140:0x2000]
            assert e.recovery_file is None
            assert "programmed back and read back as they were" in str(e)
        else:
            assert e.recovery_file.startswith(f"{tmp_path}/flash-recovery-{SERIALS[0]}-0x070000-")
            with open(e.recovery_file, "rb") as saved:
                assert saved.read() == around[0x1000:0x2000]
            flash.write(addr, around[0x1000:0x2000])
        assert flash.write(addr + 0x100, data).verified


def test_a_long_read_goes_in_whole_exchanges(flash, count):
    flash.write(0x70000, image(5, 4096))
    with count() as sent:
        assert flash.read(0x70000, 4096) == image(5, 4096)
    out, _, reads = urbs(sent)
    assert out == reads and out <= 8


def test_a_layout_writes_verifies_and_reads_the_regions_named_as_orvtool_does(flash, tmp_path, count):
    path = tmp_path / "board.layout"
    path.write_text("# the board's flash\n0:fff boot\n1000:1fff config  # settings\n20000:20fff data\n")
    layout = orv.Layout(path)
    assert [(r.name, r.start, r.end, r.line) for r in layout.regions] == [
        ("boot", 0, 0xFFF, 2), ("config", 0x1000, 0x1FFF, 3), ("data", 0x20000, 0x20FFF, 4)
    ]
    old = flash.read(0, 0x21000)
    data = image(5, 0x21000)
    backup = tmp_path / "backup.bin"
    report = flash.write(0, data, layout=layout, include=["config", "data"], backup_file=backup)
    assert (report.length, report.regions, report.range) == (0x2000, ("config", "data"), (0x1000, 0x20000))
    assert backup.read_bytes() == old[0x1000:0x21000]  # one backup of all it claims
    now = flash.read(0, 0x21000)
    assert now[:0x1000] == old[:0x1000] and now[0x2000:0x20000] == old[0x2000:0x20000]
    assert now[0x1000:0x2000] == data[0x1000:0x2000] and now[0x20000:] == data[0x20000:]
    assert flash.verify(0, data, layout=path, include=["config", "data"]) == 0x2000
    with pytest.raises(orv.Mismatch) as raised:
        flash.verify(0, data, layout=layout, include=["boot", "config"])
    assert (raised.value.addr, raised.value.count) == (0, sum(a != b for a, b in zip(old[:0x1000], data)))
    assert flash.read(0, 0x3000, layout=layout, include=["config"]) == b"\xff" * 0x1000 + data[0x1000:0x2000] + (
        b"\xff" * 0x1000
    )
    with count() as sent:
        for call, error in [
            (lambda: flash.read(0, 16, layout=layout), TypeError),
            (lambda: flash.read(0, 16, include=["boot"]), TypeError),
            (lambda: flash.read(0, 16, layout=layout, include=[]), ValueError),
            (lambda: flash.read(0, 16, layout=layout, include=["bios"]), orv.InvalidArgument),
            (lambda: flash.read(0x1000, 16, layout=layout, include=["boot"]), orv.InvalidArgument),
        ]:
            with pytest.raises(error):
                call()
    assert urbs(sent) == (0, 0, 0)


def test_bad_layout_files_are_refused_with_the_line(tmp_path):
    path = tmp_path / "bad.layout"
    path.write_text("0:1fff boot\n1000:2fff config\n")
    with pytest.raises(orv.InputFileError, match="overlaps region boot") as raised:
        orv.Layout(path)
    assert (raised.value.file, raised.value.line, raised.value.column) == (str(path), 2, 1)
    with pytest.raises(orv.InputFileError, match="expected a readable layout file"):
        orv.Layout(tmp_path / "missing.layout")

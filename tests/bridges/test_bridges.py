"""The bridges with the real clients from Debian (OpenOCD 0.12, openFPGALoader,
flashrom 1.3) on the virtual adapter's default board, and with clients that
misbehave."""

import json
import os
import random
import re
import signal
import socket
import struct
import subprocess

import pytest

from conftest import (DEFAULT_IDCODES, ORVTOOL, bitbang_clock, bitbang_idcodes, closed_by_server, openocd,
                      receive_exactly, run, serprog_jedec_id, xvc_idcodes)

HERE = os.path.dirname(os.path.abspath(__file__))
DAP_IDCODE = "0x4ba00477"
PL_IDCODE = os.environ.get("ORV_PL_IDCODE", "0x03727093")
FLASH_SIZE = 4 * 1024 * 1024
ORVSIM_RUN = os.environ.get("ORVSIM_RUN")


def clean(output):
    for bad in ("Error:", "UNEXPECTED", "tdo check error", "FAILED"):
        assert bad not in output, output


# ---- OpenOCD through remote_bitbang -------------------------------------

def test_openocd_autoprobe_finds_both_taps(serve):
    server = serve("--remote-bitbang", "0")
    status, out = openocd(server.ports["remote_bitbang"], "init", "scan_chain", "shutdown")
    assert status == 0, out
    clean(out)
    assert f"auto0.tap tap/device found: {DAP_IDCODE}" in out
    assert f"auto1.tap tap/device found: {PL_IDCODE}" in out
    rows = re.findall(r"^\s*\d+ (auto\d\.tap)\s+Y\s+(0x[0-9a-f]+)\s+0x[0-9a-f]+\s+(\d+)", out, re.M)
    assert rows == [("auto0.tap", DAP_IDCODE, "4"), ("auto1.tap", PL_IDCODE, "6")], out


def test_openocd_takes_the_taps_orvtool_jtag_scan_declares(serve):
    # orvtool prints jtag newtap lines for the chain it found; OpenOCD, given
    # them instead of autoprobing, must find every TAP as declared.
    status, out = run([ORVTOOL, "--sim", "--json", "jtag", "scan"])
    assert status == 0, out
    chain = json.loads(out)
    taps = chain["openocd"]
    assert taps[0] == f"jtag newtap auto0 tap -irlen 4 -expected-id {DAP_IDCODE}", taps
    server = serve("--remote-bitbang", "0")
    status, out = openocd(server.ports["remote_bitbang"], *taps, "init", "scan_chain", "shutdown")
    assert status == 0, out
    clean(out)
    rows = re.findall(r"^\s*\d+ (auto\d\.tap)\s+Y\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+(\d+)", out, re.M)
    assert [(tap, found, length) for tap, found, expected, length in rows if found == expected] == [
        (f"auto{d['index']}.tap", d["idcode_hex"], str(d["ir_length"])) for d in chain["devices"]], out


def test_openocd_writes_and_reads_back_a_user_register(serve):
    server = serve("--remote-bitbang", "0")
    status, out = openocd(server.ports["remote_bitbang"], "init", "irscan auto0.tap 0x8",
                          "drscan auto0.tap 32 0x12345678", "echo [drscan auto0.tap 32 0]", "shutdown")
    assert status == 0, out
    clean(out)
    assert re.search(r"^12345678$", out, re.M), out


@pytest.mark.parametrize("svf,passes", [("user_register.svf", True), ("user_register_bad.svf", False)])
def test_openocd_plays_svf_and_fails_on_a_wrong_tdo(serve, svf, passes):
    server = serve("--remote-bitbang", "0")
    status, out = openocd(server.ports["remote_bitbang"], "init", f"svf {HERE}/svf/{svf}", "shutdown")
    if passes:
        assert status == 0, out
        assert "svf file programmed successfully" in out, out
        clean(out)
    else:
        assert status != 0, out
        assert "tdo check error at line 10" in out, out


# ---- openFPGALoader through XVC -------------------------------------------

def test_openfpgaloader_detects_both_parts(serve):
    server = serve("--xvc", "0")
    status, out = run(["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                       str(server.ports["xvc"]), "--detect"])
    assert status == 0, out
    assert "detected xvcServer version v1.0" in out, out
    # It numbers the chain from the TDI end.
    found = [int(x, 16) for x in re.findall(r"idcode\s+(0x[0-9a-f]+)", out)]
    assert found == [int(PL_IDCODE, 16), int(DAP_IDCODE, 16)], out
    assert "xc7z020" in out and "ARM cortex A9" in out, out


# ---- flashrom through serprog --------------------------------------------

def flashrom(port, *args, timeout=300):
    return run(["flashrom", "-p", f"serprog:ip=127.0.0.1:{port}"] + list(args), timeout)


def test_flashrom_probes_reads_and_writes_a_region_with_a_layout(serve, tmp_path):
    server = serve("--serprog", "0")
    port = server.ports["serprog"]
    region = slice(0x10000, 0x20000)
    (tmp_path / "layout.txt").write_text("00010000:0001ffff region\n")
    layout = ("--layout", str(tmp_path / "layout.txt"), "-i", "region")
    # The region alone first (the whole chip is read once, at the end).
    status, out = flashrom(port, "-c", "W25Q32.V", *layout, "-r", str(tmp_path / "before.bin"))
    assert status == 0, out
    assert 'Found Winbond flash chip "W25Q32.V" (4096 kB, SPI) on serprog.' in out, out
    assert "Reading flash... done." in out, out
    assert (tmp_path / "before.bin").read_bytes()[region] == b"\xff" * 0x10000, "the default board's flash is erased"

    image = bytearray(b"\xff" * FLASH_SIZE)
    rng = random.Random(12)
    image[region] = bytes(rng.getrandbits(8) for _ in range(0x10000))
    (tmp_path / "image.bin").write_bytes(image)
    status, out = flashrom(port, "-c", "W25Q32.V", *layout, "-w", str(tmp_path / "image.bin"))
    assert status == 0, out
    assert "VERIFIED." in out, out

    # The whole chip: the region as written, nothing else touched.
    status, out = flashrom(port, "-c", "W25Q32.V", "-r", str(tmp_path / "after.bin"))
    assert status == 0, out
    assert (tmp_path / "after.bin").read_bytes() == bytes(image)


# ---- clients that misbehave, and the server itself -------------------------

def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    return s


@pytest.mark.parametrize("protocol,payload,logged", [
    ("remote_bitbang", b"01R5x", "unexpected byte 'x'"),
    ("xvc", b"getinfo:shift:" + struct.pack("<I", 0xFFFFFFFF), "more than 16384 bytes a vector"),
    ("xvc", b"hello", "not an XVC command"),
    ("serprog", b"\x13" + struct.pack("<I", 0xFFFFFF)[:3] + b"\x00\x00\x00", "SPI operation of 16777215 bytes"),
])
def test_bad_clients_lose_their_connection_and_the_next_one_is_served(serve, protocol, payload, logged):
    server = serve("--" + protocol.replace("_", "-"), "0")
    s = connect(server.ports[protocol])
    s.sendall(payload)
    assert closed_by_server(s)
    s.close()
    # The next client gets answers.
    s = connect(server.ports[protocol])
    if protocol == "remote_bitbang":
        s.sendall(b"0R4")
        assert s.recv(1) in (b"0", b"1")
    elif protocol == "xvc":
        s.sendall(b"getinfo:")
        assert s.recv(64) == b"xvcServer_v1.0:32768\n"
    else:
        s.sendall(b"\x00")
        assert s.recv(1) == b"\x06"
    s.close()
    assert server.stop() == 0
    assert logged in server.log, server.log


def test_a_client_that_leaves_mid_command_is_logged(serve):
    server = serve("--serprog", "0")
    s = connect(server.ports["serprog"])
    s.sendall(b"\x13\x04\x00")  # O_SPIOP cut off in its parameters
    s.close()
    server.wait_for_log("disconnected in the middle of a command")
    assert server.stop() == 0


def test_clients_wait_their_turn_for_the_jtag_chain_whatever_their_protocol(serve):
    server = serve("--remote-bitbang", "0", "--xvc", "0", "--serprog", "0")
    first = connect(server.ports["xvc"])
    first.sendall(b"getinfo:")
    assert first.recv(64).startswith(b"xvcServer")
    # Another XVC client and a remote_bitbang one: both wait, their requests
    # unanswered, while the first has the chain; the flash is another part.
    second = connect(server.ports["xvc"])
    second.sendall(b"getinfo:")
    server.wait_for_log(r"xvc: client \S+ connected; it waits for the JTAG chain, which xvc client \S+ has")
    bitbang = connect(server.ports["remote_bitbang"])
    bitbang.sendall(b"0R4")
    server.wait_for_log(r"waits for the JTAG chain, which xvc client \S+ has", count=2)
    flash = connect(server.ports["serprog"])
    flash.sendall(b"\x00")
    assert receive_exactly(flash, 1) == b"\x06"
    assert xvc_idcodes(first) == DEFAULT_IDCODES
    for waiting in (second, bitbang):
        waiting.setblocking(False)
        with pytest.raises(BlockingIOError):
            waiting.recv(1)
        waiting.setblocking(True)
    # In order of arrival once the first leaves.
    first.close()
    assert receive_exactly(second, 21) == b"xvcServer_v1.0:32768\n"
    assert xvc_idcodes(second) == DEFAULT_IDCODES
    second.close()
    assert receive_exactly(bitbang, 1) in (b"0", b"1")
    assert bitbang_idcodes(bitbang) == DEFAULT_IDCODES
    bitbang.close()
    flash.close()
    assert server.stop() == 0
    assert server.log.count("its turn, after waiting") == 2, server.log
    assert "refused" not in server.log, server.log


def test_real_clients_take_turns_on_the_jtag_chain(serve):
    # OpenOCD holds the chain (it stays connected while it runs); a second
    # OpenOCD and openFPGALoader wait for it, then each is served in turn.
    server = serve("--remote-bitbang", "0", "--xvc", "0")
    port = server.ports["remote_bitbang"]
    holder = subprocess.Popen(
        ["openocd", "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang host 127.0.0.1", "-c",
         f"remote_bitbang port {port}", "-c", "gdb_port disabled", "-c", "telnet_port disabled", "-c",
         "tcl_port 0", "-c", "init"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        server.wait_for_log(r"remote_bitbang: client \S+ connected$")
        waiters = [
            subprocess.Popen(["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                              str(server.ports["xvc"]), "--detect"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True),
            subprocess.Popen(["openocd", "-c", "adapter driver remote_bitbang", "-c",
                              "remote_bitbang host 127.0.0.1", "-c", f"remote_bitbang port {port}", "-c",
                              "gdb_port disabled", "-c", "telnet_port disabled", "-c", "tcl_port disabled",
                              "-c", "init", "-c", "scan_chain", "-c", "shutdown"], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True),
        ]
        server.wait_for_log("waits for the JTAG chain", count=2)
        assert all(w.poll() is None for w in waiters), "a client was answered while another had the chain"
    finally:
        holder.terminate()
        holder.wait(timeout=30)
    outputs = [w.communicate(timeout=60)[0] for w in waiters]
    assert [w.returncode for w in waiters] == [0, 0], outputs
    found = [int(x, 16) for x in re.findall(r"idcode\s+(0x[0-9a-f]+)", outputs[0])]
    assert found == [int(PL_IDCODE, 16), int(DAP_IDCODE, 16)], outputs[0]
    assert f"auto0.tap tap/device found: {DAP_IDCODE}" in outputs[1], outputs[1]
    clean(outputs[1])
    assert server.stop() == 0
    assert server.log.count("its turn, after waiting") == 2, server.log


# ---- TRST and SRST through remote_bitbang -----------------------------------

def test_remote_bitbang_trst_resets_the_taps_and_is_released_when_the_client_leaves(serve):
    server = serve("--remote-bitbang", "0")
    s = connect(server.ports["remote_bitbang"])
    # Both TAPs to BYPASS (IR all ones) and back to Run-Test/Idle.
    stream = b"".join(bitbang_clock(tms) for tms in [1, 1, 1, 1, 1, 0, 1, 1, 0, 0])
    stream += b"".join(bitbang_clock(1 if bit == 9 else 0, tdi=1) for bit in range(10))
    stream += bitbang_clock(1) + bitbang_clock(0)
    # TRST asserted and released, no TMS reset: the TAPs are in
    # Test-Logic-Reset with IDCODE chosen only if TRST reached them.
    stream += b"tr" + b"".join(bitbang_clock(tms) for tms in [0, 1, 0, 0])
    stream += b"".join(bitbang_clock(1 if bit == 63 else 0, read=True) for bit in range(64)) + b"0"
    s.sendall(stream)
    reply = receive_exactly(s, 64)
    assert sum(1 << i for i, c in enumerate(reply) if c == ord("1")) == DEFAULT_IDCODES, reply
    # A client that leaves with TRST asserted does not leave the TAPs in reset.
    s.sendall(b"t")
    s.close()
    s = connect(server.ports["remote_bitbang"])
    assert bitbang_idcodes(s) == DEFAULT_IDCODES
    s.close()
    assert server.stop() == 0


def test_openocd_drives_trst_and_hears_once_that_there_is_no_srst(serve):
    server = serve("--remote-bitbang", "0")
    status, out = openocd(server.ports["remote_bitbang"], "reset_config trst_and_srst", "init",
                          "adapter assert srst", "adapter deassert srst", "adapter assert srst",
                          "adapter deassert srst", f"svf {HERE}/svf/trst.svf", "shutdown")
    assert status == 0, out
    assert "svf file programmed successfully" in out, out
    clean(out)
    assert server.stop() == 0
    assert server.log.count("asks for SRST, which the JTAG connector does not have") == 1, server.log


# ---- serve itself --------------------------------------------------------------

def test_json_serve_prints_json_lines():
    process = subprocess.Popen([ORVTOOL, "--sim", "--json", "serve", "--xvc", "0", "--serprog", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        bound = [json.loads(process.stdout.readline()) for _ in range(2)]
        assert [b["listening"]["protocol"] for b in bound] == ["xvc", "serprog"], bound
        assert all(b["listening"]["host"] == "127.0.0.1" for b in bound), bound
        s = connect(bound[1]["listening"]["port"])
        assert serprog_jedec_id(s) == b"\xef\x40\x16"
        s.close()
    finally:
        process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    last = [json.loads(line) for line in out.splitlines()]
    assert len(last) == 1 and last[0]["stopped"]["spi_operations"] >= 1, out


@pytest.mark.skipif(not ORVSIM_RUN, reason="orvsim-run not built")
def test_serve_ends_with_status_0_when_its_process_group_is_interrupted():
    # Ctrl-C on a terminal reaches every program of its process group:
    # orvsim-run, which passes it on as well, and orvtool. The copy is the
    # same request, not a second one.
    for _ in range(4):
        process = subprocess.Popen([ORVSIM_RUN, "--", ORVTOOL, "--sim", "serve", "--xvc", "0"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True)
        assert process.stdout.readline().startswith("listening: xvc on "), process.stderr.read()
        os.killpg(process.pid, signal.SIGINT)
        _, err = process.communicate(timeout=30)
        assert process.returncode == 0, err
        assert "serve: stopped" in err, err


def test_an_adapter_error_ends_that_connection_with_the_library_text_and_the_server_goes_on(serve):
    # The first read-back data read of the adapter stalls.
    server = serve("--xvc", "0", fault="stall:0x81:0:1")
    s = connect(server.ports["xvc"])
    assert xvc_idcodes(s) is None
    s.close()
    s = connect(server.ports["xvc"])
    assert xvc_idcodes(s) == DEFAULT_IDCODES
    s.close()
    assert server.stop() == 0
    assert "usb pipe error" in server.log and "emptying the adapter's read-back after a failed operation" in server.log, server.log


def test_usage_errors_and_the_warning_for_other_hosts(serve):
    for args, message in ([["serve"], "serve needs at least one protocol"],
                          [["serve", "--xvc", "70000"], "bad --xvc '70000'"],
                          [["serve", "--serprog", "localhost:"], "bad --serprog"]):
        status, out = run([ORVTOOL, "--sim"] + args)
        assert status == 2, out
        assert message in out, out
    server = serve("--xvc", "0.0.0.0:0")
    assert server.stop() == 0
    assert "these protocols have no authentication" in server.log, server.log


def test_a_reconnect_that_comes_before_the_old_goodbye_is_seen_is_served(serve):
    server = serve("--xvc", "0", "--serprog", "0")
    busy = connect(server.ports["xvc"])
    for _ in range(10):
        old = connect(server.ports["serprog"])
        old.sendall(b"\x00")
        assert receive_exactly(old, 1) == b"\x06"
        # The server busy with a long shift while the old client says goodbye
        # and the new one connects: the new one waits until the goodbye is seen.
        bits = 8 * 16384
        busy.sendall(b"shift:" + struct.pack("<I", bits) + bytes(2 * 16384))
        old.close()
        new = connect(server.ports["serprog"])
        new.sendall(b"\x00")
        assert receive_exactly(new, 1) == b"\x06"
        new.close()
        assert len(receive_exactly(busy, 16384)) == 16384
    busy.close()
    assert server.stop() == 0
    assert "refused" not in server.log, server.log


def test_remote_bitbang_reads_without_a_rising_edge_after_them(serve):
    server = serve("--remote-bitbang", "0")
    s = connect(server.ports["remote_bitbang"])
    s.sendall(b"R")  # nothing clocked yet
    assert receive_exactly(s, 1) in (b"0", b"1")
    s.sendall(b"".join(bitbang_clock(tms) for tms in [1, 1, 1, 1, 1, 0, 1, 0, 0]))
    # In Shift-DR: each 'R' right after a rising edge reads the level that
    # edge sampled, TDO holding it while TCK is high: the IDCODE 0x4ba00477
    # of TAP 0 from bit 0 up.
    levels = b""
    for _ in range(8):
        s.sendall(b"04R0")
        levels += receive_exactly(s, 1)
    assert levels == b"11101110", levels
    # With TCK low an 'R' reads what the next rising edge samples; a client
    # that then waits without sending that edge still gets an answer.
    s.sendall(b"0R")
    assert receive_exactly(s, 1) in (b"0", b"1")
    assert bitbang_idcodes(s) == DEFAULT_IDCODES
    s.close()
    assert server.stop() == 0


@pytest.mark.parametrize("period_ns,answer_ns", [
    (166, 167),          # asked 6.02 MHz: 6 MHz, the fastest clock not above it
    (1, 17),             # faster than the adapter: its fastest, 60 MHz
    (10**9, 4250),       # 1 Hz: raised to the slowest, 235.294 kHz
    (4136, 4167),        # 241.8 kHz: the libraries cannot send divisor 249, so 250 (240 kHz)
])
def test_xvc_settck_answers_the_period_really_set(serve, period_ns, answer_ns):
    server = serve("--xvc", "0")
    s = connect(server.ports["xvc"])
    s.sendall(b"settck:" + struct.pack("<I", period_ns))
    assert struct.unpack("<I", receive_exactly(s, 4))[0] == answer_ns
    assert xvc_idcodes(s) == DEFAULT_IDCODES
    s.close()
    assert server.stop() == 0

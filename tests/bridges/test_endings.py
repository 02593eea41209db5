"""Sessions of each protocol ending each way, each followed by well-behaved
clients of every protocol, on one server and one adapter; and a server whose
adapter goes away. Runs under one orvsim-run with its control channel, which
makes the adapter fail on demand:

    orvsim-run --control -- python3 -m pytest tests/bridges/test_endings.py

with ORVTOOL naming the program."""

import os
import re
import socket

import pytest
from conftest import (WELL_BEHAVED, Server, closed_by_server, openocd, reader_of_nothing, run, send_until,
                      serprog_jedec_id, xvc_idcodes)
from orv.simcontrol import DATA_IN
from orv.simcontrol import SimControl as Sim

PROTOCOLS = ("remote_bitbang", "xvc", "serprog")


@pytest.fixture(scope="module")
def sim() -> Sim:
    channel = os.environ.get("ORVSIM_CONTROL")
    if not channel:
        pytest.exit("run under: orvsim-run --control -- python3 -m pytest tests/bridges/test_endings.py", 2)
    return Sim(channel)


@pytest.fixture(scope="module")
def server(sim):
    s = Server(["--remote-bitbang", "0", "--xvc", "0", "--serprog", "0", "--unread-limit", "1"])
    yield s
    if s.process.poll() is None:
        assert s.stop() == 0, s.log


def connect(server, protocol):
    return socket.create_connection(("127.0.0.1", server.ports[protocol]), timeout=10)


# What each protocol's client sends to end its session each way. Each one
# leaves work of its own behind (queued clocks, a cut command) that must not
# reach the next client.
QUEUED_CLOCKS = b"R04" * 4000
ENDINGS = {
    # It hangs up with work queued or a command cut off.
    "hangs up": {"remote_bitbang": QUEUED_CLOCKS, "xvc": b"shift:" + (64).to_bytes(4, "little") + b"\x1f",
                 "serprog": b"\x13\x01\x00\x00\x03\x00"},
    # A protocol error after queued work.
    "protocol error": {"remote_bitbang": QUEUED_CLOCKS + b"X", "xvc": b"getinfo:hello",
                       "serprog": b"\x13" + (0xFFFFFF).to_bytes(3, "little") + b"\x00\x00\x00"},
    # The adapter fails under a read-back (the fault is scheduled by the test).
    "adapter error": {"remote_bitbang": QUEUED_CLOCKS, "xvc": None, "serprog": None},
    # It never reads its answers (remote_bitbang: reads with TCK high, each
    # answered at once).
    "unread": {"remote_bitbang": b"4" + b"R" * 60000, "xvc": b"getinfo:" * 8000, "serprog": b"\x03" * 60000},
}


def end_session(server, sim, protocol, ending):
    payload = ENDINGS[ending][protocol]
    if ending == "unread":
        s = reader_of_nothing(server.ports[protocol])
        assert send_until(s, payload, dropped=False)  # the buffers are full: the server reads it no more
        for other in PROTOCOLS:
            if other != protocol:  # meanwhile the others are served
                ask, expected = WELL_BEHAVED[other]
                with connect(server, other) as c:
                    assert ask(c) == expected, (protocol, "unread", other)
        assert send_until(s, payload, dropped=True), "the server kept a client that reads nothing"
        s.close()
        return
    s = connect(server, protocol)
    if ending == "adapter error":
        sim.fault("stall", DATA_IN, 1, 0)
        if protocol == "remote_bitbang":
            s.sendall(payload)
        else:
            ask, _ = WELL_BEHAVED[protocol]
            ask(s)
        assert closed_by_server(s)
        sim.clear()
    else:
        s.sendall(payload)
        if ending == "protocol error":
            assert closed_by_server(s)
    s.close()


@pytest.mark.parametrize("ending", list(ENDINGS))
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_after_a_session_ends_the_next_clients_of_every_protocol_are_served(server, sim, protocol, ending):
    end_session(server, sim, protocol, ending)
    for follower in PROTOCOLS:
        ask, expected = WELL_BEHAVED[follower]
        # The server may still be taking the old connection down: the new
        # one waits its turn meanwhile.
        with connect(server, follower) as s:
            assert ask(s) == expected, (protocol, ending, follower)


def test_the_real_clients_after_a_client_that_left_clocks_behind(server, sim):
    s = connect(server, "remote_bitbang")
    s.sendall(QUEUED_CLOCKS + b"X")
    assert closed_by_server(s)
    s.close()
    status, out = run(["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                       str(server.ports["xvc"]), "--detect"])
    assert status == 0, out
    assert [int(x, 16) for x in re.findall(r"idcode\s+(0x[0-9a-f]+)", out)] == [0x03727093, 0x4BA00477], out
    status, out = openocd(server.ports["remote_bitbang"], "init", "scan_chain", "shutdown")
    assert status == 0 and "tap/device found: 0x4ba00477" in out, out
    status, out = run(["flashrom", "-p", f"serprog:ip=127.0.0.1:{server.ports['serprog']}", "-c", "W25Q32.V"],
                      timeout=120)
    assert 'Found Winbond flash chip "W25Q32.V"' in out, out


def test_a_server_whose_adapter_went_away_opens_it_again(server, sim):
    back = server.log_so_far().count("the adapter is back")
    sim.fault("unplugged")
    s = connect(server, "xvc")
    assert xvc_idcodes(s) is None
    s.close()
    # Gone: new clients are refused until it is back.
    s = connect(server, "serprog")
    assert closed_by_server(s)
    s.close()
    sim.clear()
    server.wait_for_log("the adapter is back", count=back + 1)
    with connect(server, "serprog") as s:
        assert serprog_jedec_id(s) == WELL_BEHAVED["serprog"][1]


def test_a_server_stopped_while_its_adapter_is_gone_fails_and_the_log_names_each_ending(server, sim):
    gone = server.log_so_far().count("the adapter is gone (")
    sim.fault("unplugged")
    s = connect(server, "xvc")
    assert xvc_idcodes(s) is None
    s.close()
    server.wait_for_log(r"the adapter is gone \(", count=gone + 1)
    status = server.stop()
    sim.clear()
    assert status == 1, server.log
    assert "went away and did not come back" in server.log, server.log
    for line in ("disconnected in the middle of a command", "protocol error, connection closed",
                 "usb pipe error", "answers unread for 1 s", "the adapter is gone", "opening it again every 1 s",
                 "the adapter is back", "refused"):
        assert line in server.log, (line, server.log)
